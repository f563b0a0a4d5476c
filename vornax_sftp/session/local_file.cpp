#include "session/local_file.hpp"

#include <cstdint>
#include <utility>

#include "calls.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

constexpr long kFileTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr long kSymbolicLink = 0120000;
constexpr long kPermissionBits = 07777;
constexpr int kNameAttempts = 100;

std::uint64_t g_temporary_counter = 0;

// os.path.<name>(arg)
Ref path_call(PyObject* os, PyObject* name, PyObject* arg) {
    Ref path_module = get_attr(os, state().os_path);
    return path_module ? call_method(path_module.get(), name, arg) : Ref();
}

// 1 when path names a symbolic link, else 0 (also when it cannot be
// examined: the later stat decides); -1 on other errors.
int is_symbolic_link(PyObject* os, PyObject* path) {
    Ref info = call_method(os, state().os_lstat, path);
    if (!info) {
        if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    Ref mode = get_attr(info.get(), state().st_mode);
    long bits = mode ? PyLong_AsLong(mode.get()) : -1;
    if (bits == -1 && PyErr_Occurred()) {
        return -1;
    }
    return (bits & kFileTypeMask) == kSymbolicLink ? 1 : 0;
}

}  // namespace

int LocalDestination::prepare(PyObject* destination) {
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;  // not a path: the client decides what it means
    }
    if (PyBytes_Check(fspath.get())) {
        fspath = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fspath.get()),
                                                             PyBytes_GET_SIZE(fspath.get())));
        if (!fspath) {
            return -1;
        }
    }
    os_ = Ref::steal(PyImport_Import(s.m_os));
    if (!os_) {
        return -1;
    }
    // A link to a regular file is written through, as opening it would be:
    // the file replaced is the link's target.
    int link = is_symbolic_link(os_.get(), fspath.get());
    if (link < 0) {
        return -1;
    }
    path_ = link ? path_call(os_.get(), s.os_realpath, fspath.get()) : std::move(fspath);
    if (!path_) {
        return -1;
    }
    Ref info = call_method(os_.get(), s.os_stat, path_.get());
    if (!info) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            return 1;  // a new file
        }
        if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return 0;  // cannot tell: leave the path to the client
        }
        return -1;
    }
    Ref mode = get_attr(info.get(), s.st_mode);
    if (!mode) {
        return -1;
    }
    long bits = PyLong_AsLong(mode.get());
    if (bits == -1 && PyErr_Occurred()) {
        return -1;
    }
    if ((bits & kFileTypeMask) != kRegularFile) {
        return 0;
    }
    mode_ = Ref::steal(PyLong_FromLong(bits & kPermissionBits));
    return mode_ ? 1 : -1;
}

Ref LocalDestination::create_temporary() {
    const ModuleState& s = state();
    Ref directory = path_call(os_.get(), s.os_dirname, path_.get());
    Ref base = directory ? path_call(os_.get(), s.os_basename, path_.get()) : Ref();
    Ref io = base ? Ref::steal(PyImport_Import(s.m_io)) : Ref();
    if (!io) {
        return Ref();
    }
    for (int attempt = 0;; ++attempt) {
        PyTime_t now = 0;
        if (PyTime_Time(&now) < 0) {
            return Ref();
        }
        Ref name = Ref::steal(PyUnicode_FromFormat(".%U.%llx-%llx.part", base.get(),
                                                   static_cast<unsigned long long>(now),
                                                   static_cast<unsigned long long>(++g_temporary_counter)));
        Ref path_module = name ? get_attr(os_.get(), s.os_path) : Ref();
        Ref path = path_module ? call_method(path_module.get(), s.os_join, directory.get(), name.get()) : Ref();
        if (!path) {
            return Ref();
        }
        // "xb" creates the file only if it is new, with the permissions
        // (umask applied) any new file gets.
        Ref file = call_method(io.get(), s.os_open, path.get(), s.io_mode_exclusive);
        if (file) {
            if (!call_method(file.get(), s.s_close)) {
                discard(path.get());
                return Ref();
            }
            return path;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt + 1 >= kNameAttempts) {
            return Ref();
        }
        PyErr_Clear();
    }
}

int LocalDestination::commit(PyObject* temporary) {
    const ModuleState& s = state();
    if (mode_ && !call_method(os_.get(), s.os_chmod, temporary, mode_.get())) {
        return -1;
    }
    return call_method(os_.get(), s.os_replace, temporary, path_.get()) ? 0 : -1;
}

void LocalDestination::discard(PyObject* temporary) {
    PyObject* pending = PyErr_GetRaisedException();
    Ref os = Ref::steal(PyImport_Import(state().m_os));
    if (!os || !call_method(os.get(), state().os_unlink, temporary)) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

}  // namespace sftp::session
