// Small wrappers over the call and attribute protocols, returning owned
// references.  An empty Ref means a Python exception is set.
#pragma once

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

}  // namespace sftp
