// The ten remote operations.  Each reads self._sftp afresh and calls one
// client method with the arguments exactly as received.
#include <algorithm>
#include <utility>
#include <vector>

#include "calls.hpp"
#include "saved_error.hpp"
#include "session/local_file.hpp"
#include "session/session.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

using Name = PyObject* ModuleState::*;

enum class Result { True, ClientResult };

// self._sftp.<method>(args[1], ...): client errors pass through unchanged,
// answered as NULL rather than thrown (a routine failure; see boundary.hpp).
// The hottest path of the module has no throwing step at all: a landing pad
// here costs every call some 16 instructions (callgrind), about 2 %.
template <Name Method, int Arity, Result Returns>
PyObject* forward(PyObject* const* args, int& line, int statement_line) {
    line = statement_line;
    Ref client = py::nothrow::attr(args[0], state().self_sftp);
    if (!client) {
        return nullptr;
    }
    Ref result;
    if constexpr (Arity == 1) {
        result = py::nothrow::call_method(client.get(), state().*Method, args[1]);
    } else {
        result = py::nothrow::call_method(client.get(), state().*Method, args[1], args[2]);
    }
    if (!result) {
        close_out_of_step(client.get());
        return nullptr;
    }
    if constexpr (Returns == Result::ClientResult) {
        return result.release();
    } else {
        Py_RETURN_TRUE;
    }
}

// Longer texts are cut in the record: a path of millions of characters
// (which the server refuses, see docs/usage.md) must not flood a log, nor
// an exception that names it.
constexpr Py_ssize_t kReprLimit = 1000;
constexpr Py_ssize_t kTracebackLimit = 3000;

// `text` (a `what`), cut after kReprLimit characters with its length said.
Ref record_text(Ref text, const char* what) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (length <= kReprLimit) {
        return text;
    }
    Ref head = py::owned(PyUnicode_Substring(text.get(), 0, kReprLimit));
    return py::owned(PyUnicode_FromFormat("%U... (a %s of %zd characters, cut)", head.get(), what, length));
}

// One DEBUG record of the exception a transfer discards, with the exception
// (exc_info), on the logger "sftp_main": nothing shows unless the program
// configures logging to show it.  It names the method and both arguments
// as their reprs (made only when the logger takes DEBUG records).
// logging is imported here, at the first failed transfer (it nearly always
// is already), so that importing the module imports nothing more.
void log_discarded(PyObject* exc, PyObject* method, PyObject* const* args) {
    const ModuleState& s = state();
    Ref logging = py::owned(PyImport_Import(s.mod_logging));
    Ref logger = py::call_method(logging.get(), s.attr_getLogger, s.mod_sftp_main);
    Ref level = py::attr(logging.get(), s.attr_DEBUG);
    Ref enabled = py::call_method(logger.get(), s.attr_isEnabledFor, level.get());
    if (!py::truth(enabled.get())) {
        return;
    }
    Ref source = record_text(py::owned(PyObject_Repr(args[1])), "repr");
    Ref destination = record_text(py::owned(PyObject_Repr(args[2])), "repr");
    Ref traceback = py::owned(PyImport_Import(s.mod_traceback));
    Ref lines = py::call_method(traceback.get(), s.attr_format_exception, exc);
    Ref formatted = py::owned(PyUnicode_Join(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR), lines.get()));
    if (PyUnicode_GET_LENGTH(formatted.get()) <= kTracebackLimit) {
        // logger.debug("%s(%s, %s) answered False", method, repr(src), repr(dst), exc_info=exc)
        PyObject* stack[] = {nullptr, logger.get(), s.text_transfer_false, method, source.get(), destination.get(), exc};
        py::owned(PyObject_VectorcallMethod(s.attr_debug, stack + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            s.kwnames_exc_info));
        return;
    }
    // A traceback too long to log: the exception's own text, cut, in its place.
    Ref text = record_text(py::owned(PyUnicode_FromFormat("%s: %S", Py_TYPE(exc)->tp_name, exc)), "text");
    py::call_method(logger.get(), s.attr_debug, s.text_transfer_false_cut, method, source.get(), destination.get(),
                    text.get());
}

// The answer of a transfer: True when it went through, False when it (or
// a look-up before it) raised an Exception, which is discarded (and
// logged, see above; what logging itself raises is dropped, unless it is
// an interrupt).  Anything else passes through, and so does an interrupt
// found behind an Exception: a Ctrl-C must stop the program even when the
// client reported it as an error of its own.
PyObject* transfer_answer(bool succeeded, PyObject* method, PyObject* const* args) {
    if (succeeded) {
        Py_RETURN_TRUE;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (Ref interrupt = interrupt_in_chain(exc.get())) {
        PyErr_SetRaisedException(interrupt.release());
        return nullptr;
    }
    py::nothrow::done([&] { log_discarded(exc.get(), method, args); });
    if (!cleanup_may_go_on()) {
        return nullptr;  // an interrupt while logging
    }
    Py_RETURN_FALSE;
}

}  // namespace

Ref interrupt_in_chain(PyObject* exc) {
    // What the caller was handling when the call began (a Ctrl-C its own
    // `except KeyboardInterrupt:` or `finally` is dealing with) is the
    // implicit context of every error raised during the call: the walk ends
    // there, and nothing behind it is this call's.  Our C code pushes no
    // handled exception of its own, so the one current now is the caller's.
    Ref handled = Ref::steal(PyErr_GetHandledException());
    std::vector<Ref> pending;  // each also linked from `exc`: dropping one runs no finaliser
    std::vector<PyObject*> seen;  // kept alive by `exc`, which links them all
    pending.push_back(Ref::borrow(exc));
    while (!pending.empty()) {
        Ref current = std::move(pending.back());
        pending.pop_back();
        if (!current || current.get() == handled.get()) {
            continue;
        }
        if (std::find(seen.begin(), seen.end(), current.get()) != seen.end()) {
            continue;
        }
        if (!PyErr_GivenExceptionMatches(current.get(), PyExc_Exception)) {
            return current;
        }
        seen.push_back(current.get());
        pending.push_back(Ref::steal(PyException_GetCause(current.get())));
        pending.push_back(Ref::steal(PyException_GetContext(current.get())));
    }
    return Ref();
}

PyObject* remove(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_remove, 1, Result::True>(args, line, 101);
}
PyObject* rename(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_rename, 2, Result::True>(args, line, 105);
}
PyObject* posix_rename(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_posix_rename, 2, Result::True>(args, line, 109);
}
PyObject* mkdir(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_mkdir, 1, Result::True>(args, line, 113);
}
PyObject* rmdir(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_rmdir, 1, Result::True>(args, line, 117);
}
PyObject* stat(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_stat, 1, Result::ClientResult>(args, line, 121);
}
PyObject* normalize(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_normalize, 1, Result::ClientResult>(args, line, 124);
}
PyObject* chdir(PyObject* const* args, int& line) {
    return forward<&ModuleState::attr_chdir, 1, Result::True>(args, line, 127);
}
namespace {

// A local path that open() would take for a file descriptor (an int, a bool,
// anything with __index__) would read or write, then close, whatever the
// program has open under that number: refused, before anything is touched,
// with a TypeError set and false (the transfer's answer, not thrown).
bool accepts_local_path(PyObject* local) {
    if (!PyIndex_Check(local)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "the local path must be str, bytes or os.PathLike, not %.100s: "
                 "a number would be taken for a file descriptor",
                 Py_TYPE(local)->tp_name);
    return false;
}

// self._sftp.put(src_file, dsc_path); `client` keeps what was found, for the
// close after an interrupt or a timeout.  False when it failed, the
// exception set: the transfer's answer, not thrown.
bool put(PyObject* const* args, Ref& client) {
    client = py::nothrow::attr(args[0], state().self_sftp);
    if (!client) {
        return false;
    }
    if (!accepts_local_path(args[1])) {
        return false;
    }
    Ref sent = py::nothrow::call_method(client.get(), state().attr_put, args[1], args[2]);
    return static_cast<bool>(sent);
}

// self._sftp.get(src_file, dsc_path), except that a path destination is
// opened first and takes the new bytes only after get succeeded: a failed
// download never truncates the caller's file (docs/downloads.md).
bool get(PyObject* const* args, Ref& client) {
    client = py::nothrow::attr(args[0], state().self_sftp);
    if (!client) {
        return false;
    }
    Ref getter = py::nothrow::attr(client.get(), state().attr_get);
    if (!getter) {
        return false;
    }
    if (!accepts_local_path(args[2])) {
        return false;
    }
    Ref timeout = py::nothrow::step([&] { return request_timeout(client.get()); });
    if (!timeout) {
        return false;
    }
    return download_to(getter.get(), args[1], args[2], timeout.get());
}

}  // namespace

PyObject* upload(PyObject* const* args, int& line) {
    line = 132;  // self._sftp.put(src_file, dsc_path)
    Ref client;
    const bool sent = put(args, client);
    if (!sent) {
        close_out_of_step(client.get());
    }
    return transfer_answer(sent, state().self_upload, args);
}

PyObject* download(PyObject* const* args, int& line) {
    line = 139;
    Ref client;
    const bool fetched = get(args, client);
    if (!fetched) {
        close_out_of_step(client.get());
    }
    return transfer_answer(fetched, state().self_download, args);
}

}  // namespace sftp::session
