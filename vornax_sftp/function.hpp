// The function object that carries every method of VornaxSFTPMain.
//
// It binds like a Python function (a descriptor that makes bound methods),
// is a method descriptor so that `obj.m(...)` calls it without building a
// bound method, and takes its arguments through vectorcall.  Each object
// points at one entry of the method table; the entry says how many
// parameters the method has, which line argument errors report, and which
// body runs.
#pragma once

#include <Python.h>

namespace sftp {

constexpr int kMaxParams = 3;

// A method body.  args holds exactly the method's parameters, self first.
// `line` starts at the method's own line; the body sets it to the line of
// each statement before running it, so that a failure reports that line.
using MethodBody = PyObject* (*)(PyObject* const* args, int& line);

struct MethodEntry {
    const char* name;                 // "_remove"
    int line;                         // line reported for argument errors
    int nparams;                      // counting self
    const char* params[kMaxParams];   // parameter names, self first
    MethodBody body;
};

// Per-method texts, built once at import.
struct MethodNames {
    PyObject* name;                   // "_remove"
    PyObject* qualname;               // "VornaxSFTPMain._remove"
    PyObject* doc;                    // "VornaxSFTPMain._remove(self, path)"
    PyObject* text_signature;         // "(self, path)"
    PyObject* params[kMaxParams];     // interned parameter names
    char traceback_name[64];          // "sftp_main.VornaxSFTPMain._remove"
};

// The type of the method objects; called once, while the state is built.
PyTypeObject* create_function_type();

// Builds the texts of one method.
int init_method_names(const MethodEntry& entry, MethodNames& names);

// A new method object for one table entry; names must outlive it.
PyObject* new_function(const MethodEntry& entry, const MethodNames& names);

}  // namespace sftp
