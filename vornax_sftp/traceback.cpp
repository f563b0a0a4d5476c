#include "traceback.hpp"

#include <frameobject.h>

#include <map>
#include <new>
#include <string_view>
#include <utility>

#include "module_record.hpp"
#include "ref.hpp"
#include "saved_error.hpp"

namespace sftp {

namespace {

// One code object per (function, line), made on first use and kept: the
// set is small and fixed, and making one costs far more than the frame.
// Only touched while holding the interpreter lock.
std::map<std::pair<std::string_view, int>, PyObject*> g_code_objects;

PyObject* code_for(const char* funcname, int line) {
    auto key = std::make_pair(std::string_view(funcname), line);
    auto found = g_code_objects.find(key);
    if (found != g_code_objects.end()) {
        return found->second;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFile, funcname, line));
    if (code != nullptr) {
        try {
            g_code_objects.emplace(key, code);
        } catch (const std::bad_alloc&) {
            Py_DECREF(code);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    return code;
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
        // The frame's globals are the module namespace, as for a function
        // defined in the module: the traceback printer then asks the
        // module's loader for source, finds none, and shows no line at all.
        PyObject* module = recorded_module();
        Ref globals = module ? Ref::borrow(PyModule_GetDict(module)) : Ref::steal(PyDict_New());
        PyObject* code = globals ? code_for(funcname, line) : nullptr;
        if (code != nullptr) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals.get(), nullptr)));
        }
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace sftp
