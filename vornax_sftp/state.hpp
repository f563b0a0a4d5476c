// The module state: every name the methods use, interned once at import,
// and the constants they share.  It is process-wide (the module can only
// live in one interpreter at a time) and never changes once built, until
// that interpreter is finalised.
#pragma once

#include <Python.h>

#include "function.hpp"
#include "method_table.hpp"

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
    X(mod_io, "io")                                               \
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
    /* os, os.path and io, for the local files of a download */   \
    X(attr_lstat, "lstat")                                        \
    X(attr_open, "open")                                          \
    X(attr_replace, "replace")                                    \
    X(attr_unlink, "unlink")                                      \
    X(attr_chmod, "chmod")                                        \
    X(attr_path, "path")                                          \
    X(attr_realpath, "realpath")                                  \
    X(attr_dirname, "dirname")                                    \
    X(attr_basename, "basename")                                  \
    X(attr_join, "join")                                          \
    X(attr_st_mode, "st_mode")                                    \
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
    X(text_mode_exclusive, "xb")                                  \
    X(text_missing_prefix, "缺少必填参数：")                        \
    X(text_param_prefix, "参数")                                   \
    X(text_param_middle, "预设值不正确，可选：")                     \
    X(text_separator, "；")

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

// Whether the state is built (and not yet released).
bool state_built() noexcept;

// Drops every reference of the state, when the interpreter that built it
// is finalised; a later build_state() makes it afresh.
void release_state();

}  // namespace sftp
