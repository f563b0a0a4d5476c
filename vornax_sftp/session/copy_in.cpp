#include "session/copy_in.hpp"

#include <algorithm>
#include <initializer_list>

#include "calls.hpp"
#include "saved_error.hpp"
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
    return as_offset(os ? call_method(os, state().attr_lseek, file, where.get(), how.get())
                        : call_method(file, state().attr_seek, where.get(), how.get()));
}

int write_all(PyObject* os, PyObject* fd, PyObject* chunk) {
    const Py_ssize_t size = PyBytes_GET_SIZE(chunk);
    for (Py_ssize_t done = 0; done < size;) {
        Ref rest = done == 0 ? Ref::borrow(chunk) : Ref::steal(PySequence_GetSlice(chunk, done, size));
        long long written = rest ? as_offset(call_method(os, state().attr_write, fd, rest.get())) : -1;
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
        Ref chunk = want ? call_method(reader, state().attr_read, want.get()) : Ref();
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
        SavedError pending;
        if (Ref length = number(old_size)) {
            call_method(os, state().attr_ftruncate, fd, length.get());
        }
        return -1;
    }
    if (copy_range(os, reader, fd, 0, std::min(old_size, new_size)) < 0) {
        return -1;
    }
    Ref length = new_size < old_size ? number(new_size) : Ref();
    if (new_size < old_size && (!length || !call_method(os, state().attr_ftruncate, fd, length.get()))) {
        return -1;
    }
    return 0;
}

// The os.open flags for writing binary data; with `create`, the file is
// created and must not exist yet.  -1 with an exception set on error.
long write_flags(PyObject* os, bool create) {
    const ModuleState& s = state();
    long flags = 0;
    auto add = [&flags](PyObject* value) {
        long bits = value ? PyLong_AsLong(value) : -1;
        flags |= bits;
        return !(bits == -1 && PyErr_Occurred());
    };
    for (PyObject* name : {s.attr_O_WRONLY, s.attr_O_CREAT, s.attr_O_EXCL}) {
        if (name == s.attr_O_WRONLY || create) {
            if (!add(get_attr(os, name).get())) {
                return -1;
            }
        }
    }
    // Windows writes text, with its line ends, unless told otherwise; other
    // platforms have no such flag.
    PyObject* found = nullptr;
    int binary = PyObject_GetOptionalAttr(os, s.attr_O_BINARY, &found);
    Ref value = Ref::steal(found);
    return binary < 0 || (binary > 0 && !add(value.get())) ? -1 : flags;
}

}  // namespace

Ref open_for_writing(PyObject* os, PyObject* path, bool create, long permissions) {
    const long flags = write_flags(os, create);
    Ref flag_bits = flags < 0 ? Ref() : Ref::steal(PyLong_FromLong(flags));
    Ref mode = flag_bits ? Ref::steal(PyLong_FromLong(permissions)) : Ref();
    return mode ? call_method(os, state().attr_open, path, flag_bits.get(), mode.get()) : Ref();
}

int copy_into(PyObject* os, PyObject* source, PyObject* destination, bool create) {
    const ModuleState& s = state();
    Ref io = Ref::steal(PyImport_Import(s.mod_io));
    Ref reader = io ? call_method(io.get(), s.attr_FileIO, source) : Ref();
    Ref fd = reader ? open_for_writing(os, destination, create, 0666) : Ref();
    int result = fd ? copy_bytes(os, reader.get(), fd.get()) : -1;

    // Both files are closed whatever happened; the first error is the one
    // reported.
    auto close = [&result](auto&& closing) {
        if (result < 0) {
            SavedError first;
            closing();
        } else if (!closing()) {
            result = -1;
        }
    };
    if (fd) {
        close([&] { return static_cast<bool>(call_method(os, s.attr_close, fd.get())); });
    }
    if (reader) {
        close([&] { return static_cast<bool>(call_method(reader.get(), s.attr_close)); });
    }
    if (result < 0 && create && fd) {  // a file this call made, and nobody else's
        SavedError first;
        call_method(os, s.attr_unlink, destination);
    }
    return result;
}

}  // namespace sftp::session
