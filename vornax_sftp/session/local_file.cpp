#include "session/local_file.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "calls.hpp"
#include "saved_error.hpp"
#include "session/copy_in.hpp"
#include "state.hpp"

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

// `field` of two stat results compared; 1 when equal, -1 on error.
int same_field(PyObject* a, PyObject* b, PyObject* field) {
    Ref left = get_attr(a, field);
    Ref right = left ? get_attr(b, field) : Ref();
    return right ? PyObject_RichCompareBool(left.get(), right.get(), Py_EQ) : -1;
}

int same_fields(PyObject* a, PyObject* b, std::initializer_list<PyObject*> fields) {
    for (PyObject* field : fields) {
        int same = same_field(a, b, field);
        if (same <= 0) {
            return same;
        }
    }
    return 1;
}

// 0 after clearing a pending OSError, -1 when another exception is pending.
int ordinary_os_error() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

long long long_field(PyObject* info, PyObject* field) {
    Ref value = get_attr(info, field);
    return value ? PyLong_AsLongLong(value.get()) : -1;
}

#if defined(__linux__)
// FS_IOC_GETFLAGS, and the append-only and immutable inode flags.
constexpr unsigned long kGetInodeFlags = (2UL << 30) | (sizeof(long) << 16) | ('f' << 8) | 1;
constexpr unsigned kAppendOnlyOrImmutable = 0x20 | 0x10;
#endif

// 1 when `directory` keeps every entry made in it (Linux's append-only or
// immutable flag): a temporary file there could never be removed.  0 when
// not, or when the platform cannot tell; -1 on error.
int keeps_its_entries([[maybe_unused]] PyObject* os, [[maybe_unused]] PyObject* directory) {
#if defined(__linux__)
    const ModuleState& s = state();
    Ref fcntl = optional_module(s.mod_fcntl);
    if (!fcntl) {
        return PyErr_Occurred() ? -1 : 0;
    }
    const long flags = open_flags(os, {s.attr_O_RDONLY});
    Ref flag_bits = flags < 0 ? Ref() : Ref::steal(PyLong_FromLong(flags));
    Ref fd = flag_bits ? call_method(os, s.attr_open, directory, flag_bits.get()) : Ref();
    if (!fd) {
        return ordinary_os_error();  // the temporary file then tells
    }
    Ref request = Ref::steal(PyLong_FromUnsignedLong(kGetInodeFlags));
    Ref buffer = request ? Ref::steal(PyBytes_FromStringAndSize("\0\0\0\0", 4)) : Ref();
    Ref answer = buffer ? call_method(fcntl.get(), s.attr_ioctl, fd.get(), request.get(), buffer.get()) : Ref();
    unsigned inode_flags = 0;
    int result = answer ? 0 : ordinary_os_error();  // a file system without such flags
    if (answer && PyBytes_Check(answer.get()) && PyBytes_GET_SIZE(answer.get()) == sizeof inode_flags) {
        std::memcpy(&inode_flags, PyBytes_AS_STRING(answer.get()), sizeof inode_flags);
        result = (inode_flags & kAppendOnlyOrImmutable) != 0;
    }
    if (result < 0) {
        SavedError failure;
        call_method(os, s.attr_close, fd.get());
        return -1;
    }
    return call_method(os, s.attr_close, fd.get()) ? result : -1;
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
    Ref temporary_in(PyObject* directory, PyObject* name);
    Ref open_destination();
    int move(PyObject* opened, PyObject* written);
    int same_attributes();

    Ref os_;
    Ref path_;       // the destination, absolute (str)
    Ref temporary_;  // the file the client writes
    bool beside_ = false;  // the temporary file is in the destination's directory
    Ref fd_;         // the destination, once opened
    Ref opened_;     // its fstat
    bool created_ = false;  // the destination was made by this download
};

int Download::prepare(PyObject* destination) {
    const ModuleState& s = state();
    Ref fspath = Ref::steal(PyOS_FSPath(destination));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;  // not a path: the client decides what it means
    }
    if (PyBytes_Check(fspath.get())) {
        fspath = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fspath.get()),
                                                             PyBytes_GET_SIZE(fspath.get())));
        if (!fspath) {
            return -1;
        }
    }
    os_ = Ref::steal(PyImport_Import(s.mod_os));
    Ref path_module = os_ ? get_attr(os_.get(), s.attr_path) : Ref();
    // Absolute now, so that another thread's chdir cannot move it.
    path_ = path_module ? call_method(path_module.get(), s.attr_abspath, fspath.get()) : Ref();
    if (!path_) {
        return -1;
    }
    Ref info = call_method(os_.get(), s.attr_stat, path_.get());
    if (!info) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            return 1;  // a new file
        }
        if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return 0;  // the client's own open tells what is wrong
        }
        return -1;
    }
    const long long mode = long_field(info.get(), s.attr_st_mode);
    return mode < 0 ? -1 : (mode & kFileTypeMask) == kRegularFile;
}

int Download::make_temporary() {
    const ModuleState& s = state();
    Ref path_module = get_attr(os_.get(), s.attr_path);
    Ref parts = path_module ? call_method(path_module.get(), s.attr_split, path_.get()) : Ref();
    if (!parts || !PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
        return parts ? (PyErr_SetString(PyExc_SystemError, "os.path.split gave no pair"), -1) : -1;
    }
    PyObject* directory = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* name = PyTuple_GET_ITEM(parts.get(), 1);
    const int kept = keeps_its_entries(os_.get(), directory);
    if (kept < 0) {
        return -1;
    }
    if (kept == 0) {
        temporary_ = temporary_in(directory, name);
        beside_ = static_cast<bool>(temporary_);
        if (temporary_ || !PyErr_ExceptionMatches(PyExc_OSError)) {
            return temporary_ ? 0 : -1;
        }
        PyErr_Clear();  // a directory that takes no entry, a path the platform finds too long
    }
    Ref tempfile = Ref::steal(PyImport_Import(s.mod_tempfile));
    Ref elsewhere = tempfile ? call_method(tempfile.get(), s.attr_gettempdir) : Ref();
    temporary_ = elsewhere ? temporary_in(elsewhere.get(), name) : Ref();
    return temporary_ ? 0 : -1;
}

// An empty new file, private to the caller, named after `name` in
// `directory`: its path.
Ref Download::temporary_in(PyObject* directory, PyObject* name) {
    const ModuleState& s = state();
    Ref kept = PyUnicode_GET_LENGTH(name) > kNameKept ? Ref::steal(PyUnicode_Substring(name, 0, kNameKept))
                                                      : Ref::borrow(name);
    Ref path_module = kept ? get_attr(os_.get(), s.attr_path) : Ref();
    const long flags = path_module ? open_flags(os_.get(), {s.attr_O_WRONLY, s.attr_O_CREAT, s.attr_O_EXCL,
                                                            s.attr_O_BINARY})
                                   : -1;
    Ref flag_bits = flags < 0 ? Ref() : Ref::steal(PyLong_FromLong(flags));
    Ref mode = flag_bits ? Ref::steal(PyLong_FromLong(0600)) : Ref();
    if (!mode) {
        return Ref();
    }
    for (int attempt = 0;; ++attempt) {
        PyTime_t now = 0;
        if (PyTime_Time(&now) < 0) {
            return Ref();
        }
        Ref file_name = Ref::steal(PyUnicode_FromFormat(".%U.%llx-%llx.part", kept.get(),
                                                        static_cast<unsigned long long>(now),
                                                        static_cast<unsigned long long>(++g_temporary_counter)));
        Ref path = file_name ? call_method(path_module.get(), s.attr_join, directory, file_name.get()) : Ref();
        Ref fd = path ? call_method(os_.get(), s.attr_open, path.get(), flag_bits.get(), mode.get()) : Ref();
        if (fd) {
            if (!call_method(os_.get(), s.attr_close, fd.get())) {
                SavedError failure;
                call_method(os_.get(), s.attr_unlink, path.get());
                return Ref();
            }
            return path;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt + 1 >= kNameAttempts) {
            return Ref();
        }
        PyErr_Clear();
    }
}

// The destination opened for writing, as the client's open would open it
// but keeping its bytes: created when missing (and then known to be ours),
// never blocking on a FIFO.
Ref Download::open_destination() {
    const ModuleState& s = state();
    Ref mode = Ref::steal(PyLong_FromLong(0666));
    for (bool exclusive : {true, false}) {
        const long flags = mode ? open_flags(os_.get(), {s.attr_O_WRONLY, s.attr_O_CREAT, s.attr_O_NONBLOCK,
                                                         s.attr_O_BINARY, exclusive ? s.attr_O_EXCL : nullptr})
                                : -1;
        Ref flag_bits = flags < 0 ? Ref() : Ref::steal(PyLong_FromLong(flags));
        Ref fd = flag_bits ? call_method(os_.get(), s.attr_open, path_.get(), flag_bits.get(), mode.get()) : Ref();
        if (fd || !exclusive || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            created_ = exclusive && fd;
            return fd;
        }
        PyErr_Clear();  // it exists (or is a link to what does not yet)
    }
    return Ref();
}

int Download::commit() {
    const ModuleState& s = state();
    Ref written = call_method(os_.get(), s.attr_stat, temporary_.get());
    const long long size = written ? long_field(written.get(), s.attr_st_size) : -1;
    if (size < 0 || !(fd_ = open_destination()) || !(opened_ = call_method(os_.get(), s.attr_fstat, fd_.get()))) {
        return -1;
    }
    const long long mode = long_field(opened_.get(), s.attr_st_mode);
    if (mode < 0) {
        return -1;
    }
    if ((mode & kFileTypeMask) != kRegularFile) {
        PyErr_SetString(PyExc_OSError, "the local destination is no longer a regular file");
        return -1;
    }
    const int moved = beside_ ? move(opened_.get(), written.get()) : 0;
    if (moved < 0 || (moved == 0 && copy_into(os_.get(), temporary_.get(), fd_.get(), size) < 0)) {
        return -1;
    }
    if (moved == 0 && !call_method(os_.get(), s.attr_unlink, temporary_.get())) {
        // The destination has its bytes; a temporary file that will not go
        // away does not make the download a failure.
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            return -1;
        }
        PyErr_Clear();
    }
    Ref fd = std::move(fd_);
    return call_method(os_.get(), s.attr_close, fd.get()) ? 0 : -1;
}

// 1 when the temporary file took the destination's place, 0 when the bytes
// must be copied in instead, -1 on error.
int Download::move(PyObject* opened, PyObject* written) {
    const ModuleState& s = state();
    const long long mode = long_field(opened, s.attr_st_mode);
    const long long links = mode < 0 ? -1 : long_field(opened, s.attr_st_nlink);
    int same = links < 0 ? -1 : same_fields(opened, written, {s.attr_st_uid, s.attr_st_gid});
    if (same <= 0 || links != 1 || (mode & kSetIdBits) != 0) {
        return same < 0 ? -1 : 0;
    }
    // The temporary file takes the destination's mode first: a file with an
    // ACL keeps its mask in the mode's group bits.
    const long long written_mode = long_field(written, s.attr_st_mode);
    if (written_mode < 0) {
        return -1;
    }
    if ((mode & kPermissionBits) != (written_mode & kPermissionBits)) {
        Ref permissions = Ref::steal(PyLong_FromLongLong(mode & kPermissionBits));
        if (!permissions) {
            return -1;
        }
        if (!call_method(os_.get(), s.attr_chmod, temporary_.get(), permissions.get())) {
            return ordinary_os_error();  // a file system that takes no mode: copied in
        }
    }
    if ((same = same_attributes()) <= 0) {
        return same;
    }
    // Confirmed just before the move: the file opened is still the one at
    // the path (not a link to it), still with one name.
    Ref at_path = call_method(os_.get(), s.attr_lstat, path_.get());
    same = at_path ? same_fields(at_path.get(), opened, {s.attr_st_dev, s.attr_st_ino}) : -1;
    if (same <= 0 || long_field(at_path.get(), s.attr_st_nlink) != 1) {
        return same < 0 || PyErr_Occurred() ? -1 : 0;
    }
    if (call_method(os_.get(), s.attr_replace, temporary_.get(), path_.get())) {
        return 1;
    }
    // Refused (a file bind-mounted over the path, a file open elsewhere on
    // Windows): copied in instead.
    return ordinary_os_error();
}

// 1 when the temporary file and the opened destination carry the same
// extended attributes (names and values; ACLs live there), 0 when not or
// when the platform cannot list them, -1 on error.
int Download::same_attributes() {
    const ModuleState& s = state();
    PyObject* found = nullptr;
    int present = PyObject_GetOptionalAttr(os_.get(), s.attr_listxattr, &found);
    Ref listxattr = Ref::steal(found);
    if (present <= 0) {
        return present;
    }
    Ref sets[2];
    PyObject* files[2] = {temporary_.get(), fd_.get()};
    for (int i = 0; i < 2; ++i) {
        Ref names = call(listxattr.get(), files[i]);
        if (!names) {
            return ordinary_os_error();  // a file system that hides them
        }
        Ref values = Ref::steal(PyDict_New());
        Ref iterator = values ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
        if (!iterator) {
            return -1;
        }
        while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref value = call_method(os_.get(), s.attr_getxattr, files[i], name.get());
            if (!value) {
                return ordinary_os_error();
            }
            if (PyDict_SetItem(values.get(), name.get(), value.get()) < 0) {
                return -1;
            }
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        sets[i] = std::move(values);
    }
    return PyObject_RichCompareBool(sets[0].get(), sets[1].get(), Py_EQ);
}

void Download::abandon() {
    const ModuleState& s = state();
    SavedError pending;
    if (temporary_) {
        call_method(os_.get(), s.attr_unlink, temporary_.get());
        if (!cleanup_may_go_on()) {
            return;
        }
    }
    if (fd_) {
        // Closed first: Windows removes no file that is open.
        Ref fd = std::move(fd_);
        call_method(os_.get(), s.attr_close, fd.get());
        if (!cleanup_may_go_on()) {
            return;
        }
    }
    if (created_) {
        // A destination this download made goes again, if it is still the
        // file at the path.
        Ref at_path = call_method(os_.get(), s.attr_lstat, path_.get());
        if (at_path && same_fields(at_path.get(), opened_.get(), {s.attr_st_dev, s.attr_st_ino}) == 1) {
            call_method(os_.get(), s.attr_unlink, path_.get());
        }
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
