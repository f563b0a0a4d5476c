#include "session/local_file.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "calls.hpp"
#include "saved_error.hpp"
#include "state.hpp"

#include <sys/stat.h>
#ifndef EDQUOT
#define EDQUOT ENOSPC  // no disk quotas (Windows)
#endif

namespace sftp::session {

namespace {

#ifdef _WIN32  // the client's own open for writing, minus truncation (os.open passes them on)
constexpr long kOpenFlags = _O_WRONLY | _O_CREAT | _O_BINARY, kExclusive = _O_EXCL;
constexpr long kTemporaryFlags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY;
#else
constexpr long kOpenFlags = O_WRONLY | O_CREAT | O_NONBLOCK, kExclusive = O_EXCL;
constexpr long kTemporaryFlags = O_RDWR | O_CREAT | O_EXCL;
#endif
constexpr long long kChunk = 8 << 20;

struct Download {
    Ref os, absolute;              // the caller's path joined to the directory current at the call
    Ref fd, opened;                // the destination open for writing, and its fstat if made here
    bool created = false;          // ... while it may go again
    Ref temporary, temporary_fd;   // the file the client writes, open from its creation
};

long pending_errno() {
    PyObject* exc = PyErr_GetRaisedException();
    Ref code = PyErr_GivenExceptionMatches(exc, PyExc_OSError) ? get_attr(exc, state().attr_errno) : Ref();
    const long value = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    PyErr_SetRaisedException(exc);  // in place of whatever the look-up raised
    return value;
}

// Whether `directory` keeps every entry (append-only, immutable): statx, absent from os.
int keeps_its_entries([[maybe_unused]] PyObject* directory) {
#if defined(STATX_ATTR_APPEND)  // Linux, glibc 2.28 or later
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(directory));
    struct statx info {};  // its attributes, when `failed` is 0
    int failed = -1;
    Py_BEGIN_ALLOW_THREADS
    failed = encoded ? statx(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), 0, 0, &info) : -1;
    Py_END_ALLOW_THREADS
    const auto kept = info.stx_attributes & info.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
    return !encoded ? -1 : failed == 0 && kept != 0;
#else
    return 0;
#endif
}

int open_destination(Download& d, PyObject* destination) {  // 1: opened here, 0: for the client, -1: error
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    d.os = fspath ? Ref::steal(PyImport_Import(s.mod_os)) : Ref();
    Ref text = d.os ? call_method(d.os.get(), s.attr_fsdecode, fspath.get()) : Ref();
    Ref info = text ? call_method(d.os.get(), s.attr_stat, text.get()) : Ref();
    const bool missing = !info && text && PyErr_ExceptionMatches(PyExc_FileNotFoundError) && (PyErr_Clear(), true);
    if (!info && !missing) {  // no path, or os.stat finds it wrong: the client's own open tells what
        const bool clients = text ? PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError)
                                  : !fspath && PyErr_ExceptionMatches(PyExc_TypeError);
        return clients ? (PyErr_Clear(), 0) : -1;
    }
    Ref st_mode = info ? get_attr(info.get(), s.attr_st_mode) : number(0100000);
    const long bits = st_mode ? PyLong_AsLong(st_mode.get()) : -1;
    if (bits == -1 || (bits & 0170000) != 0100000) {  // no regular file
        return bits == -1 ? -1 : 0;
    }
    // Absolute now, unnormalised: another thread's chdir moves nothing made here.
    Ref rooted = call_attr_method(d.os.get(), s.attr_path, s.attr_isabs, text.get());
    Ref cwd = !rooted ? Ref()
                      : rooted.get() == Py_True ? Ref::borrow(s.text_empty) : call_method(d.os.get(), s.attr_getcwd);
    d.absolute = cwd ? call_attr_method(d.os.get(), s.attr_path, s.attr_join, cwd.get(), text.get()) : Ref();
    for (const long flags : {kOpenFlags | (missing ? kExclusive : 0), kOpenFlags}) {
        Ref how = d.absolute ? number(flags) : Ref(), mode = how ? number(0666) : Ref();
        d.fd = mode ? call_method(d.os.get(), s.attr_open, text.get(), how.get(), mode.get()) : Ref();
        d.created = d.fd && (flags & kExclusive) != 0;
        if (d.fd || !(flags & kExclusive) || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            break;
        }
        PyErr_Clear();  // it appeared meanwhile, or is a link to what does not exist yet
    }
    d.opened = d.created ? call_method(d.os.get(), s.attr_fstat, d.fd.get()) : Ref();
    return d.fd && (d.opened || !d.created) ? 1 : -1;
}

// A new file only the caller may use (0600 whatever the umask: the client reopens it by path).
PyObject* make_temporary(Download& d) {
    const ModuleState& s = state();
    Ref beside = call_attr_method(d.os.get(), s.attr_path, s.attr_dirname, d.absolute.get());
    const int kept = beside ? keeps_its_entries(beside.get()) : -1;
    Ref tempfile = kept < 0 ? Ref() : Ref::steal(PyImport_Import(s.mod_tempfile));
    Ref elsewhere = tempfile ? call_method(tempfile.get(), s.attr_gettempdir) : Ref();
    Ref how = elsewhere ? number(kTemporaryFlags) : Ref(), mode = how ? number(0600) : Ref(), eight = number(8);
    for (PyObject* directory : {kept == 0 ? beside.get() : elsewhere.get(), elsewhere.get()}) {
        for (int tries = 1; mode && !d.temporary_fd && !PyErr_Occurred() && tries <= 100; ++tries) {
            Ref random = eight ? call_method(d.os.get(), s.attr_urandom, eight.get()) : Ref();
            Ref hex = random ? call_method(random.get(), s.attr_hex) : Ref();
            Ref name = hex ? Ref::steal(PyUnicode_FromFormat(".sftp_main-%U.part", hex.get())) : Ref();
            Ref path = name ? call_attr_method(d.os.get(), s.attr_path, s.attr_join, directory, name.get()) : Ref();
            d.temporary_fd = path ? call_method(d.os.get(), s.attr_open, path.get(), how.get(), mode.get()) : Ref();
            d.temporary = d.temporary_fd ? std::move(path) : Ref();
            if (tries < 100 && PyErr_ExceptionMatches(PyExc_FileExistsError)) {  // a name taken
                PyErr_Clear();
            }
        }
        if (!mode || d.temporary_fd || directory == elsewhere.get() || !PyErr_ExceptionMatches(PyExc_OSError)) {
            break;
        }
        PyErr_Clear();  // a directory that takes no new entry
    }
    if (d.temporary_fd && !call_method(d.os.get(), s.attr_fchmod, d.temporary_fd.get(), mode.get())) {
        cleanup_may_go_on();  // a file system without modes: 0600 at most, from the creation
    }
    return d.temporary_fd && !PyErr_Occurred() ? d.temporary.get() : nullptr;
}

// Whole versions in turn.  The wait releases the GIL, yields to signals, ends past `timeout`.
int lock(Download& d, PyObject* timeout) {
    const ModuleState& s = state();
    Ref fcntl = Ref::steal(PyImport_Import(s.mod_fcntl));
    if (!fcntl) {
        return PyErr_ExceptionMatches(PyExc_ImportError) ? (PyErr_Clear(), 0) : -1;  // Windows: see the header
    }
    Ref flags = get_attr(fcntl.get(), s.attr_LOCK_EX);
    Ref nonblocking = flags && timeout != Py_None ? get_attr(fcntl.get(), s.attr_LOCK_NB) : Ref();
    flags = nonblocking ? Ref::steal(PyNumber_Or(flags.get(), nonblocking.get())) : std::move(flags);
    Ref time = nonblocking ? Ref::steal(PyImport_Import(s.mod_time)) : Ref();
    Ref pause = time ? Ref::steal(PyFloat_FromDouble(0.01)) : Ref();  // seconds between two tries
    for (double left = pause ? PyFloat_AsDouble(timeout) : 0; flags && !PyErr_Occurred(); left -= 0.01) {
        if (call_method(fcntl.get(), s.attr_flock, d.fd.get(), flags.get())) {
            return 0;
        }
        const long code = pending_errno();  // a file system that locks nothing (NFS without lockd): no lock
        if (code == ENOLCK || code == EOPNOTSUPP || code == ENOSYS || code == EINVAL) {
            return PyErr_Clear(), 0;
        }
        if (pause && PyErr_ExceptionMatches(PyExc_BlockingIOError) && left > 0) {
            PyErr_Clear();
            call_method(time.get(), s.attr_sleep, pause.get());
        }
    }
    return -1;
}

// Space before old bytes change.  Only "no room" fails: other errors mean no reservation here
// (a file system without fallocate, where glibc's emulation reads a file open for writing).
int reserve(Download& d, long long old_size, long long size) {
    Ref allocate = old_size > 0 ? get_optional_attr(d.os.get(), state().attr_posix_fallocate) : Ref();
    Ref start = allocate && size > 0 ? number(0) : Ref(), length = start ? number(size) : Ref();
    if (!length || call(allocate.get(), d.fd.get(), start.get(), length.get())) {
        return PyErr_Occurred() ? -1 : 0;
    }
    const long code = pending_errno();
    return code == 0 || code == ENOSPC || code == EFBIG || code == EDQUOT ? -1 : (PyErr_Clear(), 0);
}

// Bytes [start, end) of the temporary file into the destination, `done` counting them.
int copy_range(Download& d, long long start, long long end, long long& done) {
    const ModuleState& s = state();
    PyObject *os = d.os.get(), *from = d.temporary_fd.get(), *to = d.fd.get();
    Ref copy = get_optional_attr(os, s.attr_copy_file_range);
    while (start + done < end) {
        Ref at = number(start + done), count = at ? number(std::min(kChunk, end - start - done)) : Ref();
        Ref wrote = count && copy ? call(copy.get(), from, to, count.get(), at.get(), at.get()) : Ref();
        const long code = wrote || !copy ? 0 : pending_errno();
        if (code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP) {
            PyErr_Clear();  // not between these two files: read and write
        }
        if (Ref whence = count && !wrote && !PyErr_Occurred() ? number(0) : Ref()) {  // SEEK_SET everywhere
            Ref got = call_method(os, s.attr_lseek, from, at.get(), whence.get()) &&
                                call_method(os, s.attr_lseek, to, at.get(), whence.get())
                            ? call_method(os, s.attr_read, from, count.get()) : Ref();
            wrote = got && PyBytes_GET_SIZE(got.get()) ? call_method(os, s.attr_write, to, got.get()) : std::move(got);
        }
        const long long n = !wrote ? -1 : PyLong_Check(wrote.get()) ? PyLong_AsLongLong(wrote.get()) : 0;
        if (n <= 0) {
            return n < 0 ? -1 : (PyErr_SetString(PyExc_OSError, "the downloaded file ended early"), -1);
        }
        done += n;
    }
    return 0;
}

long long size_of(Download& d, PyObject* fd) {
    Ref info = call_method(d.os.get(), state().attr_fstat, fd);
    Ref size = info ? get_attr(info.get(), state().attr_st_size) : Ref();
    return size ? PyLong_AsLongLong(size.get()) : -1;
}

int cut(Download& d, long long size) {
    Ref length = number(size);
    return length && call_method(d.os.get(), state().attr_ftruncate, d.fd.get(), length.get()) ? 0 : -1;
}

// Until an old byte is overwritten, a failure cuts the file back to its old length.
int write_in(Download& d, PyObject* timeout) {
    const long long size = lock(d, timeout) == 0 ? size_of(d, d.temporary_fd.get()) : -1;
    const long long old_size = size >= 0 ? size_of(d, d.fd.get()) : -1;
    long long tail = 0, head = 0;
    const bool copied = old_size >= 0 && reserve(d, old_size, size) == 0 &&
                        (size <= old_size || copy_range(d, old_size, size, tail) == 0) &&
                        copy_range(d, 0, std::min(old_size, size), head) == 0;
    if (!copied && old_size >= 0 && head == 0) {
        SavedError failure;
        cut(d, old_size);
    }
    return !copied ? -1 : size < old_size ? cut(d, size) : 0;
}

// Closes and removes the temporary file and, while `created`, the destination if still at its path.
void release(Download& d) {
    const ModuleState& s = state();
    PyObject* os = d.os.get();
    SavedError pending;
    for (Ref* fd : {&d.temporary_fd, &d.fd}) {  // closed first: Windows removes no open file
        if (Ref open = std::move(*fd); open && !call_method(os, s.attr_close, open.get()) && !cleanup_may_go_on()) {
            return;
        }
    }
    if (d.temporary && !call_method(os, s.attr_unlink, d.temporary.get()) && !cleanup_may_go_on()) {
        return;
    }
    Ref at_path = d.created && d.opened ? call_method(os, s.attr_lstat, d.absolute.get()) : Ref();
    Ref same = at_path ? call_attr_method(os, s.attr_path, s.attr_samestat, at_path.get(), d.opened.get()) : Ref();
    Ref removed = same && same.get() == Py_True ? call_method(os, s.attr_unlink, d.absolute.get()) : Ref();
}

}  // namespace

int download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    Download d;
    const int managed = open_destination(d, destination);
    if (managed == 0) {
        return call(getter, source, destination) ? 0 : -1;
    }
    PyObject* temporary = managed > 0 ? make_temporary(d) : nullptr;
    bool done = temporary != nullptr && call(getter, source, temporary) && write_in(d, timeout) == 0;
    Ref fd = done ? std::move(d.fd) : Ref();
    done = done && call_method(d.os.get(), state().attr_close, fd.get());  // may report a failed write
    d.created = d.created && !done;
    release(d);
    return done && !PyErr_Occurred() ? 0 : -1;
}

}  // namespace sftp::session
