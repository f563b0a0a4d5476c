/* Configuration of the Windows CPython 3.13 (64-bit, release, with the GIL)
 * as an extension module built outside Visual Studio sees it.  It takes the
 * place of the Linux interpreter's pyconfig.h beside the otherwise identical
 * 3.13 headers when the module is cross-built for Windows; a build on
 * Windows itself uses the header that comes with the interpreter.
 *
 * Only what the public headers test for is here.  Every value describes the
 * interpreter DLL the module is loaded into, so that object layouts, the
 * thread-specific storage record and the import linkage agree with it. */
#ifndef SFTP_MAIN_WINDOWS_PYCONFIG_H
#define SFTP_MAIN_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !(defined(_M_X64) || defined(__x86_64__))
#  error "this configuration describes the 64-bit x86 Windows interpreter only"
#endif

/* The platform: Windows, 64-bit (code that predates MS_WINDOWS still tests
 * MS_WIN32, which the interpreter defines on every Windows build). */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define PLATFORM "win32"

/* LLP64: long stays 4 bytes while pointers and sizes are 8.  pyport.h derives
 * LONG_BIT and the Py_ssize_t typedef (from intptr_t) from these. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
/* Headers every Windows C runtime has (fileutils.h takes the S_IS* macros
 * from sys/stat.h rather than defining its own). */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
/* wchar_t is UTF-16 on Windows. */
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1
/* The interpreter's compiler aligns no fundamental type beyond a double. */
#define ALIGNOF_MAX_ALIGN_T 8
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* The interpreter lives in python313.dll: every API function and object is
 * imported from it, and the module's init function is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Windows threads: the thread-specific storage key is a DWORD, not a
 * pthread_key_t, even where a pthread.h happens to exist. */
#define NT_THREADS 1
#define WITH_THREAD 1

/* The allocators and free lists the release DLL has (it accepts
 * PYTHONMALLOC=pymalloc and =mimalloc alike). */
#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1
#define WITH_FREELISTS 1
#define WITH_DOC_STRINGS 1

/* Deliberately absent: Py_GIL_DISABLED (the DLL keeps the GIL and the
 * ordinary object header), Py_DEBUG and Py_TRACE_REFS (a release DLL with
 * the release object layout), ssize_t (Py_ssize_t comes from intptr_t), and
 * every POSIX HAVE_* feature (no unistd.h, no pthread.h, no fork). */

#endif /* SFTP_MAIN_WINDOWS_PYCONFIG_H */
