// The module state: every name the methods use, interned once at import,
// and the constants they share.  It is process-wide (the module can only
// live in one interpreter) and never changes once built.
#pragma once

#include <Python.h>

#include "function.hpp"
#include "method_table.hpp"

namespace sftp {

// field, text
#define SFTP_INTERNED_NAMES(X)                                   \
    /* module-level names bound at import */                     \
    X(g_paramiko, "paramiko")                                    \
    X(g_VornaxLog, "VornaxLog")                                  \
    X(g_VornaxSSH, "VornaxSSH")                                  \
    X(g_VornaxVar, "VornaxVar")                                  \
    X(g_VornaxSFTPMain, "VornaxSFTPMain")                        \
    X(m_vornax_log, "vornax_log")                                \
    X(m_vornax_ssh, "vornax_ssh")                                \
    X(m_vornax_var, "vornax_var")                                \
    X(m_sftp_main, "sftp_main")                                  \
    /* import protocol */                                        \
    X(d_spec, "__spec__")                                        \
    X(d_loader, "__loader__")                                    \
    X(d_file, "__file__")                                        \
    X(d_package, "__package__")                                  \
    X(d_path, "__path__")                                        \
    X(d_module, "__module__")                                    \
    X(d_qualname, "__qualname__")                                \
    X(spec_initializing, "_initializing")                        \
    X(spec_name, "name")                                         \
    X(spec_loader, "loader")                                     \
    X(spec_origin, "origin")                                     \
    X(spec_parent, "parent")                                     \
    X(spec_search_locations, "submodule_search_locations")       \
    /* instance attributes and the methods called through self */ \
    X(a_log, "_log")                                             \
    X(a_config, "_config")                                       \
    X(a_params_dict, "_params_dict")                             \
    X(a_default_params, "_default_params")                       \
    X(a_ssh, "_ssh")                                             \
    X(a_sftp, "_sftp")                                           \
    X(a_cleanse_params, "_cleanse_params")                       \
    X(a_set_params_dict, "_set_params_dict")                     \
    X(a_set_default_params, "_set_default_params")               \
    X(a_close, "_close")                                         \
    /* configuration object and mappings */                      \
    X(c_ssh, "ssh")                                              \
    X(c_todict, "todict")                                        \
    X(c_connect, "connect")                                      \
    X(c_get, "get")                                              \
    X(c_set, "set")                                              \
    X(c_host, "host")                                            \
    X(c_port, "port")                                            \
    X(c_user, "user")                                            \
    X(c_password, "password")                                    \
    X(c_ssh_host, "ssh_host")                                    \
    X(c_ssh_port, "ssh_port")                                    \
    X(c_ssh_user, "ssh_user")                                    \
    X(c_ssh_password, "ssh_password")                            \
    X(c_ssh_rsa, "ssh_rsa")                                      \
    X(c_ssh_rsa_pwd, "ssh_rsa_pwd")                              \
    X(r_type, "type")                                            \
    X(r_default, "default")                                      \
    X(r_optional, "optional")                                    \
    X(map_keys, "keys")                                          \
    X(map_update, "update")                                      \
    X(map_items, "items")                                        \
    /* paramiko */                                               \
    X(p_SSHClient, "SSHClient")                                  \
    X(p_set_missing_host_key_policy, "set_missing_host_key_policy") \
    X(p_AutoAddPolicy, "AutoAddPolicy")                          \
    X(p_Transport, "Transport")                                  \
    X(p_SFTPClient, "SFTPClient")                                \
    X(p_from_transport, "from_transport")                        \
    X(p_get_channel, "get_channel")                              \
    X(p_get_transport, "get_transport")                          \
    /* local files of a download */                              \
    X(m_os, "os")                                                \
    X(m_io, "io")                                                \
    X(m_time, "time")                                            \
    X(m_tempfile, "tempfile")                                    \
    X(os_stat, "stat")                                           \
    X(os_lstat, "lstat")                                         \
    X(os_fstat, "fstat")                                         \
    X(os_open, "open")                                           \
    X(os_close, "close")                                         \
    X(os_lseek, "lseek")                                         \
    X(os_write, "write")                                         \
    X(os_ftruncate, "ftruncate")                                 \
    X(os_replace, "replace")                                     \
    X(os_unlink, "unlink")                                       \
    X(os_chmod, "chmod")                                         \
    X(os_access, "access")                                       \
    X(os_listxattr, "listxattr")                                 \
    X(os_W_OK, "W_OK")                                           \
    X(os_O_WRONLY, "O_WRONLY")                                   \
    X(os_O_CREAT, "O_CREAT")                                     \
    X(os_O_EXCL, "O_EXCL")                                       \
    X(os_O_BINARY, "O_BINARY")                                   \
    X(os_path, "path")                                           \
    X(os_realpath, "realpath")                                   \
    X(os_dirname, "dirname")                                     \
    X(os_basename, "basename")                                   \
    X(os_join, "join")                                           \
    X(st_mode, "st_mode")                                        \
    X(st_nlink, "st_nlink")                                      \
    X(st_uid, "st_uid")                                          \
    X(st_gid, "st_gid")                                          \
    X(io_FileIO, "FileIO")                                       \
    X(file_read, "read")                                         \
    X(file_seek, "seek")                                         \
    X(time_sleep, "sleep")                                       \
    X(tempfile_gettempdir, "gettempdir")                         \
    X(s_close, "close")                                          \
    X(s_remove, "remove")                                        \
    X(s_rename, "rename")                                        \
    X(s_posix_rename, "posix_rename")                            \
    X(s_mkdir, "mkdir")                                          \
    X(s_rmdir, "rmdir")                                          \
    X(s_stat, "stat")                                            \
    X(s_normalize, "normalize")                                  \
    X(s_chdir, "chdir")                                          \
    X(s_put, "put")                                              \
    X(s_get, "get")                                              \
    /* keywords */                                               \
    X(k_file, "file")                                            \
    X(k_username, "username")                                    \
    /* message pieces */                                         \
    X(t_empty, "")                                               \
    X(t_colon, ":")                                              \
    X(t_missing_prefix, "缺少必填参数：")                          \
    X(t_param_prefix, "参数")                                     \
    X(t_param_middle, "预设值不正确，可选：")                       \
    X(t_separator, "；")

struct ModuleState {
#define SFTP_DECLARE_FIELD(field, text) PyObject* field;
    SFTP_INTERNED_NAMES(SFTP_DECLARE_FIELD)
#undef SFTP_DECLARE_FIELD

    PyObject* empty_tuple;      // ()
    PyObject* default_port;     // 22
    PyObject* kwnames_file;     // ("file",)
    PyObject* kwnames_login;    // ("username", "password")
    PyObject* default_keys;     // the seven default-table keys, in order
    PyTypeObject* function_type;  // the type of every method object
    MethodNames methods[kMethodCount];  // texts of each method, table order
};

// The state, valid once build_state() has succeeded.
extern ModuleState g_state;
inline const ModuleState& state() noexcept { return g_state; }

// Builds the state on the first call; later calls return 0 at once.
int build_state();

}  // namespace sftp
