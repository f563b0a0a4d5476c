// Small wrappers over the C API, returning owned references.
//
// The forms in namespace `py` return their value or throw PythonError
// (python_error.hpp): the module's idiom.  The forms in namespace `sftp`
// itself answer an empty Ref (or -1) with the exception set; they remain
// only for the files not yet converted to the idiom, and for callers that
// must look at an empty result: cleanup that goes on whatever happens, and
// destructors, which never throw.
#pragma once

#include <initializer_list>
#include <optional>

#include "python_error.hpp"
#include "ref.hpp"

namespace sftp {

inline Ref get_attr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.<name> into `found`: 1 when found; 0, `found` empty and no exception
// set, where obj has no such attribute (a function the platform lacks); -1
// when the look-up raised anything else.
inline int get_optional_attr(PyObject* obj, PyObject* name, Ref& found) {
    PyObject* value = nullptr;
    const int got = PyObject_GetOptionalAttr(obj, name, &value);
    found = Ref::steal(value);
    return got;
}

inline Ref number(long long value) {
    return Ref::steal(PyLong_FromLongLong(value));
}

// callable(args...), positional arguments only.
template <typename... Args>
inline Ref call(PyObject* callable, Args... args) {
    // One spare slot in front lets the callee prepend `self` in place.
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(values..., **dict(zip(kwnames, values))): keyword arguments only.
template <typename... Args>
inline Ref call_keywords(PyObject* callable, PyObject* kwnames, Args... values) {
    PyObject* stack[] = {nullptr, values...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(args...).  Only for calls whose arguments are already evaluated:
// the lookup then happens right before the call, as in Python code, and a
// plain function found on the type is called without a bound method.
template <typename... Args>
inline Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.attr.name(args...): the attribute is read afresh at each call.
template <typename... Args>
inline Ref call_attr_method(PyObject* obj, PyObject* attr, PyObject* name, Args... args) {
    Ref target = get_attr(obj, attr);
    if (!target) {
        return target;
    }
    return call_method(target.get(), name, args...);
}

namespace py {

// A new reference from the C API, or PythonError when it is null.
inline Ref owned(PyObject* fresh) {
    if (fresh == nullptr) {
        throw_python_error();
    }
    return Ref::steal(fresh);
}

// The answer of a C-API call that returns -1 on an error (0 and 1 are
// answers, as of PyObject_IsTrue), or PythonError.
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

// The answer of a C-API conversion to double (PyFloat_AsDouble,
// PyLong_AsDouble), or PythonError.
inline double checked_double(double answer) {
    if (answer == -1.0 && PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
    return answer;
}

template <typename... Args>
inline Ref call(PyObject* callable, Args... args) {
    return owned(sftp::call(callable, args...).release());
}

template <typename... Args>
inline Ref call_keywords(PyObject* callable, PyObject* kwnames, Args... values) {
    return owned(sftp::call_keywords(callable, kwnames, values...).release());
}

template <typename... Args>
inline Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    return owned(sftp::call_method(obj, name, args...).release());
}

template <typename... Args>
inline Ref call_attr_method(PyObject* obj, PyObject* attr_name, PyObject* name, Args... args) {
    Ref target = attr(obj, attr_name);
    return call_method(target.get(), name, args...);
}

// An error expected where it may happen: the exception set, when it is an
// instance of one of `types`, is cleared; any other is thrown.
inline void clear_expected(std::initializer_list<PyObject*> types) {
    for (PyObject* type : types) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return;
        }
    }
    throw_python_error();
}

// The same around a step: `step()`, or no value when it raised an expected
// error.
template <typename Step>
auto catching(std::initializer_list<PyObject*> types, Step&& step) -> std::optional<decltype(step())> {
    try {
        return step();
    } catch (const PythonError&) {
        clear_expected(types);
    }
    return std::nullopt;
}

}  // namespace py

// The non-throwing form of a step written in the idiom, for a caller that
// must look at an empty result: `step()`, or an empty Ref with the
// exception set.
template <typename Step>
Ref empty_on_error(Step&& step) {
    try {
        return step();
    } catch (const PythonError&) {
        return Ref();
    }
}

}  // namespace sftp
