/* The interpreter's build configuration for extension modules compiled with
 * MinGW-w64 for 64-bit Windows against the limited API. The Windows
 * distribution's own pyconfig.h is not at hand when cross-building, and the
 * build machine's describes Linux (8-byte long, 4-byte wchar_t, no DLL
 * imports), so the build puts this one beside a copy of the CPython headers.
 * It defines only what the limited API's headers read: the platform, the
 * type sizes of the LLP64 model and the DLL import of the interpreter's
 * symbols. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__GNUC__)
#error "this configuration is for MinGW-w64 targeting 64-bit Windows"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define COMPILER "[gcc]"

/* The interpreter lives in a DLL (python3.dll for the limited API): its
 * functions and data are imported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define LONG_BIT 32
#define WORD_BIT 32

/* MinGW-w64 defines ssize_t as a 64-bit integer. */
#define HAVE_SSIZE_T 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#define HAVE_COPYSIGN 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DYNAMIC_LOADING
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define STDC_HEADERS 1

#endif /* !Py_CONFIG_H */
