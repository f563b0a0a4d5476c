#include "function.hpp"

#include <cstddef>
#include <cstdio>

#include "boundary.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace sftp {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodEntry* entry;
    const MethodNames* names;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// A method object that the interpreter's last collection finds after the
// state was released (its interpreter being finalised) only says so.
bool finalised() {
    if (state_built()) {
        return false;
    }
    PyErr_SetString(PyExc_RuntimeError, "sftp_main: the interpreter is being finalised");
    return true;
}

// ---------------------------------------------------------------------------
// Argument errors.  Every method has only positional-or-keyword parameters,
// no defaults, so "exactly" is the only quantifier ever used.

void raise_count_error(const MethodEntry& entry, Py_ssize_t given) {
    Py_ssize_t expected = entry.nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 entry.name, "exactly", expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `key` (a str), or -1.
int parameter_index(const MethodEntry& entry, const MethodNames& names, PyObject* key) {
    for (int i = 0; i < entry.nparams; ++i) {
        if (names.params[i] == key) {
            return i;
        }
    }
    for (int i = 0; i < entry.nparams; ++i) {
        if (PyUnicode_Compare(names.params[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

// Binds positional arguments plus keywords into out[0..nparams).  The
// missing-parameter check comes first, then the leftover keywords are
// examined in the order they were passed.
bool bind_with_keywords(const MethodEntry& entry, const MethodNames& names, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > entry.nparams) {
        raise_count_error(entry, nargs);
        return false;
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used_keyword[kMaxParams];
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
        used_keyword[i] = -1;
    }
    for (Py_ssize_t i = nargs; i < entry.nparams; ++i) {
        used_keyword[i] = -1;
        for (Py_ssize_t k = 0; k < nkw && used_keyword[i] < 0; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (key == names.params[i] ||
                (PyUnicode_Check(key) && PyUnicode_Compare(key, names.params[i]) == 0)) {
                used_keyword[i] = k;
                out[i] = kwvalues[k];
            }
        }
        if (used_keyword[i] < 0) {
            raise_count_error(entry, i);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry.name);
            return false;
        }
        int index = parameter_index(entry, names, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry.name, key);
            return false;
        }
        if (used_keyword[index] != k) {
            // Given positionally, or a second keyword of the same name.
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         entry.name, key);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Calling.

// Method calls in progress, over all threads.  Only touched while holding
// the interpreter lock, so a plain counter is exact; it exceeds the depth
// of any single thread's nesting only by the calls other threads have in
// progress (each waiting on the network, say).
Py_ssize_t g_active_calls = 0;
constexpr Py_ssize_t kCheapNestingDepth = 64;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    if (finalised()) {
        return nullptr;
    }
    const FunctionObject* self = as_function(callable);
    const MethodEntry& entry = *self->entry;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[kMaxParams];
    PyObject* const* argv = args;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        if (!bind_with_keywords(entry, *self->names, args, nargs, kwnames, bound)) {
            add_traceback_entry(self->names->traceback_name, entry.line);
            return nullptr;
        }
        argv = bound;
    } else if (nargs != entry.nparams) {
        raise_count_error(entry, nargs);
        add_traceback_entry(self->names->traceback_name, entry.line);
        return nullptr;
    }
    // Bodies call back into Python; a method that ends up calling itself
    // through C alone must meet the recursion limit, not the end of the C
    // stack.  The interpreter's per-thread check costs two thread-local
    // look-ups, so it is made only once our calls are nested deeply.
    const bool deep = g_active_calls >= kCheapNestingDepth;
    if (deep && Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback_entry(self->names->traceback_name, entry.line);
        return nullptr;
    }
    ++g_active_calls;
    int line = entry.line;
    // A body that fails without saying why gets a SystemError naming the
    // method there: the traceback entry below needs an exception to go on.
    PyObject* result =
        at_boundary<PyObject*>(self->names->traceback_name, nullptr, [&] { return entry.body(argv, line); });
    --g_active_calls;
    if (deep) {
        Py_LeaveRecursiveCall();
    }
    if (result == nullptr) {
        add_traceback_entry(self->names->traceback_name, line);
    }
    return result;
}

// The call slot, for callers that hold a tuple and a dict.  It binds the
// dict itself rather than going through the generic vectorcall adapter, so
// that even non-string keyword names get the method's own message.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(callable, positional, nargs, nullptr);
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return nullptr;
    }
    PyObject** stack = PyMem_New(PyObject*, nargs + nkw);
    if (stack == nullptr) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        stack[i] = positional[i];
    }
    Py_ssize_t pos = 0;
    Py_ssize_t filled = 0;
    PyObject* key;
    PyObject* value;
    while (filled < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), filled, Py_NewRef(key));
        stack[nargs + filled] = Py_NewRef(value);
        ++filled;
    }
    PyObject* result = function_vectorcall(callable, stack, nargs, kwnames.get());
    for (Py_ssize_t i = 0; i < filled; ++i) {
        Py_DECREF(stack[nargs + i]);
    }
    PyMem_Free(stack);
    return result;
}

// Binding, exactly as a Python function binds.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    if (finalised()) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->names->qualname, self);
}

// ---------------------------------------------------------------------------
// Introspection attributes.

// A new reference to a text of the state.
PyObject* text(PyObject* field) { return finalised() ? nullptr : Py_NewRef(field); }

PyObject* get_name(PyObject* self, void*) { return text(as_function(self)->names->name); }
PyObject* get_qualname(PyObject* self, void*) { return text(as_function(self)->names->qualname); }
PyObject* get_doc(PyObject* self, void*) { return text(as_function(self)->names->doc); }
PyObject* get_text_signature(PyObject* self, void*) { return text(as_function(self)->names->text_signature); }
PyObject* get_module(PyObject*, void*) { return text(state().mod_sftp_main); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as a Python function is: module plus qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return text(as_function(self)->names->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "sftp_main.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

PyTypeObject* create_function_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
}

int init_method_names(const MethodEntry& entry, MethodNames& names) {
    Ref params_text = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; i < entry.nparams && params_text; ++i) {
        names.params[i] = PyUnicode_InternFromString(entry.params[i]);
        if (names.params[i] == nullptr) {
            return -1;
        }
        params_text = Ref::steal(PyUnicode_FromFormat(i == 0 ? "%U%U" : "%U, %U", params_text.get(),
                                                      names.params[i]));
    }
    if (!params_text) {
        return -1;
    }
    names.name = PyUnicode_InternFromString(entry.name);
    names.qualname = PyUnicode_FromFormat("VornaxSFTPMain.%s", entry.name);
    names.doc = PyUnicode_FromFormat("VornaxSFTPMain.%s(%U)", entry.name, params_text.get());
    names.text_signature = PyUnicode_FromFormat("(%U)", params_text.get());
    std::snprintf(names.traceback_name, sizeof names.traceback_name, "sftp_main.VornaxSFTPMain.%s",
                  entry.name);
    if (!names.name || !names.qualname || !names.doc || !names.text_signature) {
        return -1;
    }
    return 0;
}

PyObject* new_function(const MethodEntry& entry, const MethodNames& names) {
    FunctionObject* self = PyObject_New(FunctionObject, state().function_type);
    if (self == nullptr) {
        return nullptr;
    }
    self->vectorcall = function_vectorcall;
    self->entry = &entry;
    self->names = &names;
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace sftp
