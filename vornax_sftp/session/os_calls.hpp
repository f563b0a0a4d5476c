// Calling the os module from C++: owned descriptors, checked answers (a patched os must not crash
// us), expected errnos.  Every function here throws PythonError, but for the cleanup that says
// it does not.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <initializer_list>

#include "module.hpp"

namespace sftp::session {

// One descriptor opened through the os module (a Python int): closed through os.close on every
// path, by close() or at the latest when its owner goes.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() noexcept(false) {
        if (fd_ && python_reachable()) {
            SavedError pending;  // an error of the close is dropped, an interrupt raised
            discard();
        }
    }
    void own(PyObject* os, Ref fd) {
        os_ = os;
        fd_ = std::move(fd);
    }
    PyObject* get() const noexcept { return fd_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(fd_); }
    // Closing reports a write the file system could not complete (NFS, for one).
    void close() {
        if (!discard()) {
            throw_python_error();
        }
    }
    // The same for cleanup: false with the close's error set.
    bool discard() {
        Ref fd = std::move(fd_);
        if (!fd) {
            return true;
        }
        Ref closed = py::nothrow::call_method(os_, state().attr_close, fd.get());
        return static_cast<bool>(closed);
    }

private:
    PyObject* os_ = nullptr;  // borrowed: the os module, which the caller holds longer
    Ref fd_;
};

// An expected error: the pending OSError with one of `codes` is cleared; any other is thrown.
inline void clear_errno(std::initializer_list<long> codes) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        throw_python_error();
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref code = py::nothrow::attr(exc.get(), state().attr_errno);
    long value = 0;
    if (code && PyLong_Check(code.get())) {
        value = PyLong_AsLong(code.get());
    }
    PyErr_Clear();  // whatever the look-up raised: the OSError is the one reported
    if (std::find(codes.begin(), codes.end(), value) == codes.end()) {
        PyErr_SetRaisedException(exc.release());
        throw_python_error();
    }
}

// `value` when it is an int of at least 0: a patched os must not crash us.
inline long long as_count(PyObject* value, const char* what) {
    if (!PyLong_Check(value)) {
        raise_format(PyExc_TypeError, "%s returned %.100s, not int", what, Py_TYPE(value)->tp_name);
    }
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) {
        throw_python_error();
    }
    if (count < 0) {
        raise_format(PyExc_ValueError, "%s returned %lld", what, count);
    }
    return count;
}

// The C descriptor of an os.open result.
inline int as_descriptor(PyObject* fd) {
    const int number = PyLong_AsInt(fd);
    if (number == -1 && PyErr_Occurred()) {
        throw_python_error();
    }
    return number;
}

// obj.<method>(*arguments), the arguments built by Py_BuildValue from `format` (a tuple): most of
// them numbers made here.
inline Ref call_built(PyObject* obj, PyObject* method, const char* format, ...) {
    Ref function = py::attr(obj, method);
    va_list values;
    va_start(values, format);
    PyObject* built = Py_VaBuildValue(format, values);
    va_end(values);
    Ref arguments = py::owned(built);
    return py::owned(PyObject_CallObject(function.get(), arguments.get()));
}

inline long long stat_field(PyObject* info, PyObject* field, const char* what) {
    Ref value = py::attr(info, field);
    return as_count(value.get(), what);
}

inline Ref fstat(PyObject* os, PyObject* fd) { return py::call_method(os, state().attr_fstat, fd); }

inline bool same_file(PyObject* os, PyObject* one, PyObject* other) {
    Ref same = py::call_attr_method(os, state().attr_path, state().attr_samestat, one, other);
    return py::truth(same.get());
}

}  // namespace sftp::session
