#include "session/copy_in.hpp"

#include <algorithm>

#include "calls.hpp"
#include "saved_error.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

constexpr long long kChunk = 1 << 20;
constexpr long kFromStart = 0;  // SEEK_SET on every platform Python runs on

Ref number(long long value) {
    return Ref::steal(PyLong_FromLongLong(value));
}

// The module `name`, or an empty Ref with no exception set where the
// platform has no such module (fcntl on Windows).
Ref optional_module(PyObject* name) {
    Ref module = Ref::steal(PyImport_Import(name));
    if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
    }
    return module;
}

int lock(PyObject* fd) {
    const ModuleState& s = state();
    Ref fcntl = optional_module(s.mod_fcntl);
    if (!fcntl) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref exclusive = get_attr(fcntl.get(), s.attr_LOCK_EX);
    return exclusive && call_method(fcntl.get(), s.attr_flock, fd, exclusive.get()) ? 0 : -1;
}

// Space for `size` bytes from the start, so that writing them cannot run
// out of it (except on copy-on-write file systems).
int reserve(PyObject* os, PyObject* fd, long long size) {
    PyObject* found = nullptr;
    int present = PyObject_GetOptionalAttr(os, state().attr_posix_fallocate, &found);
    Ref allocate = Ref::steal(found);
    if (present <= 0 || size == 0) {
        return present;
    }
    Ref start = number(0);
    Ref length = start ? number(size) : Ref();
    return length && call(allocate.get(), fd, start.get(), length.get()) ? 0 : -1;
}

int write_all(PyObject* os, PyObject* fd, PyObject* chunk) {
    const Py_ssize_t size = PyBytes_GET_SIZE(chunk);
    for (Py_ssize_t done = 0; done < size;) {
        Ref rest = done == 0 ? Ref::borrow(chunk) : Ref::steal(PySequence_GetSlice(chunk, done, size));
        Ref result = rest ? call_method(os, state().attr_write, fd, rest.get()) : Ref();
        const Py_ssize_t written = result ? PyLong_AsSsize_t(result.get()) : -1;
        if (written < 0) {
            return -1;
        }
        if (written == 0) {
            PyErr_SetString(PyExc_OSError, "the local file takes no more bytes");
            return -1;
        }
        done += written;
    }
    return 0;
}

int seek(PyObject* os, PyObject* fd, long long offset) {
    Ref where = number(offset);
    Ref whence = where ? Ref::steal(PyLong_FromLong(kFromStart)) : Ref();
    return whence && call_method(os, state().attr_lseek, fd, where.get(), whence.get()) ? 0 : -1;
}

// Bytes [start, end) of `reader` to the same offsets of `fd`.
int copy_range(PyObject* os, PyObject* reader, PyObject* fd, long long start, long long end) {
    if (seek(os, reader, start) < 0 || seek(os, fd, start) < 0) {
        return -1;
    }
    for (long long at = start; at < end;) {
        Ref want = number(std::min(kChunk, end - at));
        Ref chunk = want ? call_method(os, state().attr_read, reader, want.get()) : Ref();
        if (!chunk) {
            return -1;
        }
        if (PyBytes_GET_SIZE(chunk.get()) == 0) {
            PyErr_SetString(PyExc_OSError, "the downloaded file ended early");
            return -1;
        }
        if (write_all(os, fd, chunk.get()) < 0) {
            return -1;
        }
        at += PyBytes_GET_SIZE(chunk.get());
    }
    return 0;
}

int cut(PyObject* os, PyObject* fd, long long size) {
    Ref length = number(size);
    return length && call_method(os, state().attr_ftruncate, fd, length.get()) ? 0 : -1;
}

// The space first, then the part beyond the old end: until both are done
// no old byte has changed, and a failure (a full disk, an interrupt) cuts
// the file back to its old length.  Only then are the old bytes
// overwritten, and the file cut to its new length.
int copy(PyObject* os, PyObject* reader, PyObject* fd, long long old_size, long long size) {
    if (reserve(os, fd, size) < 0 || (size > old_size && copy_range(os, reader, fd, old_size, size) < 0)) {
        SavedError failure;
        cut(os, fd, old_size);
        return -1;
    }
    if (copy_range(os, reader, fd, 0, std::min(old_size, size)) < 0) {
        return -1;
    }
    return size < old_size ? cut(os, fd, size) : 0;
}

}  // namespace

int copy_into(PyObject* os, PyObject* reader, PyObject* fd, long long size) {
    const ModuleState& s = state();
    if (lock(fd) < 0) {
        return -1;
    }
    Ref info = call_method(os, s.attr_fstat, fd);
    Ref length = info ? get_attr(info.get(), s.attr_st_size) : Ref();
    const long long old_size = length ? PyLong_AsLongLong(length.get()) : -1;
    return old_size < 0 ? -1 : copy(os, reader, fd, old_size, size);
}

}  // namespace sftp::session
