// Portable layer of the host runtime: export macros and the few calls that
// differ between Windows (production) and POSIX (build and test).
#pragma once

#if defined(_WIN32)
#  if defined(NQHOST_BUILD)
#    define NQHOST_API __declspec(dllexport)
#  else
#    define NQHOST_API __declspec(dllimport)
#  endif
#  define NQ_PRINTF_FORMAT(fmtIndex, argIndex)
#else
#  define NQHOST_API __attribute__((visibility("default")))
#  define NQ_PRINTF_FORMAT(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#endif
