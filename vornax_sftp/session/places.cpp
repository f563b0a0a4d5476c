#include "session/places.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace sftp::session {

namespace {

#ifdef _WIN32
constexpr long kDirectoryFlags = 0;  // no descriptor for a directory: it is reached by its text
#elif defined(O_PATH)  // no read permission needed on the directory, as for get's own open
constexpr long kDirectoryFlags = O_PATH | O_DIRECTORY;
#else
constexpr long kDirectoryFlags = O_RDONLY | O_DIRECTORY;
#endif

}  // namespace

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

}  // namespace sftp::session
