// The sftp_main extension module: definition, creation, execution and the
// creation of the class VornaxSFTPMain.
#include <Python.h>

#include <cstdint>

#include "abi_checks.hpp"
#include "boundary.hpp"
#include "calls.hpp"
#include "function.hpp"
#include "method_table.hpp"
#include "module_imports.hpp"
#include "module_record.hpp"
#include "saved_error.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace sftp {

namespace {

// Process-wide records: the interpreter the module belongs to, and the
// module object itself.  With the module state, the method texts and the
// code objects of traceback entries they belong to that interpreter, and
// are released when it is finalised: a host that finalises Python and
// starts it again then loads the module afresh.
bool g_interpreter_recorded = false;
std::int64_t g_interpreter_id = 0;
PyObject* g_module = nullptr;

constexpr const char* kInitFunction = "init sftp_main";

// Name of the capsule, in the recorded interpreter's own dictionary, whose
// destructor releases the records.
constexpr const char* kRecordsKey = "sftp_main.records";

// The interpreter clears its dictionary late in its finalisation, after
// its modules have been torn down and their objects have run their
// finalisers, before its last collection.
void release_records(PyObject* /*capsule*/) {
    at_boundary(kRecordsKey, [] {
        SavedError pending;
        Py_CLEAR(g_module);
        release_state();
        release_functions();
        release_traceback_code();
        g_interpreter_recorded = false;
        g_interpreter_id = 0;
    });
}

// Records `id` as the module's interpreter, to be released with it.
void record_interpreter(PyInterpreterState* interpreter, std::int64_t id) {
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        throw_python_error();
    }
    Ref capsule = py::owned(PyCapsule_New(&g_interpreter_id, kRecordsKey, release_records));
    py::checked(PyDict_SetItemString(dict, kRecordsKey, capsule.get()));
    g_interpreter_recorded = true;
    g_interpreter_id = id;
}

// Copies an attribute of the module's import record (ModuleSpec) to the
// module; a missing attribute is skipped, and so is None with `skip_none`.
void copy_spec_attr(PyObject* import_spec, const char* from, PyObject* module, const char* to, bool skip_none) {
    PyObject* found = nullptr;
    py::checked(PyObject_GetOptionalAttrString(import_spec, from, &found));
    Ref value = Ref::steal(found);
    if (!value) {
        return;
    }
    if (skip_none && value.get() == Py_None) {
        return;
    }
    py::checked(PyDict_SetItemString(PyModule_GetDict(module), to, value.get()));
}

PyObject* create_module(PyObject* import_spec) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) {
        throw_python_error();
    }
    if (!g_interpreter_recorded) {
        record_interpreter(interpreter, id);
    } else if (g_interpreter_id != id) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.");
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref name = py::owned(PyObject_GetAttrString(import_spec, "name"));
    Ref module = py::owned(PyModule_NewObject(name.get()));
    copy_spec_attr(import_spec, "loader", module.get(), "__loader__", false);
    copy_spec_attr(import_spec, "origin", module.get(), "__file__", false);
    copy_spec_attr(import_spec, "parent", module.get(), "__package__", false);
    copy_spec_attr(import_spec, "submodule_search_locations", module.get(), "__path__", true);
    return module.release();
}

// Makes sure sys.modules["sftp_main"] exists.
void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    const bool present = py::checked(PyDict_Contains(modules, state().mod_sftp_main));
    if (!present) {
        py::set_item(modules, state().mod_sftp_main, module);
    }
}

// type("VornaxSFTPMain", (), namespace), bound in the module.
void create_class(PyObject* module) {
    const ModuleState& s = state();
    Ref namespace_dict = traced(kInitFunction, 21, [&] {
        Ref made = py::owned(PyDict_New());
        py::set_item(made.get(), s.dunder_module, s.mod_sftp_main);
        py::set_item(made.get(), s.dunder_qualname, s.glob_VornaxSFTPMain);
        return made;
    });
    for (int i = 0; i < kMethodCount; ++i) {
        traced(kInitFunction, kMethodTable[i].line, [&] {
            Ref function = new_function(i);
            py::set_item(namespace_dict.get(), function_name(i), function.get());
        });
    }
    traced(kInitFunction, 21, [&] {
        PyObject* type_args[] = {s.glob_VornaxSFTPMain, s.empty_tuple, namespace_dict.get()};
        Ref cls = py::owned(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
        py::set_item(PyModule_GetDict(module), s.glob_VornaxSFTPMain, cls.get());
    });
}

// A module compiled against one minor version must not run in another:
// object and type layouts differ between them, and the first object the
// module made would crash the process.  A build copied under the bare name
// sftp_main.so (or .pyd) is loaded by every version, so the check is the
// module's own.  The warning comes first, as the import system's own
// message for this case always did; the import then fails.
void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return;
    }
    py::checked(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, "sftp_main", "does not match", major, minor));
    PyErr_Format(PyExc_ImportError,
                 "sftp_main was built for CPython %d.%d and cannot run on CPython %d.%d; "
                 "install the sftp_main built for CPython %d.%d",
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor, major, minor);
    throw_python_error();
}

// Forgets the module again unless its execution completes, so that a
// later import starts afresh.
class ModuleRecord {
public:
    explicit ModuleRecord(PyObject* module) { g_module = Py_NewRef(module); }
    ~ModuleRecord() noexcept(false) {
        if (!kept_ && python_reachable()) {
            Py_CLEAR(g_module);
        }
    }
    ModuleRecord(const ModuleRecord&) = delete;
    ModuleRecord& operator=(const ModuleRecord&) = delete;
    void keep() noexcept { kept_ = true; }

private:
    bool kept_ = false;
};

int execute_once(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;  // the module returned again by the create slot: already filled
        }
        raise(PyExc_RuntimeError, "Module 'sftp_main' has already been imported. Re-initialisation is not supported.");
    }
    ModuleRecord record(module);
    check_version();
    build_state();
    build_functions(kMethodTable);
    register_in_sys_modules(module);
    import_dependencies(module);
    create_class(module);
    record.keep();
    return 0;
}

PyObject* module_create(PyObject* import_spec, PyModuleDef* /*def*/) {
    return at_boundary<PyObject*>(kInitFunction, nullptr, [&] { return create_module(import_spec); });
}

int module_exec(PyObject* module) {
    return at_boundary(kInitFunction, -1, [&] { return execute_once(module); });
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Legacy sub-interpreters (sharing the GIL) reach the create slot,
    // which admits one interpreter at a time; isolated ones are refused by
    // the import system itself.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "sftp_main",
    .m_doc = "\n"
             "@Author: vornax team\n"
             "@Time: 2024/1/20 11:03\n"
             "@SoftWare: PyCharm\n"
             "@Project: vornax\n"
             "@File: sftp_main\n",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyObject* recorded_module() noexcept { return g_module; }

}  // namespace sftp

PyMODINIT_FUNC PyInit_sftp_main() { return PyModuleDef_Init(&sftp::module_def); }
