# Cross build for Windows x86-64 with Debian's MinGW-w64 (posix threads):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DIce_HOME=$(scripts/ice-mingw.sh)
# (or -DLOGREPORT_TRANSPORT=OFF for a build without Ice).
# Libraries are looked up in the MinGW sysroot and in the folder that
# scripts/windows-tests.sh fills with the cross-built GoogleTest and libdeflate
# and the header-only libraries (LOGREPORT_WINDOWS_DEPS, default build-windows/deps).
# Programs that must run at build time (test discovery) run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "")

if(DEFINED ENV{LOGREPORT_WINDOWS_DEPS})
  set(_deps $ENV{LOGREPORT_WINDOWS_DEPS})
else()
  get_filename_component(_deps "${CMAKE_CURRENT_LIST_DIR}/../build-windows/deps" ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} ${_deps})
# Ice for MinGW (scripts/ice-mingw.sh prints its folder): -DIce_HOME=...
if(Ice_HOME)
  list(APPEND CMAKE_FIND_ROOT_PATH ${Ice_HOME})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees only the cross-built packages, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${_deps}/lib/pkgconfig:/usr/${_mingw}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

find_program(_wine NAMES wine64 wine)
if(_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
endif()
