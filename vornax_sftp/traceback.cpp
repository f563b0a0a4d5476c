#include "traceback.hpp"

#include <frameobject.h>

#include <map>
#include <new>
#include <string_view>
#include <utility>

#include "calls.hpp"
#include "module_record.hpp"
#include "saved_error.hpp"

namespace sftp {

namespace {

// One code object per (function, line), made on first use and kept: the
// set is small and fixed, and making one costs far more than the frame.
// Only touched while holding the interpreter lock.
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
        PyErr_NoMemory();
        throw_python_error();
    }
    return code.release();
}

// The frame of one entry.  Its globals are the module namespace, as for a
// function defined in the module: the traceback printer then asks the
// module's loader for source, finds none, and shows no line at all.
Ref new_frame(const char* funcname, int line) {
    PyObject* module = recorded_module();
    Ref globals;
    if (module != nullptr) {
        globals = Ref::borrow(PyModule_GetDict(module));
    } else {
        globals = py::owned(PyDict_New());
    }
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(code_for(funcname, line));
    return py::owned(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr)));
}

}  // namespace

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
