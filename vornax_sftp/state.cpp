#include "state.hpp"


namespace sftp {

ModuleState g_state{};

namespace {

bool g_built = false;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

// Drops every reference `s` holds and empties it.
void clear(ModuleState& s) {
#define SFTP_CLEAR_FIELD(field, text) Py_CLEAR(s.field);
    SFTP_INTERNED_NAMES(SFTP_CLEAR_FIELD)
#undef SFTP_CLEAR_FIELD
    Py_CLEAR(s.empty_tuple);
    Py_CLEAR(s.default_port);
    Py_CLEAR(s.kwnames_file);
    Py_CLEAR(s.kwnames_exc_info);
    Py_CLEAR(s.kwnames_login);
    Py_CLEAR(s.kwnames_login_hostkey);
    Py_CLEAR(s.default_keys);
    Py_CLEAR(s.function_type);
    for (MethodNames& names : s.methods) {
        Py_CLEAR(names.name);
        Py_CLEAR(names.qualname);
        Py_CLEAR(names.doc);
        Py_CLEAR(names.text_signature);
        for (PyObject*& param : names.params) {
            Py_CLEAR(param);
        }
    }
}

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
    ok = ok && (s.kwnames_exc_info = PyTuple_Pack(1, s.key_exc_info)) != nullptr;
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
        clear(s);
        return -1;
    }
    g_state = s;
    g_built = true;
    return 0;
}

bool state_built() noexcept { return g_built; }

void release_state() {
    g_built = false;
    clear(g_state);
}

}  // namespace sftp
