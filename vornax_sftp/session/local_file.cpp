#include "session/local_file.hpp"

#include <cstdint>
#include <utility>

#include "calls.hpp"
#include "saved_error.hpp"
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
    Ref path_module = get_attr(os, state().attr_path);
    return path_module ? call_method(path_module.get(), name, arg) : Ref();
}

constexpr long kMissing = -2;   // the path does not exist
constexpr long kUnknown = -3;   // the path cannot be examined

// attr_st_mode of os.<function>(path) (stat or lstat), kMissing, kUnknown, or -1
// with an exception set.
long file_mode(PyObject* os, PyObject* function, PyObject* path) {
    Ref info = call_method(os, function, path);
    if (!info) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            return kMissing;
        }
        if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return kUnknown;
        }
        return -1;
    }
    Ref mode = get_attr(info.get(), state().attr_st_mode);
    long bits = mode ? PyLong_AsLong(mode.get()) : -1;
    if (bits < 0 && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "negative attr_st_mode");
    }
    return bits < 0 ? -1 : bits;
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
    os_ = Ref::steal(PyImport_Import(s.mod_os));
    if (!os_) {
        return -1;
    }
    // A link to a regular file is written through, as opening it would be:
    // the file replaced is the link's target.  For anything else lstat
    // already tells what stat would.
    long bits = file_mode(os_.get(), s.attr_lstat, fspath.get());
    if (bits >= 0 && (bits & kFileTypeMask) == kSymbolicLink) {
        path_ = path_call(os_.get(), s.attr_realpath, fspath.get());
        if (!path_) {
            return -1;
        }
        bits = file_mode(os_.get(), s.attr_stat, path_.get());
    } else {
        path_ = std::move(fspath);
    }
    if (bits == -1) {
        return -1;
    }
    if (bits == kMissing) {
        return 1;  // a new file
    }
    if (bits == kUnknown || (bits & kFileTypeMask) != kRegularFile) {
        return 0;  // leave it to the client
    }
    mode_ = Ref::steal(PyLong_FromLong(bits & kPermissionBits));
    return mode_ ? 1 : -1;
}

Ref LocalDestination::create_temporary() {
    const ModuleState& s = state();
    Ref directory = path_call(os_.get(), s.attr_dirname, path_.get());
    Ref base = directory ? path_call(os_.get(), s.attr_basename, path_.get()) : Ref();
    Ref io = base ? Ref::steal(PyImport_Import(s.mod_io)) : Ref();
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
        Ref path_module = name ? get_attr(os_.get(), s.attr_path) : Ref();
        Ref path = path_module ? call_method(path_module.get(), s.attr_join, directory.get(), name.get()) : Ref();
        if (!path) {
            return Ref();
        }
        // "xb" creates the file only if it is new, with the permissions
        // (umask applied) any new file gets.
        Ref file = call_method(io.get(), s.attr_open, path.get(), s.text_mode_exclusive);
        if (file) {
            if (!call_method(file.get(), s.attr_close)) {
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
    if (mode_ && !call_method(os_.get(), s.attr_chmod, temporary, mode_.get())) {
        return -1;
    }
    return call_method(os_.get(), s.attr_replace, temporary, path_.get()) ? 0 : -1;
}

void LocalDestination::discard(PyObject* temporary) {
    SavedError pending;
    call_method(os_.get(), state().attr_unlink, temporary);
}

}  // namespace sftp::session
