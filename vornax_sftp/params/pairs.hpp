// Walking `table.items()` as (key, value) pairs, as a Python for loop with
// tuple unpacking does: an exact dict is walked directly, anything else has
// its items() called and the result iterated.  Failures throw PythonError.
#pragma once

#include "ref.hpp"

namespace sftp::params {

class PairWalker {
public:
    // Starts the walk.
    void start(PyObject* table);
    // True with key and value set, false at the end.
    bool next(Ref& key, Ref& value);

private:
    Ref dict_;          // the dict walked directly, or empty
    Ref iterator_;      // the iterator over items(), or empty
    Py_ssize_t position_ = 0;
    Py_ssize_t size_ = 0;
};

// a, b = item
void unpack_pair(PyObject* item, Ref& first, Ref& second);

}  // namespace sftp::params
