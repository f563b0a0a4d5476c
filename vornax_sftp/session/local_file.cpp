// The local side of a download to a path: the client writes a file of this call's, whose bytes become
// the destination only once complete (docs/downloads.md).  Every os call goes through the os module
// (a patched os must not crash us), in a directory pinned by its descriptor where there is one.
#include "session/session.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <initializer_list>
#include <optional>

#ifndef EDQUOT
#define EDQUOT ENOSPC  // no disk quotas (Windows)
#endif

namespace sftp::session {

namespace {

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
        return !fd || py::nothrow::call_method(os_, state().attr_close, fd.get());
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
    const long long count = py::converted(PyLong_AsLongLong(value));
    if (count < 0) {
        raise_format(PyExc_ValueError, "%s returned %lld", what, count);
    }
    return count;
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

#ifdef _WIN32
constexpr long kDirectoryFlags = 0;  // no descriptor for a directory: it is reached by its text
#elif defined(O_PATH)  // no read permission needed on the directory, as for get's own open
constexpr long kDirectoryFlags = O_PATH | O_DIRECTORY;
#else
constexpr long kDirectoryFlags = O_RDONLY | O_DIRECTORY;
#endif

// os.open(path, flags, mode), in `place` where one is given; the descriptor into `owner`.
void open_file(PyObject* os, Descriptor& owner, const Place* place, PyObject* path, long flags, long mode) {
    Ref fd;
    if (place == nullptr) {
        fd = call_built(os, state().attr_open, "(Oll)", path, flags, mode);
    } else {
        Ref how = py::number(flags);
        Ref permissions = py::number(mode);
        fd = call_in(os, *place, state().key_dir_fd, state().attr_open, path, how.get(), permissions.get());
    }
    as_count(fd.get(), "os.open");
    owner.own(os, std::move(fd));
}

// Pins the directory `text` names, its absolute text fixed then, so that a chdir meanwhile moves
// nothing.  Where no directory can be opened (Windows), it is held by that text and must be a
// directory now, so that a doomed download sends no request.
void pin(PyObject* os, Place& place, PyObject* text) {
    const ModuleState& s = state();
    if constexpr (kDirectoryFlags != 0) {
        open_file(os, place.fd, nullptr, text, kDirectoryFlags, 0);
        place.text = Ref::borrow(text);
        // Not normalised: the text must reach what the kernel reached (`..` after a link).
        if (!PyUnicode_Check(text) || PyUnicode_GET_LENGTH(text) == 0 || PyUnicode_READ_CHAR(text, 0) != '/') {
            Ref here = py::call_method(os, s.attr_getcwd);
            place.text = py::call_attr_method(os, s.attr_path, s.attr_join, here.get(), text);
        }
        return;
    }
    place.text = py::call_attr_method(os, s.attr_path, s.attr_abspath, text);
    Ref info = py::call_method(os, s.attr_stat, place.text.get());
    if ((stat_field(info.get(), s.attr_st_mode, "os.stat().st_mode") & kFileType) != kDirectory) {
        raise_errno(ENOTDIR, place.text.get());
    }
}

// Whether a name made in `place` stays the caller's: no other user may rename or remove it there
// (the caller or root owns it, and it is sticky or nobody else may write it), and the directory
// lets it go again (not append-only or immutable).  Windows: only in the caller's own
// `temporary_directory` (docs/downloads.md says why).
bool keeps_names_safe([[maybe_unused]] const Place& place, [[maybe_unused]] bool temporary_directory) {
#ifdef _WIN32
    return temporary_directory;
#else
    const int fd = PyLong_AsInt(place.fd.get());
    if (fd < 0) {
        PyErr_Clear();
        return false;
    }
#if defined(STATX_ATTR_APPEND)  // Linux, glibc 2.28 or later: statx, as a wheel for that glibc may call
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &info) != 0) {
        return false;
    }
    if ((info.stx_attributes & info.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0) {
        return false;
    }
    const unsigned mode = info.stx_mode;
    const bool owned = info.stx_uid == geteuid() || info.stx_uid == 0;
#else
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    const unsigned mode = info.st_mode;
    const bool owned = info.st_uid == geteuid() || info.st_uid == 0;
#endif
    // The owner of a directory may rename any entry in it, sticky or not.
    return owned && ((mode & S_ISVTX) != 0 || (mode & (S_IWGRP | S_IWOTH)) == 0);
#endif
}

// The client's own open for writing, minus truncation (os.open passes the flags on).
#ifdef _WIN32
constexpr long kOpenFlags = _O_WRONLY | _O_CREAT | _O_BINARY;
constexpr long kNonBlocking = 0;
constexpr long kNoFollow = 0;
constexpr long kCreate = _O_CREAT;
constexpr long kExclusive = _O_EXCL;
constexpr long kNamedFlags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY;
#else
constexpr long kOpenFlags = O_WRONLY | O_CREAT | O_NONBLOCK;
constexpr long kNonBlocking = O_NONBLOCK;
constexpr long kNoFollow = O_NOFOLLOW;
constexpr long kCreate = O_CREAT;
constexpr long kExclusive = O_EXCL;
constexpr long kNamedFlags = O_RDWR | O_CREAT | O_EXCL;
#endif
#ifdef O_TMPFILE  // Linux: a file with no name, which linkat may give one
constexpr long kUnnamedFlags = O_TMPFILE | O_RDWR;
#else
constexpr long kUnnamedFlags = 0;
#endif
constexpr long kPrivateMode = 0600;
constexpr long kOwnerWrite = 0200;
constexpr long kNewMode = 0666;  // less the umask (or as the default ACL says), as for get's own file
constexpr long long kChunk = 8 << 20;
constexpr double kLockPause = 0.01;  // seconds between two tries for a lock held elsewhere

struct Download {
    Ref os;
    Ref text;                 // the caller's path text
    Place home;               // the destination's directory
    Ref name;                 // the destination's name in it
    Descriptor fd;            // the destination, open for writing (none while a new one has no name)
    Place spare;              // the temporary directory, where the file is made there
    Place* place = nullptr;   // the directory of the file the client writes
    Descriptor temporary_fd;  // that file
    Ref made;                 // its fstat when made: its mode, and which file it is
    Ref temporary;            // the path the client is given for it
    Ref temporary_name;       // its name in *place, while it has one this call must remove
    bool by_name = false;     // the client reaches it by that name (no /proc)
    bool follow = false;      // the destination is a link that names nothing yet, followed as get would
    bool linkable = false;    // a file with no name, which may become the destination
    std::optional<long long> mode;  // the mode it is to have once linked, where it differs meanwhile
    Ref copy;                 // os.copy_file_range, until it cannot copy between these two files
};

// Opens the destination for writing (by the caller's text, or by its name in its directory), so
// that the kernel judges it as for `get`.
void open_for_writing(Download& d, const Place* place, PyObject* path, long flags = kOpenFlags) {
    if constexpr (kNonBlocking != 0) {
        const bool opened = py::catching({PyExc_BlockingIOError}, [&] {
            open_file(d.os.get(), d.fd, place, path, flags, kNewMode);
        });
        if (opened) {
            return;
        }
        // A lease another process holds is being broken: wait for it as the client's own open
        // would (os.open releases the GIL, and a Ctrl-C ends the wait).
    }
    open_file(d.os.get(), d.fd, place, path, flags & ~kNonBlocking, kNewMode);
}

// Raises the pending error again, an OSError naming the caller's path, as get's own open() names it
// (not the directory or the temporary file the module met it on).
[[noreturn]] void rethrow_naming(Download& d) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_OSError)) {
        py::checked(PyObject_SetAttrString(error.get(), "filename", d.text.get()));
    }
    PyErr_SetRaisedException(error.release());
    throw_python_error();
}

// The destination's directory, pinned, and its name there.  A name that ends in a slash names a
// directory, which a file cannot be.
void pin_home(Download& d) {
    const ModuleState& s = state();
    Ref parts = py::call_attr_method(d.os.get(), s.attr_path, s.attr_split, d.text.get());
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
        raise(PyExc_TypeError, "os.path.split returned no pair");
    }
    Ref head = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
    d.name = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 1));
    if (!py::truth(d.name.get())) {
        raise_errno(py::truth(d.text.get()) ? EISDIR : ENOENT, d.text.get());  // as open() answers
    }
    if (!py::truth(head.get())) {
        head = Ref::borrow(s.text_dot);
    }
    try {
        pin(d.os.get(), d.home, head.get());
    } catch (const PythonError&) {
        rethrow_naming(d);
    }
}

// True: the destination is a regular file open here, or nothing, its directory pinned; false:
// the client's own open should judge it.
bool open_destination(Download& d, PyObject* destination) {
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    if (!fspath) {
        py::clear_expected({PyExc_TypeError});  // no path at all: the client's own call says what is wrong
        return false;
    }
    d.os = py::owned(PyImport_Import(s.mod_os));
    d.text = py::call_method(d.os.get(), s.attr_fsdecode, fspath.get());
    // A new destination is the common case: its FileNotFoundError is looked at, not thrown.  A link
    // is judged by what it names.
    Ref info = py::nothrow::call_method(d.os.get(), s.attr_lstat, d.text.get());
    if (info && (stat_field(info.get(), s.attr_st_mode, "os.lstat().st_mode") & kFileType) == kLink) {
        info = py::nothrow::call_method(d.os.get(), s.attr_stat, d.text.get());
        d.follow = !info;
    }
    if (!info) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            py::clear_expected({PyExc_OSError, PyExc_ValueError});  // the client's own open says what is wrong
            return false;
        }
        PyErr_Clear();
        pin_home(d);
        return true;
    }
    if ((stat_field(info.get(), s.attr_st_mode, "os.stat().st_mode") & kFileType) != kRegular) {
        return false;  // a FIFO, a device, a directory: the client's own open decides
    }
    open_for_writing(d, nullptr, d.text.get());
    pin_home(d);
    return true;
}

// Whether the client's reopen of /proc/self/fd/N reaches the very file just made as N; not where
// there is no such directory (Windows, a Linux without /proc).
bool proc_reaches(Download& d) {
    const ModuleState& s = state();
    d.made = fstat(d.os.get(), d.temporary_fd.get());
    Ref link = py::owned(PyUnicode_FromFormat("/proc/self/fd/%S", d.temporary_fd.get()));
    Ref through = py::nothrow::call_method(d.os.get(), s.attr_stat, link.get());
    if (!through) {
        py::clear_expected({PyExc_OSError, PyExc_ValueError});
        return false;
    }
    if (!same_file(d.os.get(), through.get(), d.made.get())) {
        return false;
    }
    d.temporary = std::move(link);
    return true;
}

// A new `.sftp_main-<random>.part` (0600) in `place`, open from its creation.  The client reaches
// it through /proc where it can, the name then gone at once, else by its name.  False where the
// directory takes no such name.
bool make_named(Download& d, Place& place) {
    const ModuleState& s = state();
    if (!keeps_names_safe(place, &place == &d.spare)) {
        return false;
    }
    for (int tries = 1; !d.temporary_fd; ++tries) {
        Ref random = call_built(d.os.get(), s.attr_urandom, "(i)", 8);
        Ref hex = py::call_method(random.get(), s.attr_hex);
        Ref name = py::owned(PyUnicode_FromFormat(".sftp_main-%U.part", hex.get()));
        try {
            open_file(d.os.get(), d.temporary_fd, &place, name.get(), kNamedFlags, kPrivateMode);
            d.place = &place;
            d.temporary_name = std::move(name);
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || tries == 100) {
                py::clear_expected({PyExc_OSError});
                return false;
            }
            PyErr_Clear();  // a name taken: another
        }
    }
    if (!proc_reaches(d)) {
        d.temporary = py::call_attr_method(d.os.get(), s.attr_path, s.attr_join, place.text.get(), d.temporary_name.get());
        d.by_name = true;
        return true;
    }
    const bool gone = py::nothrow::step([&] { call_in(d.os.get(), place, s.key_dir_fd, s.attr_unlink, d.temporary_name.get()); });
    if (!gone && !cleanup_may_go_on()) {
        throw_python_error();  // an interrupt
    }
    if (gone) {
        d.temporary_name = Ref();  // else a name that cannot go stays this call's to remove
    }
    return true;
}

// A file the client may write, as get's own creation would make it; one it cannot (a umask that
// takes the owner's write bit) is made writable meanwhile.
void writable_meanwhile(Download& d) {
    const long long mode = stat_field(d.made.get(), state().attr_st_mode, "os.fstat().st_mode");
    if ((mode & kOwnerWrite) == 0) {
        call_built(d.os.get(), state().attr_fchmod, "(OL)", d.temporary_fd.get(), (mode & 07777) | kOwnerWrite);
        d.mode = mode & 07777;
    }
}

// The file the client writes, made in `place`: one with no name where O_TMPFILE and /proc serve,
// else a named one where its name is safe.  `refusal_ends`: a refusal of the file with no name
// (no permission, a read-only file system) is the download's error, as for get's own creation.
// False: not made here.
bool make_in(Download& d, Place& place, bool refusal_ends) {
    if constexpr (kUnnamedFlags != 0) {
        try {
            open_file(d.os.get(), d.temporary_fd, &place, state().text_dot, kUnnamedFlags, kNewMode);
        } catch (const PythonError&) {
            try {
                clear_errno({EOPNOTSUPP, EISDIR, EINVAL});  // no O_TMPFILE on this file system
            } catch (const PythonError&) {
                if (refusal_ends) {
                    rethrow_naming(d);
                }
                py::clear_expected({PyExc_OSError});
                return false;
            }
        }
        if (d.temporary_fd) {
            if (proc_reaches(d)) {
                d.place = &place;
                d.linkable = &place == &d.home;
                return true;
            }
            d.temporary_fd.close();
        }
    }
    return make_named(d, place);
}

// The file the client writes: in the destination's directory, else in the temporary directory
// (imported only then).  False: neither takes one (the client then writes the destination itself).
bool make_temporary(Download& d) {
    if (make_in(d, d.home, !d.fd)) {
        return true;
    }
    Ref tempfile = py::owned(PyImport_Import(state().mod_tempfile));
    const bool pinned = py::catching({PyExc_OSError}, [&] {  // no usable temporary directory
        Ref elsewhere = py::call_method(tempfile.get(), state().attr_gettempdir);
        pin(d.os.get(), d.spare, elsewhere.get());
    });
    if (!pinned) {
        return false;
    }
    return make_in(d, d.spare, false);
}

// An exclusive flock on the destination, unless its file system takes no lock (NFS without lockd,
// for one); held elsewhere, BlockingIOError.
void try_lock(PyObject* fcntl, Download& d, PyObject* flags) {
    Ref locked = py::nothrow::call_method(fcntl, state().attr_flock, d.fd.get(), flags);
    if (!locked) {
        clear_errno({ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL});
    }
}

// The lock, waited for in full (the wait releases the GIL, and a Ctrl-C ends it) or, with a
// `timeout`, until a monotonic deadline.
void lock(Download& d, PyObject* timeout) {
    const ModuleState& s = state();
    Ref fcntl = Ref::steal(PyImport_Import(s.mod_fcntl));
    if (!fcntl) {
        py::clear_expected({PyExc_ImportError});  // Windows: no lock (docs/downloads.md)
        return;
    }
    Ref flags = py::attr(fcntl.get(), s.attr_LOCK_EX);
    if (timeout == Py_None) {
        try_lock(fcntl.get(), d, flags.get());
        return;
    }
    Ref no_wait = py::attr(fcntl.get(), s.attr_LOCK_NB);
    flags = py::owned(PyNumber_Or(flags.get(), no_wait.get()));
    const double seconds = py::converted(PyFloat_AsDouble(timeout));
    Ref time = py::owned(PyImport_Import(s.mod_time));
    PyTime_t start = 0;
    py::checked(PyTime_Monotonic(&start));
    for (;;) {
        const bool locked = py::catching({PyExc_BlockingIOError}, [&] { try_lock(fcntl.get(), d, flags.get()); });
        if (locked) {
            return;
        }
        PyTime_t now = 0;
        py::checked(PyTime_Monotonic(&now));
        const double left = seconds - PyTime_AsSecondsDouble(now - start);
        if (left <= 0) {
            raise_errno(EWOULDBLOCK, d.text.get());  // held elsewhere all that time
        }
        call_built(time.get(), s.attr_sleep, "(d)", std::min(kLockPause, left));
    }
}

// Raises unless `path` (a name in `place`, else a path) names the file whose fstat is `own`: a
// file renamed away or replaced meanwhile is no success.
void check_names(Download& d, const Place* place, PyObject* path, PyObject* own) {
    const ModuleState& s = state();
    const auto found = py::catching({PyExc_OSError}, [&] {
        if (place == nullptr) {
            return py::call_method(d.os.get(), s.attr_stat, path);
        }
        return call_in(d.os.get(), *place, s.key_dir_fd, s.attr_stat, path);
    });
    if (!found || !same_file(d.os.get(), found.get(), own)) {
        raise_format(PyExc_FileNotFoundError, "%R no longer names the file the download wrote", place ? d.text.get() : path);
    }
}

// A new destination, once the bytes are all there: made under its name, or, where a name turned up
// meanwhile, the file there if it is a regular one, as an existing destination.  Only a link there
// from the start is followed: another user may have put one there since.
void open_new(Download& d) {
    if (!d.linkable) {  // named, never linked in: made here unless the name turned up
        const bool made = py::catching({PyExc_FileExistsError}, [&] {
            open_for_writing(d, &d.home, d.name.get(), kOpenFlags | kExclusive);
        });
        if (made) {
            return;
        }
    }
    open_for_writing(d, &d.home, d.name.get(), d.follow ? kOpenFlags : (kOpenFlags & ~kCreate) | kNoFollow);
    Ref info = fstat(d.os.get(), d.fd.get());
    if ((stat_field(info.get(), state().attr_st_mode, "os.fstat().st_mode") & kFileType) != kRegular) {
        raise_errno(EEXIST, d.text.get());
    }
}

// Space for `size` bytes before old bytes change, the file's size left alone, so that a kill while
// the tail is written leaves the old size plus what was written.  Only "no room" fails: other
// errors mean no reservation here (a file system without it; Windows, macOS: none).
void reserve([[maybe_unused]] Download& d, [[maybe_unused]] long long size) {
#ifdef FALLOC_FL_KEEP_SIZE
    const int fd = py::converted(PyLong_AsInt(d.fd.get()));
    int failed = 0;
    int code = 0;
    Py_BEGIN_ALLOW_THREADS
    failed = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
    code = errno;
    Py_END_ALLOW_THREADS
    if (failed != 0 && (code == ENOSPC || code == EFBIG || code == EDQUOT)) {
        errno = code;
        PyErr_SetFromErrno(PyExc_OSError);
        throw_python_error();
    }
#endif
}

// Up to `count` bytes at `at` in the kernel (a reflink, or a copy there).  The count, 0 where
// the kernel cannot copy between these two files (read and write from then on).
long long copy_in_kernel(Download& d, long long at, long long count) {
    Ref copied = Ref::steal(PyObject_CallFunction(d.copy.get(), "OOLLL", d.temporary_fd.get(), d.fd.get(), count, at, at));
    if (!copied) {
        clear_errno({EXDEV, EINVAL, ENOSYS, EOPNOTSUPP});
        d.copy = Ref();
        return 0;
    }
    const long long n = as_count(copied.get(), "os.copy_file_range");
    if (n == 0) {
        d.copy = Ref();  // nothing copied before the end: a file system that copies nothing this way
    }
    return n;
}

// Up to `count` bytes at `at`, read and written.  The count, 0 at the end of the temporary file.
long long copy_by_reading(Download& d, long long at, long long count) {
    const ModuleState& s = state();
    call_built(d.os.get(), s.attr_lseek, "(OLi)", d.temporary_fd.get(), at, 0);  // SEEK_SET everywhere
    call_built(d.os.get(), s.attr_lseek, "(OLi)", d.fd.get(), at, 0);
    Ref bytes = call_built(d.os.get(), s.attr_read, "(OL)", d.temporary_fd.get(), count);
    if (!PyBytes_Check(bytes.get())) {
        raise_format(PyExc_TypeError, "os.read returned %.100s, not bytes", Py_TYPE(bytes.get())->tp_name);
    }
    if (PyBytes_GET_SIZE(bytes.get()) == 0) {
        return 0;
    }
    Ref wrote = py::call_method(d.os.get(), s.attr_write, d.fd.get(), bytes.get());
    return as_count(wrote.get(), "os.write");
}

// Bytes [start, end) of the temporary file into the destination, `done` counting them.  Where
// `stoppable`, a Ctrl-C takes effect between two chunks.
void copy_range(Download& d, long long start, long long end, long long& done, bool stoppable) {
    while (start + done < end) {
        if (stoppable) {
            py::checked(PyErr_CheckSignals());
        }
        const long long at = start + done;
        const long long count = std::min(kChunk, end - at);
        long long n = 0;
        if (d.copy) {
            n = copy_in_kernel(d, at, count);
        }
        if (n == 0) {
            n = copy_by_reading(d, at, count);
        }
        if (n == 0) {
            raise(PyExc_OSError, "the downloaded file ended early");
        }
        done += n;
    }
}

void cut(Download& d, long long size) { call_built(d.os.get(), state().attr_ftruncate, "(OL)", d.fd.get(), size); }

// The temporary file's `size` bytes into the destination, under the lock: the new tail past the
// old end first (a Ctrl-C between chunks cuts it off again), then the old part, so that until an
// old byte changes a failure leaves the file as it was.  The destination's fstat, under the lock.
Ref write_in(Download& d, long long size, PyObject* timeout) {
    lock(d, timeout);
    Ref info = fstat(d.os.get(), d.fd.get());
    const long long old_size = stat_field(info.get(), state().attr_st_size, "os.fstat().st_size");
    long long head = 0;  // old bytes overwritten
    try {
        reserve(d, size);
        d.copy = py::optional_attr(d.os.get(), state().attr_copy_file_range);
        long long tail = 0;
        copy_range(d, old_size, std::max(old_size, size), tail, true);
        copy_range(d, 0, std::min(old_size, size), head, false);
    } catch (const PythonError&) {
        if (head == 0) {
            SavedError failure;
            py::nothrow::step([&] { cut(d, old_size); });  // its error judged by `failure`
        }
        throw;
    }
    if (size < old_size) {
        cut(d, size);
    }
    return info;
}

// A new destination takes the finished file's name; false where the name exists by now (the
// bytes are then copied in as for an existing file).
bool link_in(Download& d) {
    const ModuleState& s = state();
    if (d.mode) {
        call_built(d.os.get(), s.attr_fchmod, "(OL)", d.temporary_fd.get(), *d.mode);
    }
    // os.link with a directory descriptor is linkat(), with AT_SYMLINK_FOLLOW: the file itself,
    // not the /proc link, gets the name.
    const bool linked = py::catching({PyExc_FileExistsError}, [&] {
        call_in(d.os.get(), d.home, s.key_dst_dir_fd, s.attr_link, d.temporary.get(), d.name.get());
    });
    if (linked) {
        check_names(d, &d.home, d.name.get(), d.made.get());
    }
    return linked;
}

// The client writes a file of this call's, whose bytes then become the destination; or, where no
// temporary file can be made, the destination itself.
void transfer(Download& d, PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    if (!make_temporary(d)) {
        py::call(getter, source, destination);
        d.fd.close();
        return;
    }
    writable_meanwhile(d);
    py::call(getter, source, d.temporary.get());
    if (d.by_name) {  // success means the client wrote this file, whatever happened to the name
        check_names(d, nullptr, d.temporary.get(), d.made.get());
    }
    if (!d.fd && d.linkable && link_in(d)) {
        return;
    }
    // Read before a new destination is made where it cannot be linked in (Windows), so that this
    // failure leaves nothing.
    Ref info = fstat(d.os.get(), d.temporary_fd.get());
    const long long size = stat_field(info.get(), state().attr_st_size, "os.fstat().st_size");
    if (!d.fd) {
        open_new(d);
    }
    Ref written = write_in(d, size, timeout);
    check_names(d, &d.home, d.name.get(), written.get());
    d.fd.close();
}

// Closes what this call opened and removes the name it made, every step whatever happens in
// another: an interrupt that arrives meanwhile is raised once all is done, the call's own error
// kept as its context.
void release(Download& d) {
    SavedError pending;
    HeldInterrupt held;
    d.temporary_fd.discard();  // first: Windows removes no open file
    held.after_step();
    if (d.temporary_name) {
        const ModuleState& s = state();
        py::nothrow::step([&] { call_in(d.os.get(), *d.place, s.key_dir_fd, s.attr_unlink, d.temporary_name.get()); });
        held.after_step();
    }
    for (Descriptor* fd : {&d.fd, &d.home.fd, &d.spare.fd}) {
        fd->discard();
        held.after_step();
    }
    held.raise_again();
}

}  // namespace

bool download_to(PyObject* getter, PyObject* source, PyObject* destination, PyObject* timeout) {
    Download d;
    const bool done = py::nothrow::step([&] {
        if (open_destination(d, destination)) {
            transfer(d, getter, source, destination, timeout);
        } else {
            py::call(getter, source, destination);
        }
    });
    release(d);
    return done && PyErr_Occurred() == nullptr;
}

}  // namespace sftp::session
