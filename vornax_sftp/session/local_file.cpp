#include "session/local_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
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
constexpr long kExclusive = _O_EXCL;
constexpr long kNonBlocking = 0;
constexpr long kNamedFlags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY;
#else
constexpr long kOpenFlags = O_WRONLY | O_CREAT | O_NONBLOCK;
constexpr long kExclusive = O_EXCL;
constexpr long kNonBlocking = O_NONBLOCK;
constexpr long kNamedFlags = O_RDWR | O_CREAT | O_EXCL;
#endif
#ifdef O_TMPFILE  // Linux: a file with no name; O_EXCL keeps it from ever being linked in
constexpr long kUnnamedFlags = O_TMPFILE | O_RDWR | O_EXCL;
#else
constexpr long kUnnamedFlags = 0;
#endif
constexpr long kPrivateMode = 0600;
constexpr long long kChunk = 8 << 20;
constexpr double kLockPause = 0.01;  // seconds between two tries for a lock held elsewhere

struct Download {
    Ref os;
    Ref text;              // the caller's path text
    Ref absolute;          // ... joined to the directory current at the call
    Ref fd;                // the destination, open for writing
    Ref opened;            // its fstat, when this call created it
    bool created = false;  // ... and it may still go again
    Ref temporary_fd;      // the file the client writes
    Ref temporary;         // the path the client is given for it
    Ref name;              // its own name, while it has one this call must remove
    Ref temporary_stat;    // its fstat, where the client is given its name: checked once get is done
    Ref copy;              // os.copy_file_range, until it cannot copy between these two files
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

// `value` when it is an int, else a TypeError naming `what`: a patched os must not crash us.
long long as_count(const Ref& value, const char* what) {
    if (!PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "%s returned %.100s, not int", what, Py_TYPE(value.get())->tp_name);
        return -1;
    }
    return PyLong_AsLongLong(value.get());
}

Ref open_file(Download& d, PyObject* path, long flags, long mode) {
    Ref how = number(flags);
    if (!how) {
        return how;
    }
    Ref permissions = number(mode);
    if (!permissions) {
        return permissions;
    }
    Ref fd = call_method(d.os.get(), state().attr_open, path, how.get(), permissions.get());
    if (fd && as_count(fd, "os.open") < 0) {
        return Ref();
    }
    return fd;
}

long long size_of(Download& d, PyObject* fd) {
    Ref info = call_method(d.os.get(), state().attr_fstat, fd);
    if (!info) {
        return -1;
    }
    Ref size = get_attr(info.get(), state().attr_st_size);
    if (!size) {
        return -1;
    }
    return as_count(size, "os.fstat().st_size");
}

// 1 when the two stat results name one file, 0 when not, -1 on error.
int same_file(Download& d, PyObject* one, PyObject* other) {
    Ref same = call_attr_method(d.os.get(), state().attr_path, state().attr_samestat, one, other);
    if (!same) {
        return -1;
    }
    return PyObject_IsTrue(same.get());
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

// The caller's text made absolute against the directory current now, unnormalised: another
// thread's chdir moves nothing this call made.
int make_absolute(Download& d) {
    const ModuleState& s = state();
    Ref rooted = call_attr_method(d.os.get(), s.attr_path, s.attr_isabs, d.text.get());
    if (!rooted) {
        return -1;
    }
    Ref cwd = Ref::borrow(s.text_empty);
    if (rooted.get() != Py_True) {
        cwd = call_method(d.os.get(), s.attr_getcwd);
        if (!cwd) {
            return -1;
        }
    }
    d.absolute = call_attr_method(d.os.get(), s.attr_path, s.attr_join, cwd.get(), d.text.get());
    if (!d.absolute) {
        return -1;
    }
    return 0;
}

// Opens the destination with the caller's text, so that the kernel judges it as for `get`.
int open_for_writing(Download& d, bool missing) {
    long flags = kOpenFlags;
    if (missing) {
        flags |= kExclusive;
    }
    d.fd = open_file(d, d.text.get(), flags, 0666);
    if (!d.fd && missing && PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        PyErr_Clear();  // it appeared meanwhile, or is a link to what does not exist yet
        flags = kOpenFlags;
        d.fd = open_file(d, d.text.get(), flags, 0666);
    }
    if constexpr (kNonBlocking != 0) {
        if (!d.fd && PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
            // A lease another process holds is being broken: wait for it as the client's own open
            // would (os.open releases the GIL, and a Ctrl-C ends the wait).
            PyErr_Clear();
            flags &= ~kNonBlocking;
            d.fd = open_file(d, d.text.get(), flags, 0666);
        }
    }
    if (!d.fd) {
        return -1;
    }
    d.created = (flags & kExclusive) != 0;
    if (d.created) {
        d.opened = call_method(d.os.get(), state().attr_fstat, d.fd.get());
        if (!d.opened) {
            return -1;
        }
    }
    return 0;
}

// 1: the destination is open here; 0: the client's own open should judge it; -1: error.
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
    const bool missing = !info && PyErr_ExceptionMatches(PyExc_FileNotFoundError);
    if (missing) {
        PyErr_Clear();
    } else if (!info) {
        return clear_expected(PyExc_OSError, PyExc_ValueError);  // the client's own open says what is wrong
    } else {
        Ref st_mode = get_attr(info.get(), s.attr_st_mode);
        if (!st_mode) {
            return -1;
        }
        const long long mode = as_count(st_mode, "os.stat().st_mode");
        if (mode == -1) {
            return -1;
        }
        if ((mode & 0170000) != 0100000) {
            return 0;  // a FIFO, a device, a directory: the client's own open decides
        }
    }
    if (make_absolute(d) < 0) {
        return -1;
    }
    if (open_for_writing(d, missing) < 0) {
        return -1;
    }
    return 1;
}

// 1 where the client's reopen of /proc/self/fd/N reaches the very file this process has open as N
// (checked on the destination's descriptor); 0 where there is no such directory (Windows, a
// Linux without /proc); -1 on error.
int proc_reaches(Download& d) {
    const ModuleState& s = state();
    Ref link = Ref::steal(PyUnicode_FromFormat("/proc/self/fd/%S", d.fd.get()));
    if (!link) {
        return -1;
    }
    Ref through = call_method(d.os.get(), s.attr_stat, link.get());
    if (!through) {
        return clear_expected(PyExc_OSError, PyExc_ValueError);
    }
    Ref own = call_method(d.os.get(), s.attr_fstat, d.fd.get());
    if (!own) {
        return -1;
    }
    return same_file(d, through.get(), own.get());
}

// Whether `directory` keeps every entry (append-only, immutable): statx, absent from os.
int keeps_its_entries([[maybe_unused]] PyObject* directory) {
#if defined(STATX_ATTR_APPEND)  // Linux, glibc 2.28 or later
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(directory));
    if (!encoded) {
        return -1;
    }
    struct statx info {};
    int failed = -1;
    Py_BEGIN_ALLOW_THREADS
    failed = statx(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), 0, 0, &info);
    Py_END_ALLOW_THREADS
    if (failed != 0) {
        return 0;  // the creation in it will say what is wrong
    }
    const auto kept = info.stx_attributes & info.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
    if (kept == 0) {
        return 0;
    }
    return 1;
#else
    return 0;
#endif
}

// Only the caller may read or write it, whatever the umask, the directory's group or its default
// ACL; a file system without modes keeps what the creation gave.
int make_private(Download& d) {
    Ref mode = number(kPrivateMode);
    if (!mode) {
        return -1;
    }
    if (!call_method(d.os.get(), state().attr_fchmod, d.temporary_fd.get(), mode.get()) && !cleanup_may_go_on()) {
        return -1;
    }
    return 0;
}

// A new `.sftp_main-<random>.part` in `directory`, open from its creation.  1: made, 0: the
// directory takes no new entry, or keeps every entry so that a name there could never go (the
// error cleared), -1: error.
int make_named(Download& d, PyObject* directory) {
    const ModuleState& s = state();
    const int kept = keeps_its_entries(directory);
    if (kept < 0) {
        return -1;
    }
    if (kept > 0) {
        return 0;
    }
    Ref eight = number(8);
    if (!eight) {
        return -1;
    }
    for (int tries = 1; tries <= 100; ++tries) {
        Ref random = call_method(d.os.get(), s.attr_urandom, eight.get());
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
        Ref path = call_attr_method(d.os.get(), s.attr_path, s.attr_join, directory, name.get());
        if (!path) {
            return -1;
        }
        d.temporary_fd = open_file(d, path.get(), kNamedFlags, kPrivateMode);
        if (d.temporary_fd) {
            d.name = std::move(path);
            return 1;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || tries == 100) {
            break;
        }
        PyErr_Clear();  // a name taken: another
    }
    return clear_expected(PyExc_OSError);
}

// Gives the file up its name, now that the client reaches it through /proc: nobody can then put
// anything in its place, and nothing of it outlives the process.  A name that cannot go stays
// this call's to remove.
int drop_name(Download& d) {
    if (!call_method(d.os.get(), state().attr_unlink, d.name.get())) {
        if (!cleanup_may_go_on()) {
            return -1;
        }
        return 0;
    }
    d.name = Ref();
    return 0;
}

// A file with no name in `directory`, reached by the client as /proc/self/fd/N: O_TMPFILE, or where
// the file system refuses it, a named file removed at once.  1, 0, -1 as for make_named.
int make_unnamed(Download& d, PyObject* directory) {
    if constexpr (kUnnamedFlags != 0) {
        d.temporary_fd = open_file(d, directory, kUnnamedFlags, kPrivateMode);
        if (!d.temporary_fd && clear_expected(PyExc_OSError) < 0) {
            return -1;
        }
    }
    if (!d.temporary_fd) {  // no O_TMPFILE here, or not on this file system
        const int made = make_named(d, directory);
        if (made <= 0) {
            return made;
        }
        if (drop_name(d) < 0) {
            return -1;
        }
    }
    d.temporary = Ref::steal(PyUnicode_FromFormat("/proc/self/fd/%S", d.temporary_fd.get()));
    if (!d.temporary) {
        return -1;
    }
    return 1;
}

// A named file in `directory` where /proc cannot reach one without a name; its fstat is kept to
// check, once the client is done, that the name still names it.
int make_checked(Download& d, PyObject* directory) {
    const int made = make_named(d, directory);
    if (made <= 0) {
        return made;
    }
    d.temporary = Ref::borrow(d.name.get());
    d.temporary_stat = call_method(d.os.get(), state().attr_fstat, d.temporary_fd.get());
    if (!d.temporary_stat) {
        return -1;
    }
    return 1;
}

int make_in(Download& d, bool through_proc, PyObject* directory) {
    int made = 0;
    if (through_proc) {
        made = make_unnamed(d, directory);
    } else {
        made = make_checked(d, directory);
    }
    if (made <= 0) {
        return made;
    }
    if (make_private(d) < 0) {
        return -1;
    }
    return 1;
}

// The file the client writes: beside the destination, else in the temporary directory (imported
// only then).  1: made; 0: neither directory takes one (the client then writes the destination
// itself); -1: error.
int make_temporary(Download& d) {
    const ModuleState& s = state();
    const int through_proc = proc_reaches(d);
    if (through_proc < 0) {
        return -1;
    }
    Ref beside = call_attr_method(d.os.get(), s.attr_path, s.attr_dirname, d.absolute.get());
    if (!beside) {
        return -1;
    }
    const int made = make_in(d, through_proc != 0, beside.get());
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
    return make_in(d, through_proc != 0, elsewhere.get());
}

// A named temporary file must still be the one made here: another user who could write its
// directory may have put something else under its name.
int check_still_named(Download& d) {
    Ref at_name = call_method(d.os.get(), state().attr_stat, d.temporary.get());
    int same = 0;
    if (at_name) {
        same = same_file(d, at_name.get(), d.temporary_stat.get());
    } else if (clear_expected(PyExc_OSError) < 0) {
        return -1;
    }
    if (same < 0) {
        return -1;
    }
    if (same == 0) {
        PyErr_Format(PyExc_OSError, "the temporary file %R was replaced while the download ran", d.temporary.get());
        return -1;
    }
    return 0;
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

// fcntl.LOCK_EX, with LOCK_NB where the lock must not be waited for.
Ref lock_flags(PyObject* fcntl, bool nonblocking) {
    Ref exclusive = get_attr(fcntl, state().attr_LOCK_EX);
    if (!exclusive || !nonblocking) {
        return exclusive;
    }
    Ref no_wait = get_attr(fcntl, state().attr_LOCK_NB);
    if (!no_wait) {
        return no_wait;
    }
    return Ref::steal(PyNumber_Or(exclusive.get(), no_wait.get()));
}

// An exclusive flock on the destination, waited for in full (the wait releases the GIL, and a
// Ctrl-C ends it) or, with a `timeout`, until a monotonic deadline.
int lock(Download& d, PyObject* timeout) {
    const ModuleState& s = state();
    Ref fcntl = Ref::steal(PyImport_Import(s.mod_fcntl));
    if (!fcntl) {
        return clear_expected(PyExc_ImportError);  // Windows: no lock (see the header)
    }
    Ref flags = lock_flags(fcntl.get(), timeout != Py_None);
    if (!flags) {
        return -1;
    }
    if (timeout == Py_None) {
        if (try_lock(fcntl.get(), d, flags.get()) < 0) {
            return -1;
        }
        return 0;
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
        const int locked = try_lock(fcntl.get(), d, flags.get());
        if (locked >= 0) {
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
        Ref pause = Ref::steal(PyFloat_FromDouble(std::min(kLockPause, left)));
        if (!pause) {
            return -1;
        }
        if (!call_method(time.get(), s.attr_sleep, pause.get())) {
            return -1;
        }
    }
}

// Space before old bytes change.  Only "no room" fails: other errors mean no reservation here
// (a file system without fallocate, where glibc's emulation reads a file open for writing).
int reserve(Download& d, long long old_size, long long size) {
    if (old_size <= 0 || size <= 0) {
        return 0;  // no old byte to keep: a full disk shows while the new bytes are written
    }
    Ref allocate;
    const int found = get_optional_attr(d.os.get(), state().attr_posix_fallocate, allocate);
    if (found <= 0) {
        return found;  // Windows, macOS: no reservation
    }
    Ref start = number(0);
    if (!start) {
        return -1;
    }
    Ref length = number(size);
    if (!length) {
        return -1;
    }
    if (call(allocate.get(), d.fd.get(), start.get(), length.get())) {
        return 0;
    }
    const long code = pending_errno();
    if (code == 0 || code == ENOSPC || code == EFBIG || code == EDQUOT) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// Up to `count` bytes at `at` in the kernel (a reflink, or a copy there).  The count, 0 where
// the kernel cannot copy between these two files (read and write from then on), -1 on error.
long long copy_in_kernel(Download& d, long long at, long long count) {
    Ref position = number(at);
    if (!position) {
        return -1;
    }
    Ref length = number(count);
    if (!length) {
        return -1;
    }
    Ref copied = call(d.copy.get(), d.temporary_fd.get(), d.fd.get(), length.get(), position.get(), position.get());
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
    PyObject* os = d.os.get();
    Ref position = number(at);
    if (!position) {
        return -1;
    }
    Ref whence = number(0);  // SEEK_SET everywhere
    if (!whence) {
        return -1;
    }
    Ref length = number(count);
    if (!length) {
        return -1;
    }
    if (!call_method(os, s.attr_lseek, d.temporary_fd.get(), position.get(), whence.get())) {
        return -1;
    }
    if (!call_method(os, s.attr_lseek, d.fd.get(), position.get(), whence.get())) {
        return -1;
    }
    Ref bytes = call_method(os, s.attr_read, d.temporary_fd.get(), length.get());
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
    Ref wrote = call_method(os, s.attr_write, d.fd.get(), bytes.get());
    if (!wrote) {
        return -1;
    }
    return as_count(wrote, "os.write");
}

// Bytes [start, end) of the temporary file into the destination, `done` counting them.
int copy_range(Download& d, long long start, long long end, long long& done) {
    while (start + done < end) {
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
    Ref length = number(size);
    if (!length) {
        return -1;
    }
    if (!call_method(d.os.get(), state().attr_ftruncate, d.fd.get(), length.get())) {
        return -1;
    }
    return 0;
}

// The new tail past the old end first, then the old part: until an old byte changes, a failure
// leaves the file as it was.  `head` counts the old bytes overwritten.
int copy_in(Download& d, long long size, long long old_size, long long& head) {
    if (reserve(d, old_size, size) < 0) {
        return -1;
    }
    if (get_optional_attr(d.os.get(), state().attr_copy_file_range, d.copy) < 0) {
        return -1;
    }
    if (size > old_size) {
        long long tail = 0;
        if (copy_range(d, old_size, size, tail) < 0) {
            return -1;
        }
    }
    return copy_range(d, 0, std::min(old_size, size), head);
}

// A destination that lost its last name meanwhile (another call removed it) holds bytes nobody
// can reach: that is no success.
int check_still_linked(Download& d) {
    Ref info = call_method(d.os.get(), state().attr_fstat, d.fd.get());
    if (!info) {
        return -1;
    }
    Ref links = get_attr(info.get(), state().attr_st_nlink);
    if (!links) {
        return -1;
    }
    const long long count = as_count(links, "os.fstat().st_nlink");
    if (count < 0) {
        return -1;
    }
    if (count == 0) {
        PyErr_Format(PyExc_FileNotFoundError, "%R was removed while the download ran", d.text.get());
        return -1;
    }
    return 0;
}

// The temporary file's bytes into the destination, under the lock.
int write_in(Download& d, PyObject* timeout) {
    if (lock(d, timeout) < 0) {
        return -1;
    }
    const long long size = size_of(d, d.temporary_fd.get());
    if (size < 0) {
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
    if (size < old_size && cut(d, size) < 0) {
        return -1;
    }
    return check_still_linked(d);
}

// Closing reports a write the file system could not complete (NFS, for one).
int close_destination(Download& d) {
    Ref fd = std::move(d.fd);
    if (!call_method(d.os.get(), state().attr_close, fd.get())) {
        return -1;
    }
    d.created = false;
    return 0;
}

// The client writes a file of ours, whose bytes then go into the destination; or, where no
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
        return close_destination(d);
    }
    if (!call(getter, source, d.temporary.get())) {
        return -1;
    }
    if (d.temporary_stat && check_still_named(d) < 0) {
        return -1;
    }
    if (write_in(d, timeout) < 0) {
        return -1;
    }
    return close_destination(d);
}

// Whether a destination this call created may go: 1 where this call holds the lock on it (or no
// lock is to be had here), 0 where another download holds it and may be filling it, -1 on error.
// `close_first` where it must be closed before it can go (no flock: Windows removes no open file).
int may_remove(Download& d, bool& close_first) {
    const ModuleState& s = state();
    if (!d.fd) {
        return 1;  // closed already
    }
    Ref fcntl = Ref::steal(PyImport_Import(s.mod_fcntl));
    if (!fcntl) {
        if (clear_expected(PyExc_ImportError) < 0) {
            return -1;
        }
        close_first = true;
        return 1;
    }
    Ref flags = lock_flags(fcntl.get(), true);
    if (!flags) {
        return -1;
    }
    if (try_lock(fcntl.get(), d, flags.get()) >= 0) {
        return 1;
    }
    return clear_expected(PyExc_BlockingIOError);
}

// A destination this call created goes again while it is still this call's: not locked by
// another download, the same file at the path, and empty.  Where flock exists it goes while this
// call holds the lock, so that no other download slips in between.
void remove_created(Download& d, HeldInterrupt& held) {
    const ModuleState& s = state();
    bool close_first = false;
    const int may = may_remove(d, close_first);
    held.after_step();
    if (may != 1) {
        return;
    }
    if (close_first) {
        Ref fd = std::move(d.fd);
        call_method(d.os.get(), s.attr_close, fd.get());
        held.after_step();  // closed or not, the removal below finds out
    }
    Ref at_path = call_method(d.os.get(), s.attr_lstat, d.absolute.get());
    held.after_step();
    if (!at_path) {
        return;
    }
    const int same = same_file(d, at_path.get(), d.opened.get());
    held.after_step();
    Ref size = get_attr(at_path.get(), s.attr_st_size);
    held.after_step();
    if (same != 1 || !size || !PyLong_Check(size.get()) || PyLong_AsLongLong(size.get()) != 0) {
        return;
    }
    call_method(d.os.get(), s.attr_unlink, d.absolute.get());
    held.after_step();
}

// Closes and removes what this call made, every step whatever happens in another: an interrupt
// that arrives meanwhile is raised once all is done, the call's own error kept as its context.
void release(Download& d) {
    const ModuleState& s = state();
    PyObject* os = d.os.get();
    SavedError pending;
    HeldInterrupt held;
    if (Ref fd = std::move(d.temporary_fd)) {  // closed first: Windows removes no open file
        call_method(os, s.attr_close, fd.get());
        held.after_step();
    }
    if (d.name) {
        call_method(os, s.attr_unlink, d.name.get());
        held.after_step();
    }
    if (d.created && d.opened) {
        remove_created(d, held);
    }
    if (Ref fd = std::move(d.fd)) {
        call_method(os, s.attr_close, fd.get());
        held.after_step();
    }
    held.raise_again();
}

}  // namespace

int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    Download d;
    const int opened = open_destination(d, destination);
    if (opened < 0) {
        return -1;
    }
    if (opened == 0) {
        Ref got = call(getter, source, destination);
        if (!got) {
            return -1;
        }
        return 0;
    }
    const int done = transfer(d, getter, source, destination, timeout);
    release(d);
    if (done < 0 || PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

}  // namespace sftp::session
