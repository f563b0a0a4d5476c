#include "state.hpp"

#include "calls.hpp"

namespace sftp {

ModuleState g_state{};

namespace {

bool g_built = false;

// A new reference for the state, which holds raw pointers: they are
// dropped all together by clear().
PyObject* made(PyObject* fresh) { return py::owned(fresh).release(); }

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
}

void fill(ModuleState& s) {
#define SFTP_INTERN_FIELD(field, text) s.field = made(PyUnicode_InternFromString(text));
    SFTP_INTERNED_NAMES(SFTP_INTERN_FIELD)
#undef SFTP_INTERN_FIELD
    s.empty_tuple = made(PyTuple_New(0));
    s.default_port = made(PyLong_FromLong(22));
    s.kwnames_file = made(PyTuple_Pack(1, s.key_file));
    s.kwnames_exc_info = made(PyTuple_Pack(1, s.key_exc_info));
    s.kwnames_login = made(PyTuple_Pack(2, s.key_username, s.attr_password));
    s.kwnames_login_hostkey = made(PyTuple_Pack(3, s.key_username, s.attr_password, s.key_hostkey));
    s.default_keys = made(PyTuple_Pack(7, s.attr_ssh, s.key_ssh_host, s.key_ssh_port, s.key_ssh_user,
                                       s.key_ssh_password, s.key_ssh_rsa, s.key_ssh_rsa_pwd));
}

}  // namespace

void build_state() {
    if (g_built) {
        return;
    }
    ModuleState s{};
    try {
        fill(s);
    } catch (const PythonError&) {
        clear(s);  // nothing was published: a later import retries
        throw;
    }
    g_state = s;
    g_built = true;
}

bool state_built() noexcept { return g_built; }

void release_state() {
    g_built = false;
    clear(g_state);
}

}  // namespace sftp
