// The module frame's one header: the module state (every name the methods use, interned once at
// import), the method table with the bodies it names, the method objects, traceback entries and the
// module's global names.
#pragma once

#include <iterator>

#include "calls.hpp"

namespace sftp {

// Field names: a prefix, then the text (an attribute of the object without its leading underscore).
// mod_ a module; glob_ a module global; dunder_, self_ (of the object), attr_ (of any other object,
// maybe a mapping key too): attributes; key_ a key or keyword only; text_ any other text.
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

// The constants the methods share, made once after the names above.
#define SFTP_MADE_OBJECTS(X)                                                                       \
    X(empty_tuple, PyTuple_New(0))                                                                 \
    X(default_port, PyLong_FromLong(22))                                                           \
    X(kwnames_file, PyTuple_Pack(1, s.key_file))                                                   \
    X(kwnames_exc_info, PyTuple_Pack(1, s.key_exc_info))                                           \
    X(kwnames_login, PyTuple_Pack(2, s.key_username, s.attr_password))                             \
    X(kwnames_login_hostkey, PyTuple_Pack(3, s.key_username, s.attr_password, s.key_hostkey))      \
    X(default_keys, PyTuple_Pack(7, s.attr_ssh, s.key_ssh_host, s.key_ssh_port, s.key_ssh_user,    \
                                 s.key_ssh_password, s.key_ssh_rsa, s.key_ssh_rsa_pwd))

struct ModuleState {
#define SFTP_DECLARE_FIELD(field, text) PyObject* field;
    SFTP_INTERNED_NAMES(SFTP_DECLARE_FIELD)
    SFTP_MADE_OBJECTS(SFTP_DECLARE_FIELD)
#undef SFTP_DECLARE_FIELD
};

// The state, process-wide (the module lives in one interpreter at a time), valid once build_state()
// has succeeded and until release_state() when that interpreter is finalised.
extern ModuleState g_state;
inline const ModuleState& state() noexcept { return g_state; }
void build_state();  // once; leaves nothing made when it throws
bool state_built() noexcept;
void release_state();

// The recorded module (borrowed), or nullptr: set when its execution starts, kept after a
// successful one until its interpreter is finalised.
PyObject* recorded_module() noexcept;

// The global `name` (the module namespace, then the builtins, as for a Python function), or
// NameError.
Ref lookup_global(PyObject* name);

// paramiko.<name>, with paramiko looked up afresh.
Ref paramiko_attr(PyObject* name);

// Adds one entry (function `funcname`, line `line`) on top of the traceback of the exception set.
// The lines are no lines of any C++ source but fixed numbers of the module's interface, as if the
// class were written in Python in a file named after the module's binary: callers may match on
// them, so they never follow the code.
inline constexpr const char* kTracebackFile = SFTP_MAIN_TRACEBACK_FILE;
void add_traceback_entry(const char* funcname, int line);
void release_traceback_code();

// `step()`; when it fails, the entry (funcname, line) is added before the exception goes on.
template <typename Step>
auto traced(const char* funcname, int line, Step&& step) {
    try {
        return step();
    } catch (const PythonError&) {
        add_traceback_entry(funcname, line);
        throw;
    }
}

namespace companions {
// The companion classes, each looked up as a module global at every call.
Ref new_logger();                     // VornaxLog(file=False)
Ref new_config(PyObject* config);     // VornaxVar(**config), None refused as `**None` is
Ref config_through_ssh(PyObject* self);  // VornaxSSH(self._config.todict()).connect()
// self._config.<name>, both read afresh; with `optional`, an empty Ref where the configuration
// object has no such attribute (a tunnel's configuration need not have `get`).
Ref config_attr(PyObject* self, PyObject* name, bool optional = false);
}  // namespace companions

constexpr int kMaxParams = 3;

// A method body.  args holds exactly the method's parameters, self first.  `line` starts at the
// method's own line; the body sets it to the line of each statement before running it, so that a
// failure reports that line.  A failure throws PythonError, or returns nullptr with the exception
// set where it is a routine answer.
using MethodBody = PyObject* (*)(PyObject* const* args, int& line);

struct MethodEntry {
    const char* name;                 // "_remove"
    int line;                         // line reported for argument errors
    int nparams;                      // counting self
    const char* params[kMaxParams];   // parameter names, self first
    MethodBody body;
};

// The method objects' type and texts, made once until release_functions(); method objects left
// over after that only say so.
void build_functions();
void release_functions();
PyObject* function_name(int index);  // interned
Ref new_function(int index);

namespace object {
PyObject* init(PyObject* const* args, int& line);
PyObject* del(PyObject* const* args, int& line);
}  // namespace object

namespace params {
PyObject* cleanse_params(PyObject* const* args, int& line);
PyObject* set_params_dict(PyObject* const* args, int& line);
PyObject* set_default_params(PyObject* const* args, int& line);
}  // namespace params

namespace session {
PyObject* connect(PyObject* const* args, int& line);
PyObject* close(PyObject* const* args, int& line);
template <bool Upload>
PyObject* transfer(PyObject* const* args, int& line);  // _upload, _download

// With the error of a failed call on `client` (self._sftp, or null) pending: a request cut short
// leaves paramiko's SFTPClient out of step (a late answer would be taken for the next one's), so on
// an interrupt (interrupt_in_chain), or a TimeoutError while its channel has a timeout, its
// transport is closed.  The error stays as it is (SavedError); true when it closed.
bool close_out_of_step(PyObject* client);

// self._sftp.<method>(args[1], ...) on the line below the method's own: the client's answer, or
// True.  Client errors pass through, answered as NULL rather than thrown: a landing pad on this,
// the hottest path, costs every call some 16 instructions (callgrind), about 2 %.
template <PyObject* ModuleState::*Method, int Arity, bool AnswersTrue = true>
PyObject* forward(PyObject* const* args, int& line) {
    ++line;
    Ref client = py::nothrow::attr(args[0], state().self_sftp);
    if (!client) {
        return nullptr;
    }
    PyObject* stack[] = {nullptr, client.get(), args[1], Arity == 2 ? args[2] : nullptr};
    Ref result = Ref::steal(PyObject_VectorcallMethod(state().*Method, stack + 1,
                                                      (1 + Arity) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) {
        close_out_of_step(client.get());
        return nullptr;
    }
    if constexpr (AnswersTrue) {
        Py_RETURN_TRUE;
    } else {
        return result.release();
    }
}
}  // namespace session

// The methods of VornaxSFTPMain in definition order: name, line of its argument errors, parameter
// count (self included), parameter names, body.
inline constexpr MethodEntry kMethodTable[] = {
    {"__init__", 22, 2, {"self", "config"}, object::init},
    {"_cleanse_params", 46, 2, {"self", "config"}, params::cleanse_params},
    {"_set_params_dict", 75, 1, {"self"}, params::set_params_dict},
    {"_set_default_params", 83, 1, {"self"}, params::set_default_params},
    {"_connect", 89, 1, {"self"}, session::connect},
    {"_close", 96, 1, {"self"}, session::close},
    {"_remove", 100, 2, {"self", "path"}, session::forward<&ModuleState::attr_remove, 1>},
    {"_rename", 104, 3, {"self", "ole_path", "new_path"}, session::forward<&ModuleState::attr_rename, 2>},
    {"_posix_rename", 108, 3, {"self", "ole_path", "new_path"}, session::forward<&ModuleState::attr_posix_rename, 2>},
    {"_mkdir", 112, 2, {"self", "path"}, session::forward<&ModuleState::attr_mkdir, 1>},
    {"_rmdir", 116, 2, {"self", "path"}, session::forward<&ModuleState::attr_rmdir, 1>},
    {"_stat", 120, 2, {"self", "file_path"}, session::forward<&ModuleState::attr_stat, 1, false>},
    {"_normalize", 123, 2, {"self", "path"}, session::forward<&ModuleState::attr_normalize, 1, false>},
    {"_chdir", 126, 2, {"self", "path"}, session::forward<&ModuleState::attr_chdir, 1>},
    {"_upload", 130, 3, {"self", "src_file", "dsc_path"}, session::transfer<true>},
    {"_download", 137, 3, {"self", "src_file", "dsc_path"}, session::transfer<false>},
    {"__del__", 144, 1, {"self"}, object::del},
};

inline constexpr int kMethodCount = static_cast<int>(std::size(kMethodTable));

}  // namespace sftp
