// Small wrappers over the C API, returning owned references.  The forms in `py` return their value
// or throw PythonError; those in `py::nothrow` answer an empty Ref (or false) with the exception
// set, for a failure that is a routine answer (a throw costs more than the call).
#pragma once

#include <initializer_list>
#include <optional>
#include <type_traits>

#include "errors.hpp"

namespace sftp::py {

namespace nothrow {

inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// callable(args...), positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    // One spare slot in front lets the callee prepend `self` in place.
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(values..., **dict(zip(kwnames, values))): keyword arguments only.
template <typename... Args>
Ref call_keywords(PyObject* callable, PyObject* kwnames, Args... values) {
    PyObject* stack[] = {nullptr, values...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(args...), the look-up right before the call as in Python (so arguments come evaluated);
// a plain function on the type is called without a bound method.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A step in the idiom, for a caller that looks at its failure: its Ref, bool or true for nothing;
// empty or false with the exception set.
template <typename Step>
auto step(Step&& body) {
    using Result = decltype(body());
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
            return true;
        } else {
            return body();
        }
    } catch (const PythonError&) {
        if constexpr (std::is_void_v<Result>) {
            return false;
        } else {
            return Result();
        }
    }
}

}  // namespace nothrow

// A new reference from the C API, or PythonError when it is null.
inline Ref owned(PyObject* fresh) {
    if (fresh == nullptr) {
        throw_python_error();
    }
    return Ref::steal(fresh);
}

// The answer of a C-API call that returns -1 on an error (0 and 1 are answers, as of
// PyObject_IsTrue), or PythonError.
inline int checked(int answer) {
    if (answer < 0) {
        throw_python_error();
    }
    return answer;
}

inline Ref attr(PyObject* obj, PyObject* name) { return owned(PyObject_GetAttr(obj, name)); }

// obj.<name>, or an empty Ref where obj has no such attribute.
inline Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    checked(PyObject_GetOptionalAttr(obj, name, &value));
    return Ref::steal(value);
}

inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    checked(PyObject_SetAttr(obj, name, value));
}

inline void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    checked(PyDict_SetItem(dict, key, value));
}

inline void append(PyObject* list, PyObject* item) { checked(PyList_Append(list, item)); }

inline bool truth(PyObject* value) { return checked(PyObject_IsTrue(value)) != 0; }

// `item in container`
inline bool contains(PyObject* container, PyObject* item) {
    return checked(PySequence_Contains(container, item)) != 0;
}

// a == b
inline bool equal(PyObject* a, PyObject* b) { return checked(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

inline Ref number(long long value) { return owned(PyLong_FromLongLong(value)); }

// The answer of a C-API call that answers -1 with an error set (PyLong_AsLongLong, PyFloat_AsDouble,
// ...), or PythonError.
template <typename T>
T converted(T answer) {
    if (answer == static_cast<T>(-1) && PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
    return answer;
}

template <typename... Args>
inline Ref call(PyObject* callable, Args... args) {
    return owned(nothrow::call(callable, args...).release());
}

template <typename... Args>
inline Ref call_keywords(PyObject* callable, PyObject* kwnames, Args... values) {
    return owned(nothrow::call_keywords(callable, kwnames, values...).release());
}

template <typename... Args>
inline Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    return owned(nothrow::call_method(obj, name, args...).release());
}

template <typename... Args>
inline Ref call_attr_method(PyObject* obj, PyObject* attr_name, PyObject* name, Args... args) {
    Ref target = attr(obj, attr_name);
    return call_method(target.get(), name, args...);
}

// An error expected where it may happen: the exception set, when it is an instance of one of
// `types`, is cleared; any other is thrown.
inline void clear_expected(std::initializer_list<PyObject*> types) {
    for (PyObject* type : types) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return;
        }
    }
    throw_python_error();
}

// A value or none: a reference answers an empty Ref (std::optional's destructor is noexcept, and
// dropping a reference can run Python code), a step that answers nothing true or false.
template <typename T>
using Maybe = std::conditional_t<std::is_void_v<T>, bool,
                                 std::conditional_t<std::is_same_v<T, Ref>, Ref, std::optional<T>>>;

// `step()`, or no value when it raised one of the expected errors `types`.
template <typename Step>
auto catching(std::initializer_list<PyObject*> types, Step&& step) -> Maybe<decltype(step())> {
    try {
        if constexpr (std::is_void_v<decltype(step())>) {
            step();
            return true;
        } else {
            return step();
        }
    } catch (const PythonError&) {
        clear_expected(types);
    }
    return {};
}

}  // namespace sftp::py
