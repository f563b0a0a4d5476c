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

#include <span>

#include "ref.hpp"

namespace sftp {

constexpr int kMaxParams = 3;
constexpr int kMaxMethods = 24;

// A method body.  args holds exactly the method's parameters, self first.
// `line` starts at the method's own line; the body sets it to the line of
// each statement before running it, so that a failure reports that line.
// A failure throws PythonError, or returns nullptr with the exception set.
using MethodBody = PyObject* (*)(PyObject* const* args, int& line);

struct MethodEntry {
    const char* name;                 // "_remove"
    int line;                         // line reported for argument errors
    int nparams;                      // counting self
    const char* params[kMaxParams];   // parameter names, self first
    MethodBody body;
};

// Makes the type of the method objects and the texts of every method of
// `table` (at most kMaxMethods entries), which must outlive them; once, until
// release_functions().  Throws PythonError, leaving nothing made.
void build_functions(std::span<const MethodEntry> table);

// Drops the type and the texts, when the interpreter that made them is
// finalised.  Method objects left over then only say so.
void release_functions();

// The interned name of table entry `index`.
PyObject* function_name(int index);

// A new method object for table entry `index`.  Throws PythonError.
Ref new_function(int index);

}  // namespace sftp
