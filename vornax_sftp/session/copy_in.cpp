#include "session/copy_in.hpp"

#include <algorithm>

#include "calls.hpp"
#include "state.hpp"

namespace sftp::session {

namespace {

constexpr long long kChunk = 1 << 20;
// Values of SEEK_SET and SEEK_END on every platform Python runs on.
constexpr long kFromStart = 0;
constexpr long kFromEnd = 2;

Ref number(long long value) {
    return Ref::steal(PyLong_FromLongLong(value));
}

// A size or offset a call returned, or -1 with an exception set.
long long as_offset(Ref result) {
    return result ? PyLong_AsLongLong(result.get()) : -1;
}

// Moves the reader (FileIO.seek) or, with `os`, the descriptor (os.lseek).
long long seek(PyObject* os, PyObject* file, long long offset, long whence) {
    Ref where = number(offset);
    Ref how = where ? Ref::steal(PyLong_FromLong(whence)) : Ref();
    if (!how) {
        return -1;
    }
    return as_offset(os ? call_method(os, state().os_lseek, file, where.get(), how.get())
                        : call_method(file, state().file_seek, where.get(), how.get()));
}

int write_all(PyObject* os, PyObject* fd, PyObject* chunk) {
    const Py_ssize_t size = PyBytes_GET_SIZE(chunk);
    for (Py_ssize_t done = 0; done < size;) {
        Ref rest = done == 0 ? Ref::borrow(chunk) : Ref::steal(PySequence_GetSlice(chunk, done, size));
        long long written = rest ? as_offset(call_method(os, state().os_write, fd, rest.get())) : -1;
        if (written < 0) {
            return -1;
        }
        if (written == 0) {
            PyErr_SetString(PyExc_OSError, "the local file takes no more bytes");
            return -1;
        }
        done += static_cast<Py_ssize_t>(written);
    }
    return 0;
}

// Bytes [start, end) of the reader to the same offsets of the descriptor.
int copy_range(PyObject* os, PyObject* reader, PyObject* fd, long long start, long long end) {
    if (seek(nullptr, reader, start, kFromStart) < 0 || seek(os, fd, start, kFromStart) < 0) {
        return -1;
    }
    for (long long at = start; at < end;) {
        Ref want = number(std::min(kChunk, end - at));
        Ref chunk = want ? call_method(reader, state().file_read, want.get()) : Ref();
        if (!chunk) {
            return -1;
        }
        if (!PyBytes_Check(chunk.get()) || PyBytes_GET_SIZE(chunk.get()) == 0) {
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

int copy_bytes(PyObject* os, PyObject* reader, PyObject* fd) {
    const long long old_size = seek(os, fd, 0, kFromEnd);
    const long long new_size = old_size < 0 ? -1 : seek(nullptr, reader, 0, kFromEnd);
    if (new_size < 0) {
        return -1;
    }
    if (new_size > old_size && copy_range(os, reader, fd, old_size, new_size) < 0) {
        // No old byte has changed yet: the file goes back to its old length.
        PyObject* pending = PyErr_GetRaisedException();
        Ref length = number(old_size);
        if (!length || !call_method(os, state().os_ftruncate, fd, length.get())) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(pending);
        return -1;
    }
    if (copy_range(os, reader, fd, 0, std::min(old_size, new_size)) < 0) {
        return -1;
    }
    Ref length = new_size < old_size ? number(new_size) : Ref();
    if (new_size < old_size && (!length || !call_method(os, state().os_ftruncate, fd, length.get()))) {
        return -1;
    }
    return 0;
}

// Keeps the first of several errors: the one set now goes into `first`
// unless that already holds one.
void keep_first(PyObject*& first) {
    if (!PyErr_Occurred()) {
        return;
    }
    if (first == nullptr) {
        first = PyErr_GetRaisedException();
    } else {
        PyErr_Clear();
    }
}

}  // namespace

long write_flags(PyObject* os, bool create) {
    const ModuleState& s = state();
    PyObject* const required[] = {s.os_O_WRONLY, s.os_O_CREAT, s.os_O_EXCL};
    // Windows writes text, with its line ends, unless told otherwise.
    PyObject* const optional[] = {s.os_O_BINARY};
    long flags = 0;
    for (PyObject* name : required) {
        if (name != s.os_O_WRONLY && !create) {
            continue;
        }
        Ref value = get_attr(os, name);
        long bits = value ? PyLong_AsLong(value.get()) : -1;
        if (bits == -1 && PyErr_Occurred()) {
            return -1;
        }
        flags |= bits;
    }
    for (PyObject* name : optional) {
        PyObject* found = nullptr;
        int present = PyObject_GetOptionalAttr(os, name, &found);
        Ref value = Ref::steal(found);
        long bits = present > 0 ? PyLong_AsLong(value.get()) : present;
        if (bits == -1 && (present < 0 || PyErr_Occurred())) {
            return -1;
        }
        flags |= bits;
    }
    return flags;
}

int copy_into(PyObject* os, PyObject* source, PyObject* destination, bool create) {
    const ModuleState& s = state();
    const long flags = write_flags(os, create);
    Ref io = flags < 0 ? Ref() : Ref::steal(PyImport_Import(s.m_io));
    Ref reader = io ? call_method(io.get(), s.io_FileIO, source) : Ref();
    Ref flag_bits = reader ? Ref::steal(PyLong_FromLong(flags)) : Ref();
    Ref permissions = flag_bits ? Ref::steal(PyLong_FromLong(0666)) : Ref();
    Ref fd = permissions ? call_method(os, s.os_open, destination, flag_bits.get(), permissions.get()) : Ref();
    int result = fd ? copy_bytes(os, reader.get(), fd.get()) : -1;

    PyObject* first = nullptr;
    keep_first(first);
    if (fd && !call_method(os, s.os_close, fd.get())) {
        result = -1;
        keep_first(first);
    }
    if (reader && !call_method(reader.get(), s.s_close)) {
        result = -1;
        keep_first(first);
    }
    if (result < 0 && create && fd) {  // a file this call made, and nobody else's
        if (!call_method(os, s.os_unlink, destination)) {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(first);
    return result;
}

}  // namespace sftp::session
