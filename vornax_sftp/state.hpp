// The module state: every name the methods use, interned once at import,
// and the constants they share.  It is process-wide (the module can only
// live in one interpreter at a time) and never changes once built, until
// that interpreter is finalised.
#pragma once

#include <Python.h>

namespace sftp {

// Field names: a prefix for the kind of text, then the text itself (for an
// attribute of the object, without its leading underscore).  mod_: a module
// to import; glob_: a name in the module namespace; dunder_: a
// double-underscore attribute; self_: an attribute or method of the object;
// attr_: an attribute or method of any other object (the same word may serve
// as a mapping key too); key_: a mapping key or keyword that is nothing
// else; text_: any other text, message pieces and argument values.
#define SFTP_INTERNED_NAMES(X)                                    \
    X(glob_paramiko, "paramiko")                                  \
    X(glob_VornaxLog, "VornaxLog")                                \
    X(glob_VornaxSSH, "VornaxSSH")                                \
    X(glob_VornaxVar, "VornaxVar")                                \
    X(glob_VornaxSFTPMain, "VornaxSFTPMain")                      \
    X(mod_vornax_log, "vornax_log")                               \
    X(mod_vornax_ssh, "vornax_ssh")                               \
    X(mod_vornax_var, "vornax_var")                               \
    X(mod_sftp_main, "sftp_main")                                 \
    X(mod_os, "os")                                               \
    X(dunder_spec, "__spec__")                                    \
    X(dunder_module, "__module__")                                \
    X(dunder_qualname, "__qualname__")                            \
    X(self_log, "_log")                                           \
    X(self_config, "_config")                                     \
    X(self_params_dict, "_params_dict")                           \
    X(self_default_params, "_default_params")                     \
    X(self_ssh, "_ssh")                                           \
    X(self_sftp, "_sftp")                                         \
    X(self_cleanse_params, "_cleanse_params")                     \
    X(self_set_params_dict, "_set_params_dict")                   \
    X(self_set_default_params, "_set_default_params")             \
    X(self_close, "_close")                                       \
    /* the configuration object and mappings */                   \
    X(attr_ssh, "ssh")                                            \
    X(attr_host, "host")                                          \
    X(attr_port, "port")                                          \
    X(attr_user, "user")                                          \
    X(attr_password, "password")                                  \
    X(attr_todict, "todict")                                      \
    X(attr_connect, "connect")                                    \
    X(attr_get, "get")                                            \
    X(attr_set, "set")                                            \
    X(attr_keys, "keys")                                          \
    X(attr_update, "update")                                      \
    X(attr_items, "items")                                        \
    X(attr_initializing, "_initializing")                         \
    /* paramiko, its clients and transports */                    \
    X(attr_SSHClient, "SSHClient")                                \
    X(attr_set_missing_host_key_policy, "set_missing_host_key_policy") \
    X(attr_AutoAddPolicy, "AutoAddPolicy")                        \
    X(attr_Transport, "Transport")                                \
    X(attr_SFTPClient, "SFTPClient")                              \
    X(attr_from_transport, "from_transport")                      \
    X(attr_get_channel, "get_channel")                            \
    X(attr_get_transport, "get_transport")                        \
    X(attr_close, "close")                                        \
    X(attr_remove, "remove")                                      \
    X(attr_rename, "rename")                                      \
    X(attr_posix_rename, "posix_rename")                          \
    X(attr_mkdir, "mkdir")                                        \
    X(attr_rmdir, "rmdir")                                        \
    X(attr_stat, "stat")                                          \
    X(attr_normalize, "normalize")                                \
    X(attr_chdir, "chdir")                                        \
    X(attr_put, "put")                                            \
    /* os, os.path, fcntl, tempfile and time, for the local files of a download */ \
    X(mod_tempfile, "tempfile")                                   \
    X(mod_fcntl, "fcntl")                                         \
    X(mod_time, "time")                                           \
    X(attr_fstat, "fstat")                                        \
    X(attr_fchmod, "fchmod")                                      \
    X(attr_open, "open")                                          \
    X(attr_lseek, "lseek")                                        \
    X(attr_read, "read")                                          \
    X(attr_write, "write")                                        \
    X(attr_copy_file_range, "copy_file_range")                    \
    X(attr_ftruncate, "ftruncate")                                \
    X(attr_link, "link")                                          \
    X(attr_split, "split")                                        \
    X(attr_abspath, "abspath")                                    \
    X(attr_getcwd, "getcwd")                                      \
    X(attr_lstat, "lstat")                                        \
    X(key_dir_fd, "dir_fd")                                       \
    X(key_dst_dir_fd, "dst_dir_fd")                               \
    X(text_dot, ".")                                              \
    X(attr_unlink, "unlink")                                      \
    X(attr_flock, "flock")                                        \
    X(attr_LOCK_EX, "LOCK_EX")                                    \
    X(attr_LOCK_NB, "LOCK_NB")                                    \
    X(attr_sleep, "sleep")                                        \
    X(attr_path, "path")                                          \
    X(attr_urandom, "urandom")                                    \
    X(attr_hex, "hex")                                            \
    X(attr_samestat, "samestat")                                  \
    X(attr_fsdecode, "fsdecode")                                  \
    X(attr_join, "join")                                          \
    X(attr_gettempdir, "gettempdir")                              \
    X(attr_st_mode, "st_mode")                                    \
    X(attr_st_size, "st_size")                                    \
    X(attr_errno, "errno")                                        \
    /* the record of a failed transfer */                        \
    X(mod_logging, "logging")                                     \
    X(attr_getLogger, "getLogger")                                \
    X(attr_isEnabledFor, "isEnabledFor")                          \
    X(attr_DEBUG, "DEBUG")                                        \
    X(attr_debug, "debug")                                        \
    X(key_exc_info, "exc_info")                                   \
    X(self_upload, "_upload")                                     \
    X(self_download, "_download")                                 \
    X(text_transfer_false, "%s(%s, %s) answered False")           \
    X(text_transfer_false_cut, "%s(%s, %s) answered False: %s")   \
    X(mod_traceback, "traceback")                                 \
    X(attr_format_exception, "format_exception")                  \
    /* mapping keys and keywords */                               \
    X(key_ssh_host, "ssh_host")                                   \
    X(key_ssh_port, "ssh_port")                                   \
    X(key_ssh_user, "ssh_user")                                   \
    X(key_ssh_password, "ssh_password")                           \
    X(key_ssh_rsa, "ssh_rsa")                                     \
    X(key_ssh_rsa_pwd, "ssh_rsa_pwd")                             \
    X(key_type, "type")                                           \
    X(key_default, "default")                                     \
    X(key_optional, "optional")                                   \
    X(key_file, "file")                                           \
    X(key_username, "username")                                   \
    /* other texts */                                             \
    X(text_empty, "")                                             \
    X(text_missing_prefix, "缺少必填参数：")                        \
    X(text_param_prefix, "参数")                                   \
    X(text_param_middle, "预设值不正确，可选：")                     \
    X(text_separator, "；")                                        \
    /* the optional timeout and host_key of a connection */      \
    X(key_timeout, "timeout")                                    \
    X(key_host_key, "host_key")                                  \
    X(key_hostkey, "hostkey")                                    \
    X(key_strict_mode, "strict_mode")                            \
    X(text_colon, ":")                                           \
    X(mod_socket, "socket")                                      \
    X(mod_binascii, "binascii")                                  \
    X(mod_threading, "threading")                                \
    X(attr_create_connection, "create_connection")               \
    X(attr_a2b_base64, "a2b_base64")                             \
    X(attr_TIMEOUT_MAX, "TIMEOUT_MAX")                           \
    X(attr_strip, "strip")                                       \
    X(attr_PKey, "PKey")                                         \
    X(attr_from_type_string, "from_type_string")                 \
    X(attr_banner_timeout, "banner_timeout")                     \
    X(attr_handshake_timeout, "handshake_timeout")               \
    X(attr_auth_timeout, "auth_timeout")                         \
    X(attr_channel_timeout, "channel_timeout")                   \
    X(attr_settimeout, "settimeout")                             \
    X(attr_gettimeout, "gettimeout")                             \
    X(text_timeout_prefix, "参数timeout应为大于0且不超过")          \
    X(text_timeout_middle, "的int或float（秒）：")                  \
    X(text_host_key_not_str, "参数host_key应为str：")               \
    X(text_host_key_not_line, "参数host_key应为OpenSSH格式的一行公钥（类型、base64、可选的注释，前面可有known_hosts的主机字段）：") \
    X(text_host_key_refused, "参数host_key的密钥类型或数据无效：")  \
    X(attr_get_name, "get_name")                                 \
    X(attr_HostKeys, "HostKeys")                                 \
    X(attr_hash_host, "hash_host")                               \
    X(attr_lower, "lower")                                       \
    X(text_comma, ",")                                           \
    X(text_hashed_host, "|1|")                                   \
    X(text_ssh_port, "22")                                       \
    X(text_host_key_label_prefix, "参数host_key标明的类型与密钥本身的类型") \
    X(text_host_key_label_middle, "不符：")                         \
    X(text_host_key_host_prefix, "参数host_key的主机字段不含所连接的主机") \
    X(text_host_key_host_middle, "：")

struct ModuleState {
#define SFTP_DECLARE_FIELD(field, text) PyObject* field;
    SFTP_INTERNED_NAMES(SFTP_DECLARE_FIELD)
#undef SFTP_DECLARE_FIELD

    PyObject* empty_tuple;      // ()
    PyObject* default_port;     // 22
    PyObject* kwnames_file;     // ("file",)
    PyObject* kwnames_exc_info;  // ("exc_info",)
    PyObject* kwnames_login;    // ("username", "password")
    PyObject* kwnames_login_hostkey;  // ("username", "password", "hostkey")
    PyObject* default_keys;     // the seven default-table keys, in order
};

// The state, valid once build_state() has succeeded.
extern ModuleState g_state;
inline const ModuleState& state() noexcept { return g_state; }

// Builds the state on the first call; later calls return at once.  Throws
// PythonError, leaving nothing made.
void build_state();

// Whether the state is built (and not yet released).
bool state_built() noexcept;

// Drops every reference of the state, when the interpreter that built it
// is finalised; a later build_state() makes it afresh.
void release_state();

}  // namespace sftp
