#include "session/local_file.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "calls.hpp"
#include "saved_error.hpp"
#include "session/copy_in.hpp"
#include "state.hpp"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace sftp::session {

namespace {

constexpr long kFileTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr long kSetIdBits = 06000;
constexpr long kPermissionBits = 07777;
constexpr int kNameAttempts = 100;
// Characters of the destination's name kept in a temporary name: at most
// 160 bytes in any encoding, so that with its suffix the name stays within
// the 255 bytes (or UTF-16 units) file systems allow.
constexpr Py_ssize_t kNameKept = 40;

std::uint64_t g_temporary_counter = 0;

// 0 after clearing a pending OSError, -1 when another exception is pending.
int ordinary_os_error() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// os.open(path, flags, mode), `flags` the named os constants or'ed
// together; names the platform lacks (O_BINARY off Windows, O_NONBLOCK on
// it) and null entries count as 0.
Ref open_file(PyObject* os, PyObject* path, std::initializer_list<PyObject*> flags, long mode) {
    long bits = 0;
    for (PyObject* name : flags) {
        PyObject* found = nullptr;
        const int present = name == nullptr ? 0 : PyObject_GetOptionalAttr(os, name, &found);
        Ref value = Ref::steal(found);
        const long flag = present > 0 ? PyLong_AsLong(value.get()) : 0;
        if (present < 0 || (flag == -1 && PyErr_Occurred())) {
            return Ref();
        }
        bits |= flag;
    }
    Ref flag_bits = Ref::steal(PyLong_FromLong(bits));
    Ref permissions = flag_bits ? Ref::steal(PyLong_FromLong(mode)) : Ref();
    return permissions ? call_method(os, state().attr_open, path, flag_bits.get(), permissions.get()) : Ref();
}

long long long_field(PyObject* info, PyObject* field) {
    Ref value = get_attr(info, field);
    return value ? PyLong_AsLongLong(value.get()) : -1;
}

// 1 when stat results `a` and `b` agree on all `fields`, 0 when not, -1 on
// error.
int same_fields(PyObject* a, PyObject* b, std::initializer_list<PyObject*> fields) {
    for (PyObject* field : fields) {
        Ref left = get_attr(a, field);
        Ref right = left ? get_attr(b, field) : Ref();
        const int same = right ? PyObject_RichCompareBool(left.get(), right.get(), Py_EQ) : -1;
        if (same <= 0) {
            return same;
        }
    }
    return 1;
}

// 1 when `directory` keeps every entry made in it (Linux's append-only or
// immutable flag), so that a temporary file there could never go again; 0
// when not, or when the platform cannot tell; -1 on error.  One statx call,
// which the os module does not offer.
int keeps_its_entries([[maybe_unused]] PyObject* directory) {
#if defined(__linux__)
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(directory));
    struct statx info {};
    if (!encoded || statx(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), 0, 0, &info) != 0) {
        return encoded ? 0 : -1;  // an unreadable directory: the temporary file tells
    }
    return (info.stx_attributes & info.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#else
    return 0;
#endif
}

class Download {
public:
    // 1 when `destination` is managed here, 0 when it goes to the client
    // unchanged, -1 on error.
    int prepare(PyObject* destination);
    // Creates the file the client writes.
    int make_temporary();
    PyObject* temporary() const { return temporary_.get(); }
    // Gives the destination the bytes of the complete temporary file.
    int commit();
    // Removes what the download made, keeping whatever exception is set.
    void abandon();

private:
    Ref temporary_in(PyObject* directory, PyObject* name, long mode);
    Ref open_destination();
    int move(PyObject* written);
    Ref attributes(PyObject* listxattr, PyObject* file);
    int close_temporary();

    Ref os_;
    Ref path_;             // the destination, absolute (str)
    Ref temporary_;        // the file the client writes
    Ref temporary_fd_;     // ... open for reading and writing until it is moved or copied in
    bool beside_ = false;  // ... in the destination's directory
    Ref fd_;               // the destination, once opened
    Ref opened_;           // its fstat
    bool new_ = false;      // there was no destination when the download started
    long mode_ = 0;         // its permission bits then, or those of a new file
    bool created_ = false;  // the destination was made by this download
};

int Download::prepare(PyObject* destination) {
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    if (!fspath) {
        return PyErr_ExceptionMatches(PyExc_TypeError) ? (PyErr_Clear(), 0) : -1;  // the client decides
    }
    os_ = Ref::steal(PyImport_GetModule(s.mod_os));  // imported by the interpreter's start-up
    if (!os_ && !PyErr_Occurred()) {
        os_ = Ref::steal(PyImport_Import(s.mod_os));
    }
    Ref text = os_ ? call_method(os_.get(), s.attr_fsdecode, fspath.get()) : Ref();
    Ref path_module = text ? get_attr(os_.get(), s.attr_path) : Ref();
    // Absolute now, so that another thread's chdir cannot move it.
    path_ = path_module ? call_method(path_module.get(), s.attr_abspath, text.get()) : Ref();
    Ref info = path_ ? call_method(os_.get(), s.attr_stat, path_.get()) : Ref();
    if (!info) {
        if (path_ && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            new_ = true;
            mode_ = 0666;  // what the client's open would give it
            return 1;
        }
        // Anything else wrong: the client's own open tells what.
        const bool clients = path_ && (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError));
        return clients ? (PyErr_Clear(), 0) : -1;
    }
    const long long mode = long_field(info.get(), s.attr_st_mode);
    mode_ = mode & 0777;
    return mode < 0 ? -1 : (mode & kFileTypeMask) == kRegularFile;
}

int Download::make_temporary() {
    const ModuleState& s = state();
    Ref path_module = get_attr(os_.get(), s.attr_path);
    Ref parts = path_module ? call_method(path_module.get(), s.attr_split, path_.get()) : Ref();
    if (parts && (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2)) {
        PyErr_SetString(PyExc_TypeError, "os.path.split gave no pair");
        return -1;
    }
    PyObject* directory = parts ? PyTuple_GET_ITEM(parts.get(), 0) : nullptr;
    PyObject* name = parts ? PyTuple_GET_ITEM(parts.get(), 1) : nullptr;
    const int kept = parts ? keeps_its_entries(directory) : -1;
    if (kept == 0) {
        // Readable by no one the destination does not let read it, and
        // writable by the caller (on Windows a file that is not cannot
        // even be removed).
        temporary_ = temporary_in(directory, name, mode_ | 0200);
        beside_ = static_cast<bool>(temporary_);
        if (temporary_ || ordinary_os_error() < 0) {  // no entry there: a locked directory, a path too long
            return temporary_ ? 0 : -1;
        }
    }
    Ref tempfile = kept < 0 ? Ref() : Ref::steal(PyImport_Import(s.mod_tempfile));
    Ref elsewhere = tempfile ? call_method(tempfile.get(), s.attr_gettempdir) : Ref();
    temporary_ = elsewhere ? temporary_in(elsewhere.get(), name, 0600) : Ref();
    return temporary_ ? 0 : -1;
}

// An empty new file named after `name` in `directory`: its path.
Ref Download::temporary_in(PyObject* directory, PyObject* name, long mode) {
    const ModuleState& s = state();
    Ref kept = PyUnicode_GET_LENGTH(name) > kNameKept ? Ref::steal(PyUnicode_Substring(name, 0, kNameKept))
                                                      : Ref::borrow(name);
    Ref path_module = kept ? get_attr(os_.get(), s.attr_path) : Ref();
    for (int attempt = 1; path_module; ++attempt) {
        PyTime_t now = 0;
        Ref file_name = PyTime_Time(&now) < 0 ? Ref() : Ref::steal(PyUnicode_FromFormat(
            ".%U.%llx-%llx.part", kept.get(), static_cast<unsigned long long>(now),
            static_cast<unsigned long long>(++g_temporary_counter)));
        Ref path = file_name ? call_method(path_module.get(), s.attr_join, directory, file_name.get()) : Ref();
        temporary_fd_ = path ? open_file(os_.get(), path.get(), {s.attr_O_RDWR, s.attr_O_CREAT, s.attr_O_EXCL,
                                                                 s.attr_O_BINARY}, mode)
                             : Ref();
        if (temporary_fd_) {
            return path;
        }
        if (!path || attempt == kNameAttempts || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            break;
        }
        PyErr_Clear();
    }
    return Ref();
}

// The destination opened for writing as the client's own open would open
// it, but keeping its bytes: created when missing (and then known to be
// made here), never waiting for the reader of a FIFO.
Ref Download::open_destination() {
    const ModuleState& s = state();
    for (PyObject* exclusive : {new_ ? s.attr_O_EXCL : nullptr, static_cast<PyObject*>(nullptr)}) {
        Ref fd = open_file(os_.get(), path_.get(), {s.attr_O_WRONLY, s.attr_O_CREAT, s.attr_O_NONBLOCK,
                                                    s.attr_O_BINARY, exclusive}, 0666);
        if (fd || exclusive == nullptr || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            created_ = fd && exclusive != nullptr;
            return fd;
        }
        PyErr_Clear();  // it exists, or is a link to what does not yet
    }
    return Ref();
}

int Download::commit() {
    const ModuleState& s = state();
    // A new destination takes the temporary file's name as a second one,
    // which fails rather than replace what appeared at the path meanwhile.
    if (new_ && beside_) {
        if (close_temporary() < 0) {
            return -1;
        }
        if (call_method(os_.get(), s.attr_link, temporary_.get(), path_.get())) {
            return call_method(os_.get(), s.attr_unlink, temporary_.get()) || ordinary_os_error() == 0 ? 0 : -1;
        }
        // Something is there now, or the file system has no links: judged below.
        if (ordinary_os_error() < 0 ||
            !(temporary_fd_ = open_file(os_.get(), temporary_.get(), {s.attr_O_RDWR, s.attr_O_BINARY}, 0))) {
            return -1;
        }
    }
    Ref written = call_method(os_.get(), s.attr_fstat, temporary_fd_.get());
    const long long size = written ? long_field(written.get(), s.attr_st_size) : -1;
    if (size < 0 || !(fd_ = open_destination()) || !(opened_ = call_method(os_.get(), s.attr_fstat, fd_.get()))) {
        return -1;
    }
    const long long mode = long_field(opened_.get(), s.attr_st_mode);
    if (mode >= 0 && (mode & kFileTypeMask) != kRegularFile) {
        PyErr_SetString(PyExc_OSError, "the local destination is no longer a regular file");
    }
    const int moved = PyErr_Occurred() ? -1 : beside_ ? move(written.get()) : 0;
    if (moved < 0 || (moved == 0 && copy_into(os_.get(), temporary_fd_.get(), fd_.get(), size) < 0)) {
        return -1;
    }
    // The destination has its bytes; a temporary file that will not go
    // away does not make the download a failure.
    if (close_temporary() < 0 ||
        (moved == 0 && !call_method(os_.get(), s.attr_unlink, temporary_.get()) && ordinary_os_error() < 0)) {
        return -1;
    }
    Ref fd = std::move(fd_);
    return call_method(os_.get(), s.attr_close, fd.get()) ? 0 : -1;
}

// Closes the temporary file's descriptor, if open: Windows moves, links
// and removes no file that is open.
int Download::close_temporary() {
    Ref fd = std::move(temporary_fd_);
    return !fd || call_method(os_.get(), state().attr_close, fd.get()) ? 0 : -1;
}

// 1 when the temporary file took the destination's place, 0 when the bytes
// must be copied in instead, -1 on error.
int Download::move(PyObject* written) {
    const ModuleState& s = state();
    PyObject* opened = opened_.get();
    const long long mode = long_field(opened, s.attr_st_mode);
    const long long links = long_field(opened, s.attr_st_nlink);
    const long long written_mode = long_field(written, s.attr_st_mode);
    PyObject* listed = nullptr;
    const int listable = PyErr_Occurred() ? -1 : PyObject_GetOptionalAttr(os_.get(), s.attr_listxattr, &listed);
    Ref listxattr = Ref::steal(listed);
    int same = listable <= 0 ? listable : same_fields(opened, written, {s.attr_st_uid, s.attr_st_gid});
    // Where attributes cannot be listed (Windows), a move could lose some.
    if (same <= 0 || links != 1 || (mode & kSetIdBits) != 0) {
        return same < 0 ? -1 : 0;
    }
    // The destination's mode first: a file with an ACL keeps its mask there.
    if ((mode & kPermissionBits) != (written_mode & kPermissionBits)) {
        Ref permissions = Ref::steal(PyLong_FromLongLong(mode & kPermissionBits));
        if (!permissions || !call_method(os_.get(), s.attr_chmod, temporary_.get(), permissions.get())) {
            return permissions ? ordinary_os_error() : -1;  // a file system that takes no mode
        }
    }
    Ref mine = attributes(listxattr.get(), temporary_fd_.get());
    Ref theirs = mine ? attributes(listxattr.get(), fd_.get()) : Ref();
    same = theirs ? PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ) : ordinary_os_error();
    // Confirmed just before the move: the file opened is still the one at
    // the path (not a link to it), still with one name.
    Ref at_path = same > 0 ? call_method(os_.get(), s.attr_lstat, path_.get()) : Ref();
    same = at_path ? same_fields(at_path.get(), opened, {s.attr_st_dev, s.attr_st_ino}) : same > 0 ? -1 : same;
    if (same <= 0 || long_field(at_path.get(), s.attr_st_nlink) != 1) {
        return same < 0 || PyErr_Occurred() ? -1 : 0;
    }
    // Refused (a file bind-mounted over the path): copied in instead.
    return call_method(os_.get(), s.attr_replace, temporary_.get(), path_.get()) ? 1 : ordinary_os_error();
}

// {name: value} of the extended attributes of `file` (ACLs live there), or
// an empty list when it has none; empty with an OSError set when the file
// system will not list them.
Ref Download::attributes(PyObject* listxattr, PyObject* file) {
    Ref names = call(listxattr, file);
    if (names && PyList_CheckExact(names.get()) && PyList_GET_SIZE(names.get()) == 0) {
        return names;  // the common case: none, and an empty list compares as well
    }
    Ref values = names ? Ref::steal(PyDict_New()) : Ref();
    Ref iterator = values ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
    while (Ref name = iterator ? Ref::steal(PyIter_Next(iterator.get())) : Ref()) {
        Ref value = call_method(os_.get(), state().attr_getxattr, file, name.get());
        if (!value || PyDict_SetItem(values.get(), name.get(), value.get()) < 0) {
            return Ref();
        }
    }
    return iterator && !PyErr_Occurred() ? std::move(values) : Ref();
}

void Download::abandon() {
    const ModuleState& s = state();
    SavedError pending;
    close_temporary();
    if (!cleanup_may_go_on()) {
        return;
    }
    if (temporary_) {
        call_method(os_.get(), s.attr_unlink, temporary_.get());
        if (!cleanup_may_go_on()) {
            return;
        }
    }
    if (fd_) {
        Ref fd = std::move(fd_);  // closed first: Windows removes no open file
        call_method(os_.get(), s.attr_close, fd.get());
        if (!cleanup_may_go_on()) {
            return;
        }
    }
    // A destination this download made goes again, if it is still the file
    // at the path.
    Ref at_path = created_ && opened_ ? call_method(os_.get(), s.attr_lstat, path_.get()) : Ref();
    if (at_path && same_fields(at_path.get(), opened_.get(), {s.attr_st_dev, s.attr_st_ino}) == 1) {
        call_method(os_.get(), s.attr_unlink, path_.get());
    }
}

}  // namespace

int download_to(PyObject* getter, PyObject* source, PyObject* destination) {
    Download download;
    const int managed = download.prepare(destination);
    if (managed <= 0) {
        return managed < 0 || !call(getter, source, destination) ? -1 : 0;
    }
    if (download.make_temporary() < 0) {
        return -1;
    }
    if (!call(getter, source, download.temporary()) || download.commit() < 0) {
        // Whatever the exception, KeyboardInterrupt included, nothing the
        // download made stays.
        download.abandon();
        return -1;
    }
    return 0;
}

}  // namespace sftp::session
