#include "traceback.hpp"

#include <frameobject.h>

#include "module_record.hpp"
#include "ref.hpp"

namespace sftp {

void add_traceback_entry(const char* funcname, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    // The frame's globals are the module namespace, as for a function
    // defined in the module: the traceback printer then asks the module's
    // loader for source, finds none, and shows no line at all.
    PyObject* module = recorded_module();
    Ref globals = module ? Ref::borrow(PyModule_GetDict(module)) : Ref::steal(PyDict_New());
    Ref code = globals ? Ref::steal(reinterpret_cast<PyObject*>(
                             PyCode_NewEmpty(kTracebackFile, funcname, line)))
                       : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                           globals.get(), nullptr)))
                     : Ref();
    if (!frame) {
        // Out of memory while decorating: keep the original exception.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace sftp
