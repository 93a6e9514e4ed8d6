// Export macro of the logReport library: everything else is hidden.
#pragma once

#if defined(_WIN32)
#  if defined(LOGREPORT_BUILD)
#    define LOGREPORT_API __declspec(dllexport)
#  else
#    define LOGREPORT_API __declspec(dllimport)
#  endif
#else
#  define LOGREPORT_API __attribute__((visibility("default")))
#endif
