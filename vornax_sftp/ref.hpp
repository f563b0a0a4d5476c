// Owned references.
//
// `Ref` owns exactly one strong reference (or none).  It is move-only and has
// no implicit conversion to PyObject*: handing the pointer on is always
// spelled out, `get()` to lend it, `release()` to give the reference away.
// Borrowed pointers stay raw PyObject*.
//
// Errors: a failing operation sets a Python exception and throws
// PythonError (python_error.hpp), caught once where the interpreter called
// in (boundary.hpp).
//
// Dropping a reference can run Python code (a finaliser), and Python code
// that waits for the GIL during the interpreter's finalisation ends its
// daemon thread by an unwinding thread exit (glibc).  That unwinding must
// pass through every frame, so nothing that drops a reference is noexcept:
// not the destructor, not the move assignment (a noexcept frame would make
// the C++ runtime call std::terminate).  Handles destroyed by that
// unwinding find no thread state, and leaking is then the only safe answer.
#pragma once

#include <Python.h>

#include <utility>

namespace sftp {

// False while a thread is being ended without its thread state.
inline bool python_reachable() noexcept {
    return PyThreadState_GetUnchecked() != nullptr;
}

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference, which may be nullptr (an error result).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Makes a new reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept(false) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false) {
        if (p_ != nullptr && python_reachable()) {
            Py_DECREF(p_);
        }
    }

    PyObject* get() const noexcept { return p_; }
    // Gives the reference to the caller; the handle is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace sftp
