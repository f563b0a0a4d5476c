#include "state.hpp"


namespace sftp {

ModuleState g_state{};

namespace {

bool g_built = false;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace

int build_state() {
    if (g_built) {
        return 0;
    }
    ModuleState s{};
    bool ok = true;
#define SFTP_INTERN_FIELD(field, text) ok = ok && (s.field = intern(text)) != nullptr;
    SFTP_INTERNED_NAMES(SFTP_INTERN_FIELD)
#undef SFTP_INTERN_FIELD
    ok = ok && (s.empty_tuple = PyTuple_New(0)) != nullptr;
    ok = ok && (s.default_port = PyLong_FromLong(22)) != nullptr;
    ok = ok && (s.kwnames_file = PyTuple_Pack(1, s.key_file)) != nullptr;
    ok = ok && (s.kwnames_login = PyTuple_Pack(2, s.key_username, s.attr_password)) != nullptr;
    ok = ok && (s.kwnames_login_hostkey = PyTuple_Pack(3, s.key_username, s.attr_password, s.key_hostkey)) != nullptr;
    ok = ok && (s.default_keys = PyTuple_Pack(7, s.attr_ssh, s.key_ssh_host, s.key_ssh_port, s.key_ssh_user,
                                              s.key_ssh_password, s.key_ssh_rsa, s.key_ssh_rsa_pwd)) != nullptr;
    ok = ok && (s.function_type = create_function_type()) != nullptr;
    for (int i = 0; ok && i < kMethodCount; ++i) {
        ok = init_method_names(kMethodTable[i], s.methods[i]) == 0;
    }
    if (!ok) {
        // Nothing was published; drop what was made so a later import can retry.
#define SFTP_CLEAR_FIELD(field, text) Py_XDECREF(s.field);
        SFTP_INTERNED_NAMES(SFTP_CLEAR_FIELD)
#undef SFTP_CLEAR_FIELD
        Py_XDECREF(s.empty_tuple);
        Py_XDECREF(s.default_port);
        Py_XDECREF(s.kwnames_file);
        Py_XDECREF(s.kwnames_login);
        Py_XDECREF(s.kwnames_login_hostkey);
        Py_XDECREF(s.default_keys);
        Py_XDECREF(s.function_type);
        for (MethodNames& names : s.methods) {
            Py_XDECREF(names.name);
            Py_XDECREF(names.qualname);
            Py_XDECREF(names.doc);
            Py_XDECREF(names.text_signature);
            for (PyObject* param : names.params) {
                Py_XDECREF(param);
            }
        }
        return -1;
    }
    g_state = s;
    g_built = true;
    return 0;
}

}  // namespace sftp
