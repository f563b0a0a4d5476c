// The sftp_main extension module: its definition, creation and execution, the module state, the
// imports it binds, and the class VornaxSFTPMain.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "module.hpp"

// Layout facts the binary shares with the interpreter, checked against the headers of the CPython
// built for.  The Windows build takes its configuration from the project's own pyconfig.h
// (tools/wheels/windows/pyconfig.h): a wrong macro there must fail the build, not shift a field.
#if PY_VERSION_HEX < 0x030D0000
#error "sftp_main needs the headers of CPython 3.13 or newer"
#endif
// A free-threaded, debug or reference-tracing interpreter lays out every object otherwise.
#if defined(Py_GIL_DISABLED)
#error "sftp_main is built for the default interpreter, not the free-threaded one (Py_GIL_DISABLED)"
#endif
#if defined(Py_DEBUG)
#error "sftp_main is built for a release interpreter (Py_DEBUG is set)"
#endif
#if defined(Py_TRACE_REFS)
#error "sftp_main is built for an interpreter without reference tracing (Py_TRACE_REFS is set)"
#endif
static_assert(SIZEOF_VOID_P == sizeof(void*), "pyconfig.h: SIZEOF_VOID_P");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t), "pyconfig.h: SIZEOF_SIZE_T");
static_assert(SIZEOF_INT == sizeof(int), "pyconfig.h: SIZEOF_INT");
static_assert(SIZEOF_LONG == sizeof(long), "pyconfig.h: SIZEOF_LONG");
static_assert(SIZEOF_LONG_LONG == sizeof(long long), "pyconfig.h: SIZEOF_LONG_LONG");
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t), "pyconfig.h: SIZEOF_WCHAR_T");
// tp_flags is an unsigned long: Windows is LLP64, Linux LP64.
#ifdef _WIN32
static_assert(sizeof(long) == 4, "Windows: long is 4 bytes (LLP64)");
#else
static_assert(sizeof(long) == sizeof(void*), "Linux: long is as wide as a pointer (LP64)");
#endif
static_assert(sizeof(Py_ssize_t) == sizeof(void*), "Py_ssize_t is as wide as a pointer");
static_assert(sizeof(PyObject) == sizeof(Py_ssize_t) + sizeof(PyTypeObject*), "PyObject: count and type only");
// The variable-size head, then 18 fields each a pointer or a Py_ssize_t, then tp_flags.
static_assert(offsetof(PyTypeObject, tp_flags) == sizeof(PyVarObject) + 18 * sizeof(void*),
              "PyTypeObject: offset of tp_flags");
static_assert(sizeof(PyVarObject) == sizeof(PyObject) + sizeof(Py_ssize_t), "PyVarObject: object head and size");

namespace sftp {

ModuleState g_state{};

namespace {

bool g_state_built = false;

// The state holds raw pointers, dropped all together by clear().
PyObject* made(PyObject* fresh) { return py::owned(fresh).release(); }

void clear(ModuleState& s) {
#define SFTP_CLEAR_FIELD(field, value) Py_CLEAR(s.field);
    SFTP_INTERNED_NAMES(SFTP_CLEAR_FIELD)
    SFTP_MADE_OBJECTS(SFTP_CLEAR_FIELD)
#undef SFTP_CLEAR_FIELD
}

void fill(ModuleState& s) {
#define SFTP_INTERN_FIELD(field, text) s.field = made(PyUnicode_InternFromString(text));
    SFTP_INTERNED_NAMES(SFTP_INTERN_FIELD)
#undef SFTP_INTERN_FIELD
#define SFTP_MAKE_FIELD(field, value) s.field = made(value);
    SFTP_MADE_OBJECTS(SFTP_MAKE_FIELD)
#undef SFTP_MAKE_FIELD
}

// The interpreter the module belongs to, and the module object.  With the state, the method texts
// and the traceback code objects they are released when that interpreter is finalised: a host that
// finalises Python and starts it again then loads the module afresh.
bool g_interpreter_recorded = false;
std::int64_t g_interpreter_id = 0;
PyObject* g_module = nullptr;

constexpr const char* kInitFunction = "init sftp_main";

// The capsule, in the interpreter's own dictionary, whose destructor releases the records.
constexpr const char* kRecordsKey = "sftp_main.records";

// The interpreter clears its dictionary late in its finalisation, after its modules' objects ran
// their finalisers, before its last collection.
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

// Copies an attribute of the module's import record (ModuleSpec) to the module; a missing attribute
// is skipped, and so is None with `skip_none`.
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
    const std::int64_t id = py::converted(PyInterpreterState_GetID(interpreter));
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
    if (!py::checked(PyDict_Contains(modules, state().mod_sftp_main))) {
        py::set_item(modules, state().mod_sftp_main, module);
    }
}

// `step()`, or no value where it met an ordinary error, which a question about a module may answer
// for itself; an interrupt or exhausted memory goes on.
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
    if (existing && existing.get() != Py_None && !is_initializing(existing.get())) {
        return existing;
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
            Ref value = step.module_name == nullptr ? import_package(step.bound_name, globals)
                                                    : import_from(step.module_name, step.bound_name, globals);
            py::set_item(globals, step.bound_name, value.get());
        });
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

// A module compiled against one minor version must not run in another: object and type layouts
// differ between them, and the first object the module made would crash the process.  A build
// copied under the bare name sftp_main.so (or .pyd) is loaded by every version, so the check is the
// module's own.  The warning comes first, as the import system's own message for this case always
// did; the import then fails.
void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return;
    }
    py::checked(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, "sftp_main", "does not match", major, minor));
    raise_format(PyExc_ImportError,
                 "sftp_main was built for CPython %d.%d and cannot run on CPython %d.%d; "
                 "install the sftp_main built for CPython %d.%d",
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor, major, minor);
}

// Forgets the module again unless its execution completes, so that a later import starts afresh.
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
    build_functions();
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

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Legacy sub-interpreters (sharing the GIL) reach the create slot, which admits one interpreter
    // at a time; isolated ones are refused by the import system itself.
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
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

void build_state() {
    if (g_state_built) {
        return;
    }
    ModuleState s{};
    try {
        fill(s);
    } catch (const PythonError&) {
        clear(s);  // nothing was published: a later import retries
        throw;
    }
    g_state = s;
    g_state_built = true;
}

bool state_built() noexcept { return g_state_built; }

void release_state() {
    g_state_built = false;
    clear(g_state);
}

Ref lookup_global(PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject* module = recorded_module()) {
        if (py::checked(PyDict_GetItemRef(PyModule_GetDict(module), name, &value))) {
            return Ref::steal(value);
        }
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        if (py::checked(PyDict_GetItemRef(builtins, name, &value))) {
            return Ref::steal(value);
        }
    }
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref paramiko_attr(PyObject* name) {
    Ref paramiko = lookup_global(state().glob_paramiko);
    return py::attr(paramiko.get(), name);
}

PyObject* recorded_module() noexcept { return g_module; }

}  // namespace sftp

PyMODINIT_FUNC PyInit_sftp_main() { return PyModuleDef_Init(&sftp::module_def); }
