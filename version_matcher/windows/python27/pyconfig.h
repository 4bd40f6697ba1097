/* The configuration of the official Windows builds of Python 2.7, as far as
 * the headers the module includes depend on it.  Python's other headers are
 * the same on every platform; this one replaces the configure-generated
 * pyconfig.h of the machine the module is cross-built on.  Each line states
 * a documented fact of those interpreters (MSVC 2008 builds, python27.dll),
 * and only what some header of Python 2.7 tests is here. */
#ifndef CORVAMIRE_WINDOWS_PYCONFIG_H
#define CORVAMIRE_WINDOWS_PYCONFIG_H

/* The headers' Windows paths (osdefs.h separators, unicodeobject.h's
 * Py_UNICODE as wchar_t) key on these; MS_WIN32 names the Win32 API, which
 * the 64-bit build uses too. */
#define MS_WINDOWS
#define MS_WIN32
#ifdef _WIN64
#define MS_WIN64
#endif

/* The interpreter is python27.dll: its functions and data are imported
 * (__declspec(dllimport)) and the module's initialiser is exported
 * (PyMODINIT_FUNC carries __declspec(dllexport)). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Type sizes: LLP64 on Win64, ILP32 on Win32; long is 32 bits on both. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_TIME_T 8 /* MSVC 2008's time_t is 64-bit on both */
#ifdef _WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#endif

/* long long is there (MSVC's __int64); Py_ssize_t is ssize_t, which the
 * official build typedefs to the pointer-sized signed integer, as mingw-w64's
 * own ssize_t is. */
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define HAVE_SSIZE_T 1
/* printf's size_t modifier of the MSVC runtime, for the headers' format macros. */
#define PY_FORMAT_SIZE_T "I"
#define PY_FORMAT_LONG_LONG "I64"

/* Py_UNICODE is 2 bytes (UCS-2, the PyUnicodeUCS2_* names), as wchar_t is. */
#define Py_UNICODE_SIZE 2
#define Py_USING_UNICODE
#define HAVE_WCHAR_H 1

/* Threads are built in, so the thread-state calls exist. */
#define WITH_THREAD 1

/* Headers the MSVC runtime has (and mingw-w64's too); no unistd.h, which the
 * MSVC runtime lacks. */
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_PROTOTYPES 1

/* The sizes above must be the compiler's too, or objects would be laid out
 * otherwise than the interpreter lays them out. */
#if defined(__SIZEOF_POINTER__) && (__SIZEOF_POINTER__ != SIZEOF_VOID_P || __SIZEOF_SIZE_T__ != SIZEOF_SIZE_T || \
                                    __SIZEOF_LONG__ != SIZEOF_LONG || __SIZEOF_INT__ != SIZEOF_INT)
#error "this compiler's type sizes are not the Windows interpreter's"
#endif

#endif
