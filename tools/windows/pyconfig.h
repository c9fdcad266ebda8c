/* The build configuration of the official 64-bit Windows CPython (3.9 to 3.13), as the module
 * needs it, for building against the platform-independent headers of a Linux install of the
 * same minor with zig's clang for x86_64-windows-gnu (tools/windows-wheels). Facts only: the
 * system, the LLP64 type sizes, and a DLL whose functions and data are imported. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is pythonXY.dll: functions and data (PyExc_ValueError, type objects) are
 * reached through its import table, and PyInit_* is exported from the module. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define SIZEOF_LONG_DOUBLE 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_FCNTL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_IO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STRFTIME 1
#define HAVE_LARGEFILE_SUPPORT 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32
#define PY_LITTLE_ENDIAN 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* Py_ssize_t is Py_intptr_t: 64 bits wide, as pointers are (pyport.h). */

#endif /* !Py_CONFIG_H */
