// The transfers: an upload through a temporary file beside the destination, a download through the
// local file (local_file.cpp), and their answer: True, or False with the discarded error logged.
#include <utility>

#include "session/session.hpp"

namespace sftp::session {

Ref interrupt_in_chain(PyObject* exc) {
    // What the caller was handling when the call began (a Ctrl-C its own
    // `except KeyboardInterrupt:` or `finally` is dealing with) is the
    // implicit context of every error raised during the call: the walk ends
    // there, and nothing behind it is this call's.  Our C code pushes no
    // handled exception of its own, so the one current now is the caller's.
    Ref handled = Ref::steal(PyErr_GetHandledException());
    return find_in_chain(exc, handled.get(), [](PyObject* e) { return !PyErr_GivenExceptionMatches(e, PyExc_Exception); });
}

namespace {

// Longer texts are cut in the record: a path of millions of characters (which the server refuses,
// see docs/usage.md) must not flood a log, nor an exception that names it.
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

// One DEBUG record of the exception a transfer discards (exc_info) on the logger "sftp_main", naming
// the method and both arguments' reprs (made only when the logger takes DEBUG records).  logging is
// imported here, at the first failed transfer, so that importing the module imports nothing more.
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

// The answer of a transfer: True, or False when it (or a look-up before it) raised an Exception,
// discarded and logged (what logging raises is dropped, but for an interrupt).  Anything else passes
// through, and so does an interrupt behind an Exception: a Ctrl-C a client reported as an error of
// its own must still stop the program.
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
    py::nothrow::step([&] { log_discarded(exc.get(), method, args); });
    if (!cleanup_may_go_on()) {
        return nullptr;  // an interrupt while logging
    }
    Py_RETURN_FALSE;
}

// A local path open() would take for a file descriptor (anything with __index__) would use whatever
// the program has open under that number: refused first, a TypeError set and false (not thrown).
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

// An upload through `.sftp_main-<32 hex digits>.part` beside the destination, moved over it by
// posix-rename once whole; plain put where that would change what the destination is (docs/usage.md).
// SFTP v3's OPEN with WRITE | CREAT | EXCL, and its HANDLE answer: paramiko's open sends no mode.
constexpr int kOpen = 3;
constexpr int kHandle = 102;
constexpr int kCreateExclusive = 0x02 | 0x08 | 0x20;

// obj.<name> as a number: a field the server left out (None) raises TypeError.
long long number_of(PyObject* obj, const char* name) {
    Ref value = py::owned(PyObject_GetAttrString(obj, name));
    return py::converted(PyLong_AsLongLong(value.get()));
}

struct Upload {
    PyObject* client;
    PyObject* destination;
    Ref old;        // the destination's lstat, empty where there is none
    Ref temporary;  // the temporary file's path, once made
};

// After a failed step: true, the error cleared, where the connection is still in step.
bool in_step(PyObject* client) {
    if (close_out_of_step(client)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// Removes the temporary file by its name (closing `file` first, as put would), the pending error kept:
// what this raises is dropped, but for an interrupt, thrown.
void remove_temporary(const Upload& u, PyObject* file) {
    {
        SavedError kept;
        if (file != nullptr) {
            py::nothrow::call_method(file, state().attr_close);
        }
        if (cleanup_may_go_on()) {
            py::nothrow::call_method(u.client, state().attr_remove, u.temporary.get());
        }
    }
    if (PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
}

// The temporary file, open for writing.  Over an existing file it has that file's owner bits alone,
// so that nobody but its owner, the writer, may open it before owner and group are seen to match.
Ref create_temporary(Upload& u) {
    Ref os = py::owned(PyImport_Import(state().mod_os));
    Ref random = py::owned(PyObject_CallMethod(os.get(), "urandom", "i", 16));
    Ref hex = py::call_method(random.get(), state().attr_hex);
    Ref parts = py::owned(PyObject_CallMethod(u.destination, "rpartition", "s", "/"));
    Ref temporary = py::owned(PyUnicode_FromFormat("%U%U.sftp_main-%U.part", PyTuple_GET_ITEM(parts.get(), 0),
                                                   PyTuple_GET_ITEM(parts.get(), 1), hex.get()));
    Ref paramiko = lookup_global(state().glob_paramiko);
    Ref attributes = py::owned(PyObject_CallMethod(paramiko.get(), "SFTPAttributes", nullptr));
    if (u.old) {
        Ref mode = py::number(number_of(u.old.get(), "st_mode") & 0700);
        py::checked(PyObject_SetAttrString(attributes.get(), "st_mode", mode.get()));
    }
    Ref path = py::owned(PyObject_CallMethod(u.client, "_adjust_cwd", "O", temporary.get()));
    Ref answer = py::owned(
        PyObject_CallMethod(u.client, "_request", "iOiO", kOpen, path.get(), kCreateExclusive, attributes.get()));
    int type = 0;
    PyObject* message = nullptr;
    if (!PyArg_ParseTuple(answer.get(), "iO", &type, &message)) {
        throw_python_error();
    }
    if (type != kHandle) {
        raise(PyExc_OSError, "Expected handle");
    }
    u.temporary = std::move(temporary);
    Ref handle = py::owned(PyObject_CallMethod(message, "get_binary", nullptr));
    return py::owned(PyObject_CallMethod(paramiko.get(), "SFTPFile", "OOs", u.client, handle.get(), "wb"));
}

// The bytes as put sends them (pipelined, 32 KiB at a time), and put's size check: the attributes.
Ref send(const Upload& u, PyObject* local, PyObject* file) {
    py::owned(PyObject_CallMethod(file, "set_pipelined", "O", Py_True));
    Ref shutil = py::owned(PyImport_ImportModule("shutil"));
    py::owned(PyObject_CallMethod(shutil.get(), "copyfileobj", "OOi", local, file, 32768));
    py::call_method(file, state().attr_close);
    Ref made = py::call_method(u.client, state().attr_stat, u.temporary.get());
    Ref sent = py::owned(PyObject_CallMethod(local, "tell", nullptr));
    const long long size = number_of(made.get(), "st_size");
    if (size != PyLong_AsLongLong(sent.get())) {
        raise_format(PyExc_OSError, "size mismatch in put!  %lld != %S", size, sent.get());
    }
    return made;
}

// Moves the whole temporary file over the destination, given the destination's permission bits; false
// where its owner or group would change.  Without posix-rename a new destination takes the plain
// rename, which never replaces a file (so fails for one made meanwhile).
bool replace(const Upload& u, PyObject* made) {
    if (u.old) {
        if (number_of(made, "st_uid") != number_of(u.old.get(), "st_uid") ||
            number_of(made, "st_gid") != number_of(u.old.get(), "st_gid")) {
            return false;
        }
        const long long mode = number_of(u.old.get(), "st_mode") & 07777;
        if ((number_of(made, "st_mode") & 07777) != mode) {
            py::owned(PyObject_CallMethod(u.client, "chmod", "OL", u.temporary.get(), mode));
        }
    }
    try {
        py::call_method(u.client, state().attr_posix_rename, u.temporary.get(), u.destination);
    } catch (const PythonError&) {
        if (u.old || !in_step(u.client)) {
            throw;
        }
        py::call_method(u.client, state().attr_rename, u.temporary.get(), u.destination);
    }
    return true;
}

// The upload of the open `local`: true once done; false, nothing left, where plain put is to make it.
// A failure amid the bytes is the answer (put would truncate the destination).
bool through_temporary(Upload& u, PyObject* local) {
    Ref file;
    try {
        u.old = py::catching({PyExc_FileNotFoundError}, [&] {
            return py::owned(PyObject_CallMethod(u.client, "lstat", "O", u.destination));
        });
        if (u.old && (number_of(u.old.get(), "st_mode") & 0170000) != 0100000) {
            return false;  // a symlink (written through), a directory, a device, ...
        }
        file = create_temporary(u);
    } catch (const PythonError&) {
        if (!in_step(u.client)) {
            throw;
        }
        return false;  // the directory refuses a new entry, or the name
    }
    Ref made;
    try {
        made = send(u, local, file.get());
    } catch (const PythonError&) {
        if (!close_out_of_step(u.client)) {
            remove_temporary(u, file.get());
        }
        throw;
    }
    try {
        if (replace(u, made.get())) {
            return true;
        }
    } catch (const PythonError&) {
        if (!in_step(u.client)) {
            throw;
        }
    }
    remove_temporary(u, nullptr);
    return false;
}

// self._sftp.put(src_file, dsc_path), through a temporary file where the client is paramiko's own
// SFTPClient and the destination a str.  False when it failed, the exception set (not thrown).
bool put(PyObject* client, PyObject* const* args) {
    if (!accepts_local_path(args[1])) {
        return false;
    }
    const bool done = py::nothrow::step([&] {
        Ref cls = sftp_client_class();
        if (reinterpret_cast<PyObject*>(Py_TYPE(client)) != cls.get() || !PyUnicode_CheckExact(args[2])) {
            return false;
        }
        Ref io = py::owned(PyImport_ImportModule("io"));
        Ref local = py::catching({PyExc_Exception}, [&] {
            return py::owned(PyObject_CallMethod(io.get(), "open", "Os", args[1], "rb"));
        });
        if (!local) {
            return false;  // put meets the same error, and reports it
        }
        Upload u{client, args[2], Ref(), Ref()};
        const bool sent = close_on_failure(local.get(), [&] { return through_temporary(u, local.get()); });
        py::call_method(local.get(), state().attr_close);
        return sent;
    });
    if (done || PyErr_Occurred() != nullptr) {
        return done;
    }
    return static_cast<bool>(py::nothrow::call_method(client, state().attr_put, args[1], args[2]));
}

// self._sftp.get(src_file, dsc_path), except that a path destination is opened first and takes the
// new bytes only after get succeeded: a failed download never truncates the caller's file
// (docs/downloads.md).
bool get(PyObject* client, PyObject* const* args) {
    Ref getter = py::nothrow::attr(client, state().attr_get);
    if (!getter || !accepts_local_path(args[2])) {
        return false;
    }
    Ref timeout = py::nothrow::step([&] { return request_timeout(client); });
    return timeout && download_to(getter.get(), args[1], args[2], timeout.get());
}

}  // namespace

// A transfer, on the line two below the method's own; when it failed, the connection closed where
// the failure cut it short.
template <bool Upload>
PyObject* transfer(PyObject* const* args, int& line) {
    line += 2;  // self._sftp.put(src_file, dsc_path) / self._sftp.get(...)
    Ref client = py::nothrow::attr(args[0], state().self_sftp);
    const bool sent = client && (Upload ? put(client.get(), args) : get(client.get(), args));
    if (!sent) {
        close_out_of_step(client.get());
    }
    return transfer_answer(sent, Upload ? state().self_upload : state().self_download, args);
}
template PyObject* transfer<true>(PyObject* const* args, int& line);
template PyObject* transfer<false>(PyObject* const* args, int& line);

}  // namespace sftp::session
