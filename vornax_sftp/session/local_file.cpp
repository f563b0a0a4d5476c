#include "session/local_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <initializer_list>

#include "calls.hpp"
#include "saved_error.hpp"
#include "state.hpp"

#ifndef EDQUOT
#define EDQUOT ENOSPC  // no disk quotas (Windows)
#endif

namespace sftp::session {

namespace {

// The client's own open for writing, minus truncation (os.open passes the flags on).
#ifdef _WIN32
constexpr long kOpenFlags = _O_WRONLY | _O_CREAT | _O_BINARY;
constexpr long kNonBlocking = 0;
constexpr long kNamedFlags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY;
constexpr long kDirectoryFlags = 0;  // no descriptor for a directory: it is reached by its text
#else
constexpr long kOpenFlags = O_WRONLY | O_CREAT | O_NONBLOCK;
constexpr long kNonBlocking = O_NONBLOCK;
constexpr long kNamedFlags = O_RDWR | O_CREAT | O_EXCL;
#ifdef O_PATH  // no read permission needed on the directory, as for get's own open
constexpr long kDirectoryFlags = O_PATH | O_DIRECTORY;
#else
constexpr long kDirectoryFlags = O_RDONLY | O_DIRECTORY;
#endif
#endif
#ifdef O_TMPFILE  // Linux: a file with no name, which linkat may give one
constexpr long kUnnamedFlags = O_TMPFILE | O_RDWR;
#else
constexpr long kUnnamedFlags = 0;
#endif
constexpr long kPrivateMode = 0600;
constexpr long kOwnerWrite = 0200;
constexpr long kNewMode = 0666;  // less the umask (or as the default ACL says), as for get's own file
constexpr long long kChunk = 8 << 20;
constexpr double kLockPause = 0.01;  // seconds between two tries for a lock held elsewhere

// One descriptor this call opened (a Python int): closed through os.close on every path, by
// close() or at the latest when its owner goes.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ && python_reachable()) {
            SavedError pending;  // an error of the close is dropped, an interrupt raised
            call_method(os_, state().attr_close, fd_.get());
        }
    }
    void own(PyObject* os, Ref fd) noexcept {
        os_ = os;
        fd_ = std::move(fd);
    }
    PyObject* get() const noexcept { return fd_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(fd_); }
    // 0, or -1 with the close's error set: closing reports a write the file system could not
    // complete (NFS, for one).
    int close() {
        Ref fd = std::move(fd_);
        if (!fd) {
            return 0;
        }
        if (!call_method(os_, state().attr_close, fd.get())) {
            return -1;
        }
        return 0;
    }

private:
    PyObject* os_ = nullptr;  // borrowed: the Download's, which outlives it
    Ref fd_;
};

// A directory, pinned: reached from then on through its descriptor, whatever happens to the
// names on its path (on Windows, which opens no directory, through its text).
struct Place {
    Ref text;
    Descriptor fd;
};

struct Download {
    Ref os;
    Ref text;                 // the caller's path text
    Place home;               // the destination's directory
    Ref name;                 // the destination's name in it
    Descriptor fd;            // the destination, open for writing (none while a new one has no name)
    Place spare;              // the temporary directory, where the file is made there
    Place* place = nullptr;   // the directory of the file the client writes
    Descriptor temporary_fd;  // that file
    Ref temporary;            // the path the client is given for it
    Ref temporary_name;       // its name in *place, while it has one this call must remove
    bool linkable = false;    // a file with no name, which may become the destination
    long long mode = -1;      // the mode it is to have once linked, where it differs meanwhile
    Ref copy;                 // os.copy_file_range, until it cannot copy between these two files
};

// The errno of the pending OSError, 0 for any other exception; the exception stays pending.
long pending_errno() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return 0;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref code = get_attr(exc.get(), state().attr_errno);
    long value = 0;
    if (code && PyLong_Check(code.get())) {
        value = PyLong_AsLong(code.get());
    }
    PyErr_Clear();  // whatever the look-up raised: the OSError is the one reported
    PyErr_SetRaisedException(exc.release());
    return value;
}

// True, with the pending error cleared, when it is an OSError with one of `codes`.
bool clear_errno(std::initializer_list<long> codes) {
    const long code = pending_errno();
    if (code == 0 || std::find(codes.begin(), codes.end(), code) == codes.end()) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// 0 where the pending error is `type` (or `other`), an answer the caller expects, which is then
// cleared; -1 for any other error.
int clear_expected(PyObject* type, PyObject* other = nullptr) {
    const bool expected = PyErr_ExceptionMatches(type) || (other != nullptr && PyErr_ExceptionMatches(other));
    if (!expected) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// `value` when it is an int of at least 0, else -1 with an error naming `what`: a patched os
// must not crash us.
long long as_count(const Ref& value, const char* what) {
    if (!PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "%s returned %.100s, not int", what, Py_TYPE(value.get())->tp_name);
        return -1;
    }
    const long long count = PyLong_AsLongLong(value.get());
    if (count == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, "%s returned %lld", what, count);
        return -1;
    }
    return count;
}

// obj.<method>(*arguments), the arguments built by Py_BuildValue from `format` (a tuple): most of
// them numbers made here.
Ref call_built(PyObject* obj, PyObject* method, const char* format, ...) {
    Ref function = get_attr(obj, method);
    if (!function) {
        return function;
    }
    va_list values;
    va_start(values, format);
    Ref arguments = Ref::steal(Py_VaBuildValue(format, values));
    va_end(values);
    if (!arguments) {
        return arguments;
    }
    return Ref::steal(PyObject_CallObject(function.get(), arguments.get()));
}

// os.<method>(name, *args, <keyword>=the place's descriptor), or where it has none (Windows),
// os.<method>(the name joined to its text, *args).
template <typename... Args>
Ref call_in(Download& d, const Place& place, PyObject* keyword, PyObject* method, PyObject* name, Args... args) {
    PyObject* os = d.os.get();
    if (!place.fd) {
        Ref path = call_attr_method(os, state().attr_path, state().attr_join, place.text.get(), name);
        if (!path) {
            return path;
        }
        return call_method(os, method, path.get(), args...);
    }
    Ref function = get_attr(os, method);
    if (!function) {
        return function;
    }
    Ref names = Ref::steal(PyTuple_Pack(1, keyword));
    if (!names) {
        return names;
    }
    PyObject* stack[] = {nullptr, name, args..., place.fd.get()};
    const size_t positional = 1 + sizeof...(Args);
    return Ref::steal(
        PyObject_Vectorcall(function.get(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

// os.open(path, flags, mode), in `place` where one is given; the descriptor into `owner`.
int open_file(Download& d, Descriptor& owner, const Place* place, PyObject* path, long flags, long mode) {
    Ref fd;
    if (place == nullptr) {
        fd = call_built(d.os.get(), state().attr_open, "(Oll)", path, flags, mode);
    } else {
        Ref numbers = Ref::steal(Py_BuildValue("(ll)", flags, mode));
        if (!numbers) {
            return -1;
        }
        PyObject* how = PyTuple_GET_ITEM(numbers.get(), 0);
        fd = call_in(d, *place, state().key_dir_fd, state().attr_open, path, how, PyTuple_GET_ITEM(numbers.get(), 1));
    }
    if (!fd) {
        return -1;
    }
    if (as_count(fd, "os.open") < 0) {
        return -1;
    }
    owner.own(d.os.get(), std::move(fd));
    return 0;
}

long long stat_field(PyObject* info, PyObject* field, const char* what) {
    Ref value = get_attr(info, field);
    if (!value) {
        return -1;
    }
    return as_count(value, what);
}

long long size_of(Download& d, PyObject* fd) {
    Ref info = call_method(d.os.get(), state().attr_fstat, fd);
    if (!info) {
        return -1;
    }
    return stat_field(info.get(), state().attr_st_size, "os.fstat().st_size");
}

// 1 when the two stat results name one file, 0 when not, -1 on error.
int same_file(Download& d, PyObject* one, PyObject* other) {
    Ref same = call_attr_method(d.os.get(), state().attr_path, state().attr_samestat, one, other);
    if (!same) {
        return -1;
    }
    return PyObject_IsTrue(same.get());
}

// Opens the destination for writing (by the caller's text, or by its name in its directory), so
// that the kernel judges it as for `get`.
int open_for_writing(Download& d, const Place* place, PyObject* path) {
    if (open_file(d, d.fd, place, path, kOpenFlags, kNewMode) == 0) {
        return 0;
    }
    if (kNonBlocking == 0 || !PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
        return -1;
    }
    // A lease another process holds is being broken: wait for it as the client's own open would
    // (os.open releases the GIL, and a Ctrl-C ends the wait).
    PyErr_Clear();
    return open_file(d, d.fd, place, path, kOpenFlags & ~kNonBlocking, kNewMode);
}

// Pins the directory `text` names.  Where no directory can be opened (Windows), it is held by its
// absolute text, so that a chdir meanwhile moves nothing, and must be a directory now, so that a
// doomed download sends no request.
int pin(Download& d, Place& place, PyObject* text) {
    if constexpr (kDirectoryFlags != 0) {
        place.text = Ref::borrow(text);
        return open_file(d, place.fd, nullptr, text, kDirectoryFlags, 0);
    }
    const ModuleState& s = state();
    place.text = call_attr_method(d.os.get(), s.attr_path, s.attr_abspath, text);
    if (!place.text) {
        return -1;
    }
    Ref info = call_method(d.os.get(), s.attr_stat, place.text.get());
    if (!info) {
        return -1;
    }
    const long long mode = stat_field(info.get(), s.attr_st_mode, "os.stat().st_mode");
    if (mode < 0) {
        return -1;
    }
    if ((mode & 0170000) != 0040000) {
        errno = ENOTDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, place.text.get());
        return -1;
    }
    return 0;
}

// The destination's directory, pinned, and its name there.  A name that ends in a slash names a
// directory, which a file cannot be.
int pin_home(Download& d) {
    const ModuleState& s = state();
    Ref parts = call_attr_method(d.os.get(), s.attr_path, s.attr_split, d.text.get());
    if (!parts) {
        return -1;
    }
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "os.path.split returned no pair");
        return -1;
    }
    Ref head = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
    d.name = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 1));
    if (PyObject_Not(d.name.get())) {
        errno = EISDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, d.text.get());
        return -1;
    }
    if (PyObject_Not(head.get())) {
        head = Ref::borrow(s.text_dot);
    }
    return pin(d, d.home, head.get());
}

// 1: the destination is a regular file open here, or nothing, its directory pinned; 0: the
// client's own open should judge it; -1: error.
int open_destination(Download& d, PyObject* destination) {
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    if (!fspath) {
        return clear_expected(PyExc_TypeError);  // no path at all: the client's own call says what is wrong
    }
    d.os = Ref::steal(PyImport_Import(s.mod_os));
    if (!d.os) {
        return -1;
    }
    d.text = call_method(d.os.get(), s.attr_fsdecode, fspath.get());
    if (!d.text) {
        return -1;
    }
    Ref info = call_method(d.os.get(), s.attr_stat, d.text.get());
    if (!info && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
        if (pin_home(d) < 0) {
            return -1;
        }
        return 1;
    }
    if (!info) {
        return clear_expected(PyExc_OSError, PyExc_ValueError);  // the client's own open says what is wrong
    }
    const long long mode = stat_field(info.get(), s.attr_st_mode, "os.stat().st_mode");
    if (mode < 0) {
        return -1;
    }
    if ((mode & 0170000) != 0100000) {
        return 0;  // a FIFO, a device, a directory: the client's own open decides
    }
    if (open_for_writing(d, nullptr, d.text.get()) < 0) {
        return -1;
    }
    if (pin_home(d) < 0) {
        return -1;
    }
    return 1;
}

// 1 where the client's reopen of /proc/self/fd/N reaches the very file this process has open as
// N; 0 where there is no such directory (Windows, a Linux without /proc); -1 on error.
int proc_reaches(Download& d) {
    const ModuleState& s = state();
    Ref link = Ref::steal(PyUnicode_FromFormat("/proc/self/fd/%S", d.temporary_fd.get()));
    if (!link) {
        return -1;
    }
    Ref through = call_method(d.os.get(), s.attr_stat, link.get());
    if (!through) {
        return clear_expected(PyExc_OSError, PyExc_ValueError);
    }
    Ref own = call_method(d.os.get(), s.attr_fstat, d.temporary_fd.get());
    if (!own) {
        return -1;
    }
    const int same = same_file(d, through.get(), own.get());
    if (same > 0) {
        d.temporary = std::move(link);
    }
    return same;
}

// Whether a name made in `place` stays the caller's: no other user may rename or remove it there
// (a sticky directory, or one that nobody but its owner, the caller or root, may write), and the
// directory lets it go again (not append-only or immutable).  Windows: only the caller's own
// temporary directory, which other users may not write; elsewhere another user who may write the
// directory above could move the directory, and the name with it, once the file is closed.
bool keeps_names_safe([[maybe_unused]] const Download& d, [[maybe_unused]] const Place& place) {
#ifdef _WIN32
    return &place == &d.spare;
#else
    const int fd = PyLong_AsInt(place.fd.get());
    if (fd < 0) {
        PyErr_Clear();
        return false;
    }
#if defined(STATX_ATTR_APPEND)  // Linux, glibc 2.28 or later: statx, as a wheel for that glibc may call
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &info) != 0) {
        return false;
    }
    const auto kept = info.stx_attributes & info.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
    if (kept != 0) {
        return false;
    }
    const unsigned mode = info.stx_mode;
    const bool owned = info.stx_uid == geteuid() || info.stx_uid == 0;
#else
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    const unsigned mode = info.st_mode;
    const bool owned = info.st_uid == geteuid() || info.st_uid == 0;
#endif
    if ((mode & S_ISVTX) == 0 && (!owned || (mode & (S_IWGRP | S_IWOTH)) != 0)) {
        return false;
    }
    return true;
#endif
}

// A new `.sftp_main-<random>.part` (0600) in `place`, open from its creation.  The client reaches
// it through /proc where it can, the name then gone at once, else by its name.  1: made; 0: the
// directory takes no such name (the error cleared); -1: error.
int make_named(Download& d, Place& place) {
    const ModuleState& s = state();
    if (!keeps_names_safe(d, place)) {
        return 0;
    }
    for (int tries = 1; tries <= 100; ++tries) {
        Ref random = call_built(d.os.get(), s.attr_urandom, "(i)", 8);
        if (!random) {
            return -1;
        }
        Ref hex = call_method(random.get(), s.attr_hex);
        if (!hex) {
            return -1;
        }
        Ref name = Ref::steal(PyUnicode_FromFormat(".sftp_main-%U.part", hex.get()));
        if (!name) {
            return -1;
        }
        if (open_file(d, d.temporary_fd, &place, name.get(), kNamedFlags, kPrivateMode) == 0) {
            d.place = &place;
            d.temporary_name = std::move(name);
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || tries == 100) {
            return clear_expected(PyExc_OSError);
        }
        PyErr_Clear();  // a name taken: another
    }
    const int reached = proc_reaches(d);
    if (reached < 0) {
        return -1;
    }
    if (reached == 0) {
        d.temporary = call_attr_method(d.os.get(), s.attr_path, s.attr_join, place.text.get(), d.temporary_name.get());
        if (!d.temporary) {
            return -1;
        }
        return 1;
    }
    if (!call_in(d, place, s.key_dir_fd, s.attr_unlink, d.temporary_name.get())) {
        if (!cleanup_may_go_on()) {
            return -1;
        }
        return 1;  // a name that cannot go stays this call's to remove
    }
    d.temporary_name = Ref();
    return 1;
}

// A file the client may write, as get's own creation would make it; one it cannot (a umask that
// takes the owner's write bit) is made writable meanwhile.
int writable_meanwhile(Download& d) {
    Ref info = call_method(d.os.get(), state().attr_fstat, d.temporary_fd.get());
    if (!info) {
        return -1;
    }
    const long long mode = stat_field(info.get(), state().attr_st_mode, "os.fstat().st_mode");
    if (mode < 0) {
        return -1;
    }
    if ((mode & kOwnerWrite) != 0) {
        return 0;
    }
    if (!call_built(d.os.get(), state().attr_fchmod, "(OL)", d.temporary_fd.get(), (mode & 07777) | kOwnerWrite)) {
        return -1;
    }
    d.mode = mode & 07777;
    return 0;
}

// The file the client writes, made in `place`: one with no name where O_TMPFILE and /proc serve,
// else a named one where its name is safe.  `refusal_ends`: a refusal of the file with no name
// (no permission, a read-only file system) is the download's error, as for get's own creation.
// 1: made; 0: not here (the error cleared); -1: error.
int make_in(Download& d, Place& place, bool refusal_ends) {
    if constexpr (kUnnamedFlags != 0) {
        if (open_file(d, d.temporary_fd, &place, state().text_dot, kUnnamedFlags, kNewMode) == 0) {
            const int reached = proc_reaches(d);
            if (reached != 0) {
                d.place = &place;
                d.linkable = &place == &d.home;
                return reached;
            }
            if (d.temporary_fd.close() < 0) {
                return -1;
            }
        } else if (!clear_errno({EOPNOTSUPP, EISDIR, EINVAL})) {  // no O_TMPFILE on this file system
            if (refusal_ends) {
                return -1;
            }
            return clear_expected(PyExc_OSError);
        }
    }
    return make_named(d, place);
}

// The file the client writes: in the destination's directory, else in the temporary directory
// (imported only then).  1: made; 0: neither takes one (the client then writes the destination
// itself); -1: error.
int make_temporary(Download& d) {
    const ModuleState& s = state();
    const int made = make_in(d, d.home, !d.fd);
    if (made != 0) {
        return made;
    }
    Ref tempfile = Ref::steal(PyImport_Import(s.mod_tempfile));
    if (!tempfile) {
        return -1;
    }
    Ref elsewhere = call_method(tempfile.get(), s.attr_gettempdir);
    if (!elsewhere) {
        return clear_expected(PyExc_OSError);  // no usable temporary directory
    }
    if (pin(d, d.spare, elsewhere.get()) < 0) {
        return clear_expected(PyExc_OSError);
    }
    return make_in(d, d.spare, false);
}

// 1 locked, 0 where the file system takes no lock, -1 with the error set (BlockingIOError: held).
int try_lock(PyObject* fcntl, Download& d, PyObject* flags) {
    if (call_method(fcntl, state().attr_flock, d.fd.get(), flags)) {
        return 1;
    }
    // A file system that locks nothing (NFS without lockd, for one): no lock here.
    if (clear_errno({ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL})) {
        return 0;
    }
    return -1;
}

// An exclusive flock on the destination, waited for in full (the wait releases the GIL, and a
// Ctrl-C ends it) or, with a `timeout`, until a monotonic deadline.
int lock(Download& d, PyObject* timeout) {
    const ModuleState& s = state();
    Ref fcntl = Ref::steal(PyImport_Import(s.mod_fcntl));
    if (!fcntl) {
        return clear_expected(PyExc_ImportError);  // Windows: no lock (see the header)
    }
    Ref flags = get_attr(fcntl.get(), s.attr_LOCK_EX);
    if (!flags) {
        return -1;
    }
    if (timeout == Py_None) {
        if (try_lock(fcntl.get(), d, flags.get()) < 0) {
            return -1;
        }
        return 0;
    }
    Ref no_wait = get_attr(fcntl.get(), s.attr_LOCK_NB);
    if (!no_wait) {
        return -1;
    }
    flags = Ref::steal(PyNumber_Or(flags.get(), no_wait.get()));
    if (!flags) {
        return -1;
    }
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    Ref time = Ref::steal(PyImport_Import(s.mod_time));
    if (!time) {
        return -1;
    }
    PyTime_t start = 0;
    if (PyTime_Monotonic(&start) < 0) {
        return -1;
    }
    for (;;) {
        if (try_lock(fcntl.get(), d, flags.get()) >= 0) {
            return 0;
        }
        if (!PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
            return -1;
        }
        PyTime_t now = 0;
        if (PyTime_Monotonic(&now) < 0) {
            return -1;
        }
        const double left = seconds - PyTime_AsSecondsDouble(now - start);
        if (left <= 0) {
            return -1;  // the BlockingIOError says why
        }
        PyErr_Clear();
        if (!call_built(time.get(), s.attr_sleep, "(d)", std::min(kLockPause, left))) {
            return -1;
        }
    }
}

// Space for `size` bytes before old bytes change, the file's size left alone, so that a kill while
// the tail is written leaves the old size plus what was written.  Only "no room" fails: other
// errors mean no reservation here (a file system without it; Windows, macOS: none).
int reserve([[maybe_unused]] Download& d, [[maybe_unused]] long long size) {
#ifdef FALLOC_FL_KEEP_SIZE
    const int fd = PyLong_AsInt(d.fd.get());
    if (fd == -1 && PyErr_Occurred()) {
        return -1;
    }
    int failed = 0;
    int code = 0;
    Py_BEGIN_ALLOW_THREADS
    failed = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
    code = errno;
    Py_END_ALLOW_THREADS
    if (failed != 0 && (code == ENOSPC || code == EFBIG || code == EDQUOT)) {
        errno = code;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
#endif
    return 0;
}

// Up to `count` bytes at `at` in the kernel (a reflink, or a copy there).  The count, 0 where
// the kernel cannot copy between these two files (read and write from then on), -1 on error.
long long copy_in_kernel(Download& d, long long at, long long count) {
    Ref copied = Ref::steal(PyObject_CallFunction(d.copy.get(), "OOLLL", d.temporary_fd.get(), d.fd.get(), count, at, at));
    if (!copied) {
        if (!clear_errno({EXDEV, EINVAL, ENOSYS, EOPNOTSUPP})) {
            return -1;
        }
        d.copy = Ref();
        return 0;
    }
    const long long n = as_count(copied, "os.copy_file_range");
    if (n == 0) {
        d.copy = Ref();  // nothing copied before the end: a file system that copies nothing this way
    }
    return n;
}

// Up to `count` bytes at `at`, read and written.  The count, 0 at the end of the temporary file,
// -1 on error.
long long copy_by_reading(Download& d, long long at, long long count) {
    const ModuleState& s = state();
    if (!call_built(d.os.get(), s.attr_lseek, "(OLi)", d.temporary_fd.get(), at, 0)) {  // SEEK_SET everywhere
        return -1;
    }
    if (!call_built(d.os.get(), s.attr_lseek, "(OLi)", d.fd.get(), at, 0)) {
        return -1;
    }
    Ref bytes = call_built(d.os.get(), s.attr_read, "(OL)", d.temporary_fd.get(), count);
    if (!bytes) {
        return -1;
    }
    if (!PyBytes_Check(bytes.get())) {
        PyErr_Format(PyExc_TypeError, "os.read returned %.100s, not bytes", Py_TYPE(bytes.get())->tp_name);
        return -1;
    }
    if (PyBytes_GET_SIZE(bytes.get()) == 0) {
        return 0;
    }
    Ref wrote = call_method(d.os.get(), s.attr_write, d.fd.get(), bytes.get());
    if (!wrote) {
        return -1;
    }
    return as_count(wrote, "os.write");
}

// Bytes [start, end) of the temporary file into the destination, `done` counting them.  Where
// `stoppable`, a Ctrl-C takes effect between two chunks.
int copy_range(Download& d, long long start, long long end, long long& done, bool stoppable) {
    while (start + done < end) {
        if (stoppable) {
            if (PyErr_CheckSignals() < 0) {
                return -1;
            }
        }
        const long long at = start + done;
        const long long count = std::min(kChunk, end - at);
        long long n = 0;
        if (d.copy) {
            n = copy_in_kernel(d, at, count);
        }
        if (n == 0) {
            n = copy_by_reading(d, at, count);
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            PyErr_SetString(PyExc_OSError, "the downloaded file ended early");
            return -1;
        }
        done += n;
    }
    return 0;
}

int cut(Download& d, long long size) {
    if (!call_built(d.os.get(), state().attr_ftruncate, "(OL)", d.fd.get(), size)) {
        return -1;
    }
    return 0;
}

// The new tail past the old end first (a Ctrl-C between chunks cuts it off again), then the old
// part: until an old byte changes, a failure leaves the file as it was.  `head` counts the old
// bytes overwritten.
int copy_in(Download& d, long long size, long long old_size, long long& head) {
    if (reserve(d, size) < 0) {
        return -1;
    }
    if (get_optional_attr(d.os.get(), state().attr_copy_file_range, d.copy) < 0) {
        return -1;
    }
    if (size > old_size) {
        long long tail = 0;
        if (copy_range(d, old_size, size, tail, true) < 0) {
            return -1;
        }
    }
    return copy_range(d, 0, std::min(old_size, size), head, false);
}

// The temporary file's `size` bytes into the destination, under the lock.
int write_in(Download& d, long long size, PyObject* timeout) {
    if (lock(d, timeout) < 0) {
        return -1;
    }
    const long long old_size = size_of(d, d.fd.get());
    if (old_size < 0) {
        return -1;
    }
    long long head = 0;
    if (copy_in(d, size, old_size, head) < 0) {
        if (head == 0) {
            SavedError failure;
            cut(d, old_size);
        }
        return -1;
    }
    if (size < old_size) {
        return cut(d, size);
    }
    return 0;
}

// True means that the destination's name, in its directory, names the file the bytes went into:
// one renamed away or replaced meanwhile is no success.
int check_named(Download& d, PyObject* fd) {
    const ModuleState& s = state();
    Ref at_name = call_in(d, d.home, s.key_dir_fd, s.attr_stat, d.name.get());
    int same = 0;
    if (at_name) {
        Ref own = call_method(d.os.get(), s.attr_fstat, fd);
        if (!own) {
            return -1;
        }
        same = same_file(d, at_name.get(), own.get());
    } else if (clear_expected(PyExc_OSError) < 0) {
        return -1;
    }
    if (same < 0) {
        return -1;
    }
    if (same == 0) {
        PyErr_Format(PyExc_FileNotFoundError, "%R no longer names the file the download wrote", d.text.get());
        return -1;
    }
    return 0;
}

// A new destination takes the finished file's name: 1 linked, 0 where the name exists by now
// (the bytes are then copied in as for an existing file), -1 on error.
int link_in(Download& d) {
    const ModuleState& s = state();
    if (d.mode >= 0) {
        if (!call_built(d.os.get(), s.attr_fchmod, "(OL)", d.temporary_fd.get(), d.mode)) {
            return -1;
        }
    }
    // os.link with a directory descriptor is linkat(), with AT_SYMLINK_FOLLOW: the file itself,
    // not the /proc link, gets the name.
    if (!call_in(d, d.home, s.key_dst_dir_fd, s.attr_link, d.temporary.get(), d.name.get())) {
        return clear_expected(PyExc_FileExistsError);
    }
    if (check_named(d, d.temporary_fd.get()) < 0) {
        return -1;
    }
    return 1;
}

// The client writes a file of this call's, whose bytes then become the destination; or, where no
// temporary file can be made, the destination itself.
int transfer(Download& d, PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    const int made = make_temporary(d);
    if (made < 0) {
        return -1;
    }
    if (made == 0) {
        if (!call(getter, source, destination)) {
            return -1;
        }
        return d.fd.close();
    }
    if (d.linkable && writable_meanwhile(d) < 0) {
        return -1;
    }
    if (!call(getter, source, d.temporary.get())) {
        return -1;
    }
    if (!d.fd && d.linkable) {
        const int linked = link_in(d);
        if (linked < 0) {
            return -1;
        }
        if (linked > 0) {
            return 0;
        }
    }
    // Read before a new destination is made where it cannot be linked in (Windows), so that this
    // failure leaves nothing.
    const long long size = size_of(d, d.temporary_fd.get());
    if (size < 0) {
        return -1;
    }
    if (!d.fd) {
        if (open_for_writing(d, &d.home, d.name.get()) < 0) {
            return -1;
        }
    }
    if (write_in(d, size, timeout) < 0) {
        return -1;
    }
    if (check_named(d, d.fd.get()) < 0) {
        return -1;
    }
    return d.fd.close();
}

// Closes what this call opened and removes the name it made, every step whatever happens in
// another: an interrupt that arrives meanwhile is raised once all is done, the call's own error
// kept as its context.
void release(Download& d) {
    SavedError pending;
    HeldInterrupt held;
    d.temporary_fd.close();  // first: Windows removes no open file
    held.after_step();
    if (d.temporary_name) {
        const ModuleState& s = state();
        call_in(d, *d.place, s.key_dir_fd, s.attr_unlink, d.temporary_name.get());
        held.after_step();
    }
    for (Descriptor* fd : {&d.fd, &d.home.fd, &d.spare.fd}) {
        fd->close();
        held.after_step();
    }
    held.raise_again();
}

}  // namespace

int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    Download d;
    const int opened = open_destination(d, destination);
    int done = -1;
    if (opened == 0 && call(getter, source, destination)) {
        done = 0;
    } else if (opened > 0) {
        done = transfer(d, getter, source, destination, timeout);
    }
    release(d);
    if (done < 0 || PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

}  // namespace sftp::session
