#include "session/local_file.hpp"

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "calls.hpp"
#include "saved_error.hpp"
#include "session/copy_in.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

constexpr long kFileTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr long kSymbolicLink = 0120000;
constexpr long kPermissionBits = 07777;
constexpr int kNameAttempts = 100;
// Characters of the destination's name kept in a temporary name: at most
// 160 bytes in any encoding, so that with its suffix the name stays within
// the 255 bytes (or UTF-16 units) file systems allow.
constexpr Py_ssize_t kNameKept = 40;
// A destination that cannot be replaced (on Windows: open elsewhere, or
// held by a scanner) is tried again after 10, 20, 40 and 80 ms.
constexpr int kReplaceRetries = 4;
constexpr double kFirstRetryDelay = 0.01;

std::uint64_t g_temporary_counter = 0;

// os.path.<name>(arg)
Ref path_call(PyObject* os, PyObject* name, PyObject* arg) {
    Ref path_module = get_attr(os, state().attr_path);
    return path_module ? call_method(path_module.get(), name, arg) : Ref();
}

constexpr long kMissing = -2;   // the path does not exist
constexpr long kUnknown = -3;   // the path cannot be examined

// st_mode of os.<function>(path) (stat or lstat), kMissing, kUnknown, or -1
// with an exception set; `info` receives the stat result.
long file_mode(PyObject* os, PyObject* function, PyObject* path, Ref& info) {
    info = call_method(os, function, path);
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
        PyErr_SetString(PyExc_ValueError, "negative st_mode");
    }
    return bits < 0 ? -1 : bits;
}

// 1 when os.access(path, os.W_OK), else 0 with PermissionError set (the
// error opening the file would give), -1 on error.
int may_write(PyObject* os, PyObject* path) {
    const ModuleState& s = state();
    Ref flag = get_attr(os, s.attr_W_OK);
    Ref answer = flag ? call_method(os, s.attr_access, path, flag.get()) : Ref();
    int writable = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (writable == 0) {
        Ref args = Ref::steal(Py_BuildValue("(isO)", EACCES, "Permission denied", path));
        if (args) {
            PyErr_SetObject(PyExc_PermissionError, args.get());
        }
    }
    return writable;
}

// 1 when moving a new file over `path` loses nothing but its inode: it has
// one name and no extended attributes (where ACLs live).  0 when something
// would be lost, or when the platform cannot list attributes and so cannot
// tell; -1 on error.
int keeps_nothing_else(PyObject* os, PyObject* path, PyObject* info) {
    const ModuleState& s = state();
    Ref links = get_attr(info, s.attr_st_nlink);
    long count = links ? PyLong_AsLong(links.get()) : -1;
    if (count == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (count != 1) {
        return 0;
    }
    PyObject* found = nullptr;
    int present = PyObject_GetOptionalAttr(os, s.attr_listxattr, &found);
    Ref listxattr = Ref::steal(found);
    if (present <= 0) {
        return present;
    }
    Ref names = call(listxattr.get(), path);
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            return -1;
        }
        PyErr_Clear();  // a file system without attributes, or one that hides them
        return 0;
    }
    Py_ssize_t size = PyObject_Length(names.get());
    return size < 0 ? -1 : size == 0;
}

// 1 when the file open as `fd` has the owner and group that `info` shows,
// 0 when not, -1 on error.
int same_owner(PyObject* os, PyObject* fd, PyObject* info) {
    const ModuleState& s = state();
    Ref own = call_method(os, s.attr_fstat, fd);
    if (!own) {
        return -1;
    }
    for (PyObject* field : {s.attr_st_uid, s.attr_st_gid}) {
        Ref mine = get_attr(own.get(), field);
        Ref theirs = mine ? get_attr(info, field) : Ref();
        int equal = theirs ? PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ) : -1;
        if (equal <= 0) {
            return equal;
        }
    }
    return 1;
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
    Ref info;
    long bits = file_mode(os_.get(), s.attr_lstat, fspath.get(), info);
    if (bits >= 0 && (bits & kFileTypeMask) == kSymbolicLink) {
        path_ = path_call(os_.get(), s.attr_realpath, fspath.get());
        if (!path_) {
            return -1;
        }
        bits = file_mode(os_.get(), s.attr_stat, path_.get(), info);
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
    info_ = std::move(info);
    mode_ = Ref::steal(PyLong_FromLong(bits & kPermissionBits));
    int writable = mode_ ? may_write(os_.get(), path_.get()) : -1;
    if (writable <= 0) {
        return -1;
    }
    int kept = keeps_nothing_else(os_.get(), path_.get(), info_.get());
    move_ = kept == 1;
    return kept < 0 ? -1 : 1;
}

Ref LocalDestination::create_target() {
    const ModuleState& s = state();
    Ref directory = path_call(os_.get(), s.attr_dirname, path_.get());
    Ref base = directory ? path_call(os_.get(), s.attr_basename, path_.get()) : Ref();
    if (!base) {
        return Ref();
    }
    Ref target = temporary_in(directory.get(), base.get(), true);
    if (target || !PyErr_ExceptionMatches(PyExc_OSError)) {
        return target;
    }
    // No entry can be made beside the destination (a directory that takes
    // none, a path the platform finds too long).
    PyErr_Clear();
    move_ = false;
    if (!info_) {
        // A new file: if it can be made at all, the client writes it
        // directly and a failed download removes it again.
        Ref fd = open_for_writing(os_.get(), path_.get(), true, 0666);
        if (!fd) {
            return Ref();
        }
        direct_ = true;
        if (!call_method(os_.get(), s.attr_close, fd.get())) {
            discard(path_.get());
            return Ref();
        }
        return Ref::borrow(path_.get());
    }
    Ref tempfile = Ref::steal(PyImport_Import(s.mod_tempfile));
    Ref elsewhere = tempfile ? call_method(tempfile.get(), s.attr_gettempdir) : Ref();
    return elsewhere ? temporary_in(elsewhere.get(), base.get(), false) : Ref();
}

Ref LocalDestination::temporary_in(PyObject* directory, PyObject* base, bool beside) {
    const ModuleState& s = state();
    Ref kept = PyUnicode_GET_LENGTH(base) > kNameKept ? Ref::steal(PyUnicode_Substring(base, 0, kNameKept))
                                                      : Ref::borrow(base);
    // A new destination gets the permissions (umask applied) any new file
    // gets, as the client's own open would give it.  The copy of an
    // existing file stays private to the caller until it takes the file's
    // place and mode.
    const long permissions = info_ ? 0600 : 0666;
    Ref path_module = kept ? get_attr(os_.get(), s.attr_path) : Ref();
    if (!path_module) {
        return Ref();
    }
    for (int attempt = 0;; ++attempt) {
        PyTime_t now = 0;
        if (PyTime_Time(&now) < 0) {
            return Ref();
        }
        Ref name = Ref::steal(PyUnicode_FromFormat(".%U.%llx-%llx.part", kept.get(),
                                                   static_cast<unsigned long long>(now),
                                                   static_cast<unsigned long long>(++g_temporary_counter)));
        Ref path = name ? call_method(path_module.get(), s.attr_join, directory, name.get()) : Ref();
        if (!path) {
            return Ref();
        }
        Ref fd = open_for_writing(os_.get(), path.get(), true, permissions);
        if (fd) {
            int same = beside && move_ && info_ ? same_owner(os_.get(), fd.get(), info_.get()) : 1;
            bool closed = false;
            if (same < 0) {
                SavedError pending;  // same_owner's error is the one reported
                call_method(os_.get(), s.attr_close, fd.get());
            } else {
                closed = static_cast<bool>(call_method(os_.get(), s.attr_close, fd.get()));
            }
            if (!closed) {
                discard(path.get());
                return Ref();
            }
            move_ = move_ && beside && same == 1;
            return path;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt + 1 >= kNameAttempts) {
            return Ref();
        }
        PyErr_Clear();
    }
}

int LocalDestination::commit(PyObject* written) {
    const ModuleState& s = state();
    if (direct_) {
        return 0;
    }
    if (move_ && mode_ && !call_method(os_.get(), s.attr_chmod, written, mode_.get())) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            return -1;
        }
        PyErr_Clear();  // a file system that refuses the mode: the bytes go in place instead
        move_ = false;
    }
    if (move_) {
        int moved = replace(written);
        if (moved != 0) {
            return moved < 0 ? -1 : 0;
        }
    }
    if (copy_into(os_.get(), written, path_.get(), !info_) < 0) {
        return -1;
    }
    // The destination has its new bytes now; a temporary file that will not
    // go away does not make the download a failure.
    if (!call_method(os_.get(), s.attr_unlink, written)) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            return -1;
        }
        PyErr_Clear();
    }
    return 0;
}

// 1 when moved, 0 when the destination refused throughout, -1 on error.
int LocalDestination::replace(PyObject* written) {
    const ModuleState& s = state();
    for (int attempt = 0;; ++attempt) {
        if (call_method(os_.get(), s.attr_replace, written, path_.get())) {
            return 1;
        }
        if (!PyErr_ExceptionMatches(PyExc_PermissionError)) {
            return -1;
        }
        PyErr_Clear();
        if (attempt == kReplaceRetries) {
            return 0;
        }
        Ref time = Ref::steal(PyImport_Import(s.mod_time));
        Ref delay = time ? Ref::steal(PyFloat_FromDouble(kFirstRetryDelay * (1 << attempt))) : Ref();
        if (!delay || !call_method(time.get(), s.attr_sleep, delay.get())) {
            return -1;
        }
    }
}

void LocalDestination::discard(PyObject* written) {
    SavedError pending;
    call_method(os_.get(), state().attr_unlink, written);
}

}  // namespace sftp::session
