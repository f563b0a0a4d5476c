#include "module_imports.hpp"

#include <optional>

#include "calls.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace sftp {

namespace {

constexpr const char* kInitFunction = "init sftp_main";

// `step()`, or no value where it met an ordinary error, which a question
// about a module may answer for itself; an interrupt or exhausted memory
// goes on.
template <typename Step>
auto answerable(Step&& step) -> py::Maybe<decltype(step())> {
    try {
        return step();
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw;
        }
        PyErr_Clear();
    }
    return {};
}

// Whether `module` is still running its own body.
bool is_initializing(PyObject* module) {
    Ref flag = answerable([&] {
        Ref module_spec = py::attr(module, state().dunder_spec);
        return py::attr(module_spec.get(), state().attr_initializing);
    });
    if (!flag) {
        return false;  // no flag to read: not being initialised
    }
    std::optional<bool> initializing = answerable([&] { return py::truth(flag.get()); });
    return initializing.value_or(true);  // cannot tell: import it properly
}

// import name (absolute), reusing a fully initialised module from sys.modules.
Ref import_package(PyObject* name, PyObject* globals) {
    Ref existing = Ref::steal(PyImport_GetModule(name));
    if (!existing && PyErr_Occurred()) {
        throw_python_error();
    }
    if (existing && existing.get() != Py_None) {
        if (!is_initializing(existing.get())) {
            return existing;
        }
    }
    return py::owned(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

// from module_name import class_name
Ref import_from(PyObject* module_name, PyObject* class_name, PyObject* globals) {
    Ref fromlist = py::owned(PyTuple_Pack(1, class_name));
    Ref module = py::owned(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
    // The failure is looked at: the non-throwing form.
    Ref value = py::nothrow::attr(module.get(), class_name);
    if (value) {
        return value;
    }
    Ref cause;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name counts too, as for `from package import sub`.
        PyErr_Clear();
        Ref full_name = py::owned(PyUnicode_FromFormat("%U.%U", module_name, class_name));
        value = Ref::steal(PyImport_GetModule(full_name.get()));
        if (value) {
            return value;
        }
        if (PyErr_Occurred()) {
            throw_python_error();
        }
    } else {
        cause = Ref::steal(PyErr_GetRaisedException());
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", class_name);
    if (cause) {
        // Keep the real reason visible as the context of the ImportError.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, cause.release());
        PyErr_SetRaisedException(raised);
    }
    throw_python_error();
}

}  // namespace

void import_dependencies(PyObject* module) {
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
        traced(kInitFunction, step.line, [&] {
            Ref value;
            if (step.module_name == nullptr) {
                value = import_package(step.bound_name, globals);
            } else {
                value = import_from(step.module_name, step.bound_name, globals);
            }
            py::set_item(globals, step.bound_name, value.get());
        });
    }
}

}  // namespace sftp
