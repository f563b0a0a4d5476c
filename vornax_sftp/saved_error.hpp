// Keeping the exception being raised while cleanup code runs.
#pragma once

#include <Python.h>

namespace sftp {

// Takes the pending exception (if any) aside on construction and sets it
// again on destruction, so that the cleanup in between may call into
// Python freely: whatever the cleanup raises is dropped in favour of the
// exception saved.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }  // clears anything raised meanwhile
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* exc_;
};

}  // namespace sftp
