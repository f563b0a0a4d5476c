#include "params/pairs.hpp"

#include "calls.hpp"
#include "state.hpp"

namespace sftp::params {

int PairWalker::start(PyObject* table) {
    if (PyDict_CheckExact(table)) {
        dict_ = Ref::borrow(table);
        size_ = PyDict_GET_SIZE(table);
        return 0;
    }
    Ref items = call_method(table, state().attr_items);
    if (!items) {
        return -1;
    }
    iterator_ = Ref::steal(PyObject_GetIter(items.get()));
    return iterator_ ? 0 : -1;
}

int PairWalker::next(Ref& key, Ref& value) {
    if (dict_) {
        // The loop body runs Python code that may change the table.
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_.get(), &position_, &k, &v)) {
            return 0;
        }
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return 1;
    }
    Ref item = Ref::steal(PyIter_Next(iterator_.get()));
    if (!item) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return unpack_pair(item.get(), key, value) < 0 ? -1 : 1;
}

int unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t size = Py_SIZE(item);
        if (size == 2) {
            PyObject* const* items = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0)
                                                              : &PyList_GET_ITEM(item, 0);
            first = Ref::borrow(items[0]);
            second = Ref::borrow(items[1]);
            return 0;
        }
        if (size < 2) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        } else {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
        }
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace sftp::params
