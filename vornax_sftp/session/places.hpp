// Pinned directories: a directory reached through its descriptor once opened (Windows, which opens
// no directory: through its text), whatever happens to the names on its path meanwhile, and the os
// calls made in one.  Every function here throws PythonError.
#pragma once

#include "session/os_calls.hpp"

namespace sftp::session {

// The file type bits of st_mode, as os.stat gives them on every platform.
constexpr long long kFileType = 0170000;
constexpr long long kRegular = 0100000;
constexpr long long kDirectory = 0040000;
constexpr long long kLink = 0120000;

struct Place {
    Ref text;  // absolute, made when pinned: the path a client may be given for a name here
    Descriptor fd;
};

// os.<method>(name, *args, <keyword>=the place's descriptor), or where it has none (Windows),
// os.<method>(the name joined to its text, *args).
template <typename... Args>
Ref call_in(PyObject* os, const Place& place, PyObject* keyword, PyObject* method, PyObject* name, Args... args) {
    if (!place.fd) {
        Ref path = py::call_attr_method(os, state().attr_path, state().attr_join, place.text.get(), name);
        return py::call_method(os, method, path.get(), args...);
    }
    Ref function = py::attr(os, method);
    Ref names = py::owned(PyTuple_Pack(1, keyword));
    PyObject* stack[] = {nullptr, name, args..., place.fd.get()};
    const size_t positional = 1 + sizeof...(Args);
    return py::owned(
        PyObject_Vectorcall(function.get(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

// os.open(path, flags, mode), in `place` where one is given; the descriptor into `owner`.
void open_file(PyObject* os, Descriptor& owner, const Place* place, PyObject* path, long flags, long mode);

// Pins the directory `text` names, its absolute text fixed then, so that a chdir meanwhile moves
// nothing.  Where no directory can be opened (Windows), it is held by that text and must be a
// directory now, so that a doomed download sends no request.
void pin(PyObject* os, Place& place, PyObject* text);

// Whether a name made in `place` stays the caller's: no other user may rename or remove it there
// (the caller or root owns it, and it is sticky or nobody else may write it), and the directory
// lets it go again (not append-only or immutable).  Windows: only in the caller's own
// `temporary_directory` (docs/downloads.md says why).
bool keeps_names_safe(const Place& place, bool temporary_directory);

}  // namespace sftp::session
