#include "module_imports.hpp"

#include "calls.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace sftp {

namespace {

constexpr const char* kInitFunction = "init sftp_main";

// An ordinary error that a question about a module may meet and answer
// for itself; an interrupt or exhausted memory is never one.
bool answerable_error() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// 1 when `module` is still running its own body, 0 when not, -1 with an
// exception set.
int is_initializing(PyObject* module) {
    Ref module_spec = Ref::steal(PyObject_GetAttr(module, state().dunder_spec));
    Ref flag = module_spec ? Ref::steal(PyObject_GetAttr(module_spec.get(), state().attr_initializing)) : Ref();
    if (!flag) {
        if (!answerable_error()) {
            return -1;
        }
        PyErr_Clear();
        return 0;  // no flag to read: not being initialised
    }
    int initializing = PyObject_IsTrue(flag.get());
    if (initializing < 0) {
        if (!answerable_error()) {
            return -1;
        }
        PyErr_Clear();
        return 1;  // cannot tell: import it properly
    }
    return initializing;
}

// import name (absolute), reusing a fully initialised module from sys.modules.
Ref import_package(PyObject* name, PyObject* globals) {
    Ref existing = Ref::steal(PyImport_GetModule(name));
    if (!existing && PyErr_Occurred()) {
        return Ref();
    }
    if (existing && existing.get() != Py_None) {
        int initializing = is_initializing(existing.get());
        if (initializing < 0) {
            return Ref();
        }
        if (initializing == 0) {
            return existing;
        }
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

// from module_name import class_name
Ref import_from(PyObject* module_name, PyObject* class_name, PyObject* globals) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, class_name));
    if (!fromlist) {
        return Ref();
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
    if (!module) {
        return Ref();
    }
    Ref value = get_attr(module.get(), class_name);
    if (value) {
        return value;
    }
    PyObject* cause = nullptr;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name counts too, as for `from package import sub`.
        PyErr_Clear();
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, class_name));
        if (!full_name) {
            return Ref();
        }
        value = Ref::steal(PyImport_GetModule(full_name.get()));
        if (value || PyErr_Occurred()) {
            return value;
        }
    } else {
        cause = PyErr_GetRaisedException();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", class_name);
    if (cause != nullptr) {
        // Keep the real reason visible as the context of the ImportError.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, cause);
        PyErr_SetRaisedException(raised);
    }
    return Ref();
}

// Binds `value` as `name` in the module namespace.
int bind(PyObject* module, PyObject* name, const Ref& value) {
    return value ? PyDict_SetItem(PyModule_GetDict(module), name, value.get()) : -1;
}

}  // namespace

int import_dependencies(PyObject* module) {
    const ModuleState& s = state();
    PyObject* globals = PyModule_GetDict(module);
    struct Step {
        int line;
        PyObject* bound_name;
        PyObject* module_name;  // nullptr: the package itself is bound
    };
    const Step steps[] = {
        {14, s.glob_paramiko, nullptr},
        {16, s.glob_VornaxLog, s.mod_vornax_log},
        {17, s.glob_VornaxSSH, s.mod_vornax_ssh},
        {18, s.glob_VornaxVar, s.mod_vornax_var},
    };
    for (const Step& step : steps) {
        Ref value = step.module_name == nullptr ? import_package(step.bound_name, globals)
                                                : import_from(step.module_name, step.bound_name, globals);
        if (bind(module, step.bound_name, value) < 0) {
            add_traceback_entry(kInitFunction, step.line);
            return -1;
        }
    }
    return 0;
}

}  // namespace sftp
