// The function object that carries every method of VornaxSFTPMain, and the traceback entries of the
// module's calls.  It binds like a Python function, is a method descriptor so that `obj.m(...)`
// makes no bound method, and takes its arguments through vectorcall.
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "module.hpp"

namespace sftp {

namespace {

// One code object per (function, line), made on first use and kept: the set is small and fixed, and
// making one costs far more than the frame. Only touched while holding the interpreter lock.
std::map<std::pair<std::string_view, int>, PyObject*> g_code_objects;

// A borrowed reference, kept in the map.
PyObject* code_for(const char* funcname, int line) {
    auto key = std::make_pair(std::string_view(funcname), line);
    auto found = g_code_objects.find(key);
    if (found != g_code_objects.end()) {
        return found->second;
    }
    Ref code = py::owned(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFile, funcname, line)));
    try {
        g_code_objects.emplace(key, code.get());
    } catch (const std::bad_alloc&) {
        raise_no_memory();
    }
    return code.release();
}

// The frame of one entry.  Its globals are the module namespace, as for a function defined in the
// module: the traceback printer then asks the module's loader for source, finds none, and shows no
// line at all.
Ref new_frame(const char* funcname, int line) {
    PyObject* module = recorded_module();
    Ref globals = module != nullptr ? Ref::borrow(PyModule_GetDict(module)) : py::owned(PyDict_New());
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(code_for(funcname, line));
    return py::owned(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr)));
}

struct MethodNames {
    Ref name;                         // "_remove"
    Ref qualname;                     // "VornaxSFTPMain._remove"
    Ref doc;                          // "VornaxSFTPMain._remove(self, path)"
    Ref text_signature;               // "(self, path)"
    Ref params[kMaxParams];           // interned parameter names
    char traceback_name[64];          // "sftp_main.VornaxSFTPMain._remove"
};

// The method texts, in table order, outlive every release: a method object left over after its
// interpreter was finalised still points at them.
MethodNames g_names[kMethodCount];
PyTypeObject* g_function_type = nullptr;
bool g_built = false;

// Name of the boundary of the type's own slots.
constexpr const char* kSlotName = "sftp_main.function";

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodEntry* entry;
    const MethodNames* names;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// A method object that the interpreter's last collection finds after the texts were released (its
// interpreter being finalised) only says so.
bool finalised() {
    if (g_built) {
        return false;
    }
    PyErr_SetString(PyExc_RuntimeError, "sftp_main: the interpreter is being finalised");
    return true;
}

// Argument errors: every parameter is positional-or-keyword without default, so "exactly" is the
// only quantifier.  They are set at the boundary itself and answered with false, not thrown: a throw
// costs more than the whole call (some 17,000 instructions), and a wrong call is cheap in Python.
void set_count_error(const MethodEntry& entry, Py_ssize_t given) {
    const Py_ssize_t expected = entry.nparams;
    const char* plural = expected == 1 ? "" : "s";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 entry.name, "exactly", expected, plural, given);
}

// Index of the parameter called `key` (a str), if there is one.
std::optional<int> parameter_index(const MethodEntry& entry, const MethodNames& names, PyObject* key) {
    for (int i = 0; i < entry.nparams; ++i) {
        if (names.params[i].get() == key) {
            return i;
        }
    }
    for (int i = 0; i < entry.nparams; ++i) {
        if (PyUnicode_Compare(names.params[i].get(), key) == 0) {
            return i;
        }
    }
    return std::nullopt;
}

// Whether keyword `key` names parameter `param`.
bool same_name(PyObject* key, PyObject* param) {
    return key == param || (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0);
}

// Binds positional arguments plus keywords into out[0..nparams).  The missing-parameter check comes
// first, then the leftover keywords are examined in the order they were passed.
bool bind_with_keywords(const MethodEntry& entry, const MethodNames& names, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > entry.nparams) {
        set_count_error(entry, nargs);
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
            if (same_name(PyTuple_GET_ITEM(kwnames, k), names.params[i].get())) {
                used_keyword[i] = k;
                out[i] = kwvalues[k];
            }
        }
        if (used_keyword[i] < 0) {
            set_count_error(entry, i);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry.name);
            return false;
        }
        const std::optional<int> index = parameter_index(entry, names, key);
        if (!index) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry.name, key);
            return false;
        }
        if (used_keyword[*index] != k) {
            // Given positionally, or a second keyword of the same name.
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         entry.name, key);
            return false;
        }
    }
    return true;
}

// Method calls in progress, over all threads.  Only touched while holding the interpreter lock, so
// a plain counter is exact; it exceeds the depth of any single thread's nesting only by the calls
// other threads have in progress (each waiting on the network, say).
Py_ssize_t g_active_calls = 0;
constexpr Py_ssize_t kCheapNestingDepth = 64;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    if (finalised()) {
        return nullptr;
    }
    const FunctionObject* self = as_function(callable);
    const MethodEntry& entry = *self->entry;
    const char* name = self->names->traceback_name;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[kMaxParams];
    PyObject* const* argv = args;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        if (!bind_with_keywords(entry, *self->names, args, nargs, kwnames, bound)) {
            add_traceback_entry(name, entry.line);
            return nullptr;
        }
        argv = bound;
    } else if (nargs != entry.nparams) {
        set_count_error(entry, nargs);
        add_traceback_entry(name, entry.line);
        return nullptr;
    }
    // Bodies call back into Python; a method that ends up calling itself through C alone must meet
    // the recursion limit, not the end of the C stack.  The interpreter's per-thread check costs
    // two thread-local look-ups, so it is made only once our calls are nested deeply.
    const bool deep = g_active_calls >= kCheapNestingDepth;
    if (deep && Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback_entry(name, entry.line);
        return nullptr;
    }
    ++g_active_calls;
    int line = entry.line;
    // A body that fails without saying why gets a SystemError naming the method there: the
    // traceback entry below needs an exception to go on.
    PyObject* result = at_boundary<PyObject*>(name, nullptr, [&] { return entry.body(argv, line); });
    --g_active_calls;
    if (deep) {
        Py_LeaveRecursiveCall();
    }
    if (result == nullptr) {
        add_traceback_entry(name, line);
    }
    return result;
}

// The call slot, for callers that hold a tuple and a dict.  It binds the dict itself rather than
// going through the generic vectorcall adapter, so that even non-string keyword names get the
// method's own message.
PyObject* call_with_dict(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(callable, positional, nargs, nullptr);
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref kwnames = py::owned(PyTuple_New(nkw));
    PyObject** stack = PyMem_New(PyObject*, nargs + nkw);
    if (stack == nullptr) {
        raise_no_memory();
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

PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(kSlotName, nullptr, [&] { return call_with_dict(callable, args, kwargs); });
}

// Binding, exactly as a Python function binds.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    return at_boundary<PyObject*>(kSlotName, nullptr, [&] {
        if (obj == nullptr || obj == Py_None) {
            return Py_NewRef(self);
        }
        return PyMethod_New(self, obj);
    });
}

void function_dealloc(PyObject* self) {
    at_boundary(kSlotName, [&] {
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

void check_not_finalised() {
    if (finalised()) {
        throw_python_error();
    }
}

PyObject* function_repr(PyObject* self) {
    return at_boundary<PyObject*>(kSlotName, nullptr, [&] {
        check_not_finalised();
        return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->names->qualname.get(), self);
    });
}

template <Ref MethodNames::*Field>
PyObject* get_text(PyObject* self, void*) {
    return at_boundary<PyObject*>(kSlotName, nullptr, [&] {
        check_not_finalised();
        return Py_NewRef((as_function(self)->names->*Field).get());
    });
}

PyObject* get_module(PyObject*, void*) {
    return at_boundary<PyObject*>(kSlotName, nullptr, [&] {
        check_not_finalised();
        return Py_NewRef(state().mod_sftp_main);
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_text<&MethodNames::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_text<&MethodNames::qualname>, nullptr, nullptr, nullptr},
    {"__doc__", get_text<&MethodNames::doc>, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text<&MethodNames::text_signature>, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, as a Python function is: module plus qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_text<&MethodNames::qualname>(self, nullptr); }

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

void init_method_names(const MethodEntry& entry, MethodNames& names) {
    Ref params_text = py::owned(PyUnicode_FromString(""));
    const char* format = "%U%U";
    for (int i = 0; i < entry.nparams; ++i) {
        names.params[i] = py::owned(PyUnicode_InternFromString(entry.params[i]));
        params_text = py::owned(PyUnicode_FromFormat(format, params_text.get(), names.params[i].get()));
        format = "%U, %U";
    }
    names.name = py::owned(PyUnicode_InternFromString(entry.name));
    names.qualname = py::owned(PyUnicode_FromFormat("VornaxSFTPMain.%s", entry.name));
    names.doc = py::owned(PyUnicode_FromFormat("VornaxSFTPMain.%s(%U)", entry.name, params_text.get()));
    names.text_signature = py::owned(PyUnicode_FromFormat("(%U)", params_text.get()));
    std::snprintf(names.traceback_name, sizeof names.traceback_name, "sftp_main.VornaxSFTPMain.%s",
                  entry.name);
}

}  // namespace

void build_functions() {
    if (g_built) {
        return;
    }
    try {
        g_function_type = reinterpret_cast<PyTypeObject*>(py::owned(PyType_FromSpec(&function_spec)).release());
        for (int i = 0; i < kMethodCount; ++i) {
            init_method_names(kMethodTable[i], g_names[i]);
        }
    } catch (const PythonError&) {
        release_functions();  // nothing was published: a later import retries
        throw;
    }
    g_built = true;
}

void release_functions() {
    g_built = false;
    Py_CLEAR(g_function_type);
    for (MethodNames& names : g_names) {
        names = MethodNames();
    }
}

PyObject* function_name(int index) { return g_names[index].name.get(); }

Ref new_function(int index) {
    FunctionObject* self = PyObject_New(FunctionObject, g_function_type);
    if (self == nullptr) {
        throw_python_error();
    }
    self->vectorcall = function_vectorcall;
    self->entry = &kMethodTable[index];
    self->names = &g_names[index];
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

void release_traceback_code() {
    for (auto& entry : g_code_objects) {
        Py_DECREF(entry.second);
    }
    g_code_objects.clear();
}

void add_traceback_entry(const char* funcname, int line) {
    Ref frame;
    {
        // Out of memory while decorating: the original exception is kept.
        SavedError exc;
        frame = py::nothrow::step([&] { return new_frame(funcname, line); });
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace sftp
