/* Export macros for the kavtel library.
 *
 * KAVTEL_API marks the classes, functions and data the library exports;
 * KAVTEL_CALL is the calling convention of the flat C functions (stdcall on
 * Windows, the platform default elsewhere). 64-bit Windows has one calling
 * convention, and its compilers take __stdcall as that one: there the macro
 * changes nothing. The library itself is built with KAVTEL_BUILDING defined;
 * hosts leave it undefined. */
#ifndef KAVTEL_EXPORT_H
#define KAVTEL_EXPORT_H

#if defined(_WIN32)
#  if defined(KAVTEL_BUILDING)
#    define KAVTEL_API __declspec(dllexport)
#  else
#    define KAVTEL_API __declspec(dllimport)
#  endif
#  define KAVTEL_CALL __stdcall
#else
#  define KAVTEL_API __attribute__((visibility("default")))
#  define KAVTEL_CALL
#endif

#endif
