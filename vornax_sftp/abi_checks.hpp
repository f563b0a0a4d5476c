// Layout facts that the module's binary shares with the interpreter it is
// loaded into, checked where the module is compiled.  The Windows build
// takes its configuration from the project's own pyconfig.h
// (tools/wheels/windows/pyconfig.h) instead of the interpreter's: a wrong
// macro there must fail the build, not shift a field in the running program.
#pragma once

#include <Python.h>

#include <cstddef>

namespace sftp::abi_checks {

// Every check below is made against the headers of the CPython being built
// for (3.13, 3.14 or 3.15), so each version's wheel is checked against its
// own interpreter; the module refuses at import to run in another version.
#if PY_VERSION_HEX < 0x030D0000
#error "sftp_main needs the headers of CPython 3.13 or newer"
#endif

// The release build of the default (GIL) interpreter: a free-threaded,
// debug or reference-tracing interpreter lays out every object otherwise.
#if defined(Py_GIL_DISABLED)
#error "sftp_main is built for the default interpreter, not the free-threaded one (Py_GIL_DISABLED)"
#endif
#if defined(Py_DEBUG)
#error "sftp_main is built for a release interpreter (Py_DEBUG is set)"
#endif
#if defined(Py_TRACE_REFS)
#error "sftp_main is built for an interpreter without reference tracing (Py_TRACE_REFS is set)"
#endif

// The configuration's sizes are the compiler's.
static_assert(SIZEOF_VOID_P == sizeof(void*), "pyconfig.h: SIZEOF_VOID_P");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t), "pyconfig.h: SIZEOF_SIZE_T");
static_assert(SIZEOF_INT == sizeof(int), "pyconfig.h: SIZEOF_INT");
static_assert(SIZEOF_LONG == sizeof(long), "pyconfig.h: SIZEOF_LONG");
static_assert(SIZEOF_LONG_LONG == sizeof(long long), "pyconfig.h: SIZEOF_LONG_LONG");
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t), "pyconfig.h: SIZEOF_WCHAR_T");

// Windows is LLP64 (long stays 4 bytes), Linux LP64 (long as wide as a
// pointer); tp_flags is an unsigned long, so this decides its width.
#ifdef _WIN32
static_assert(sizeof(long) == 4, "Windows: long is 4 bytes (LLP64)");
#else
static_assert(sizeof(long) == sizeof(void*), "Linux: long is as wide as a pointer (LP64)");
#endif

// Every object starts with a reference count and a type pointer, and no
// more (reference tracing would add two list pointers).
static_assert(sizeof(Py_ssize_t) == sizeof(void*), "Py_ssize_t is as wide as a pointer");
static_assert(sizeof(PyObject) == sizeof(Py_ssize_t) + sizeof(PyTypeObject*), "PyObject: count and type only");

// The type object: its variable-size head, then 18 fields that are each a
// pointer or a Py_ssize_t (tp_name up to tp_as_buffer), then tp_flags,
// which the interpreter reads from every class the module creates.
static_assert(offsetof(PyTypeObject, tp_flags) == sizeof(PyVarObject) + 18 * sizeof(void*),
              "PyTypeObject: offset of tp_flags");
static_assert(sizeof(PyVarObject) == sizeof(PyObject) + sizeof(Py_ssize_t), "PyVarObject: object head and size");

}  // namespace sftp::abi_checks
