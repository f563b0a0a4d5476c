#include "params/pairs.hpp"

#include "calls.hpp"
#include "state.hpp"

namespace sftp::params {

namespace {

// next(iterator), or an empty Ref at its end.
Ref next_item(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) {
        throw_python_error();
    }
    return item;
}

}  // namespace

void PairWalker::start(PyObject* table) {
    if (PyDict_CheckExact(table)) {
        dict_ = Ref::borrow(table);
        size_ = PyDict_GET_SIZE(table);
        return;
    }
    Ref items = py::call_method(table, state().attr_items);
    iterator_ = py::owned(PyObject_GetIter(items.get()));
}

bool PairWalker::next(Ref& key, Ref& value) {
    if (dict_) {
        // The loop body runs Python code that may change the table.
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_.get(), &position_, &k, &v)) {
            return false;
        }
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }
    Ref item = next_item(iterator_.get());
    if (!item) {
        return false;
    }
    unpack_pair(item.get(), key, value);
    return true;
}

void unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t size = Py_SIZE(item);
        if (size < 2) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
            throw_python_error();
        }
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
            throw_python_error();
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        throw_python_error();
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = next_item(iterator.get());
        if (!*targets[i]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_python_error();
        }
    }
    if (next_item(iterator.get())) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
}

}  // namespace sftp::params
