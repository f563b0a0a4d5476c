// The sftp_main extension module: definition, creation, execution and the
// creation of the class VornaxSFTPMain.
#include <Python.h>

#include <cstdint>

#include "abi_checks.hpp"
#include "boundary.hpp"
#include "method_table.hpp"
#include "module_imports.hpp"
#include "module_record.hpp"
#include "ref.hpp"
#include "saved_error.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace sftp {

namespace {

// Process-wide records: the interpreter the module belongs to, and the
// module object itself.  With the module state and the code objects of
// traceback entries they belong to that interpreter, and are released when
// it is finalised: a host that finalises Python and starts it again then
// loads the module afresh.
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
    SavedError pending;
    Py_CLEAR(g_module);
    release_state();
    release_traceback_code();
    g_interpreter_recorded = false;
    g_interpreter_id = 0;
}

// Records `id` as the module's interpreter, to be released with it.
int record_interpreter(PyInterpreterState* interpreter, std::int64_t id) {
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&g_interpreter_id, kRecordsKey, release_records));
    if (!capsule || PyDict_SetItemString(dict, kRecordsKey, capsule.get()) < 0) {
        return -1;
    }
    g_interpreter_recorded = true;
    g_interpreter_id = id;
    return 0;
}

// Copies an attribute of the module's import record (ModuleSpec) to the
// module; a missing attribute is skipped.
int copy_spec_attr(PyObject* import_spec, const char* from, PyObject* module, const char* to, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(import_spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(PyModule_GetDict(module), to, value.get());
}

PyObject* create_module(PyObject* import_spec) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (!g_interpreter_recorded) {
        if (record_interpreter(interpreter, id) < 0) {
            return nullptr;
        }
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module || copy_spec_attr(import_spec, "loader", module.get(), "__loader__", false) < 0 ||
        copy_spec_attr(import_spec, "origin", module.get(), "__file__", false) < 0 ||
        copy_spec_attr(import_spec, "parent", module.get(), "__package__", false) < 0 ||
        copy_spec_attr(import_spec, "submodule_search_locations", module.get(), "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// Makes sure sys.modules["sftp_main"] exists.
int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, state().mod_sftp_main);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, state().mod_sftp_main, module);
}

// type("VornaxSFTPMain", (), namespace), bound in the module.
int create_class(PyObject* module) {
    const ModuleState& s = state();
    Ref namespace_dict = Ref::steal(PyDict_New());
    if (!namespace_dict || PyDict_SetItem(namespace_dict.get(), s.dunder_module, s.mod_sftp_main) < 0 ||
        PyDict_SetItem(namespace_dict.get(), s.dunder_qualname, s.glob_VornaxSFTPMain) < 0) {
        add_traceback_entry(kInitFunction, 21);
        return -1;
    }
    for (int i = 0; i < kMethodCount; ++i) {
        Ref function = Ref::steal(new_function(kMethodTable[i], s.methods[i]));
        if (!function || PyDict_SetItem(namespace_dict.get(), s.methods[i].name, function.get()) < 0) {
            add_traceback_entry(kInitFunction, kMethodTable[i].line);
            return -1;
        }
    }
    PyObject* type_args[] = {s.glob_VornaxSFTPMain, s.empty_tuple, namespace_dict.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
    if (!cls || PyDict_SetItem(PyModule_GetDict(module), s.glob_VornaxSFTPMain, cls.get()) < 0) {
        add_traceback_entry(kInitFunction, 21);
        return -1;
    }
    return 0;
}

// A module compiled against one minor version must not run in another:
// object and type layouts differ between them, and the first object the
// module made would crash the process.  A build copied under the bare name
// sftp_main.so (or .pyd) is loaded by every version, so the check is the
// module's own.  The warning comes first, as the import system's own
// message for this case always did; the import then fails.
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, "sftp_main", "does not match", major, minor) < 0) {
        return -1;
    }
    PyErr_Format(PyExc_ImportError,
                 "sftp_main was built for CPython %d.%d and cannot run on CPython %d.%d; "
                 "install the sftp_main built for CPython %d.%d",
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor, major, minor);
    return -1;
}

int execute(PyObject* module) {
    if (check_version() < 0 || build_state() < 0 || register_in_sys_modules(module) < 0 ||
        import_dependencies(module) < 0 || create_class(module) < 0) {
        return -1;
    }
    return 0;
}

int execute_once(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;  // the module returned again by the create slot: already filled
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sftp_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (execute(module) < 0) {
        Py_CLEAR(g_module);
        return -1;
    }
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
