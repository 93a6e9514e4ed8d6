#!/usr/bin/env bash
# The Windows cross build: the library, the host runtime with its Ice
# transport, the tools and the tests, for Windows x86-64 with MinGW-w64, into
# build-windows/ (programs and every DLL they need in build-windows/bin).
# Installs the cross compiler and Wine when missing; cross-builds GoogleTest
# (from /usr/src/googletest) and libdeflate (from Debian's source package)
# once into build-windows/deps, and Ice for MinGW once per machine
# (scripts/ice-mingw.sh, kept under ~/.cache/logreport). Creates the Wine
# prefix build-windows/wine-prefix, which the tests and the demo use.
#   scripts/windows-build.sh [TARGET...]   (default: everything)
#   BUILD_DIR        cross build directory (default: build-windows)
#   TRANSPORT=OFF    the build without Ice
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev googletest dpkg-dev ccache \
                binutils-mingw-w64-x86-64 patch

build=${BUILD_DIR:-build-windows}
transport=${TRANSPORT:-ON}
mkdir -p "$build"
build=$(cd "$build" && pwd)
deps=$build/deps
export LOGREPORT_WINDOWS_DEPS=$deps
host=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64-x86_64.cmake
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
jobs=$(nproc)

# Header-only libraries: only their own folders are put on the cross include
# path (never /usr/include, which holds the build machine's C library).
mkdir -p "$deps/include" "$deps/lib/pkgconfig"
for h in asio asio.hpp rapidjson CLI; do
  [ -e "/usr/include/$h" ] && ln -sfn "/usr/include/$h" "$deps/include/$h"
done

# GoogleTest, cross-built from the sources Debian ships.
if [ ! -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== Cross-building GoogleTest"
  cmake -S /usr/src/googletest -B "$build/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -Dgtest_disable_pthreads=OFF \
        "${launcher[@]}" >/dev/null
  cmake --build "$build/gtest-build" -j"$jobs" >/dev/null
  cmake --install "$build/gtest-build" >/dev/null
fi

# libdeflate, static, from Debian's own source package.
if [ ! -f "$deps/lib/libdeflate.a" ]; then
  echo "== Cross-building libdeflate from Debian's source package"
  src=$(scripts/debian-source.sh "$build/src" libdeflate)
  # libdeflate's Makefile names the static library of a MinGW build libdeflatestatic.lib.
  make -C "$src" -j"$jobs" CC=$host-gcc-posix AR=$host-ar libdeflatestatic.lib >/dev/null
  cp "$src/libdeflatestatic.lib" "$deps/lib/libdeflate.a"
  cp "$src/libdeflate.h" "$deps/include/"
  version=$(sed -n 's/^#define LIBDEFLATE_VERSION_STRING[^"]*"\([^"]*\)".*/\1/p' "$src/libdeflate.h")
  cat > "$deps/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$deps
Name: libdeflate
Description: Fast implementation of DEFLATE, zlib, and gzip (static, cross-built)
Version: $version
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -ldeflate
PC
fi

ice_args=()
if [ "$transport" = ON ]; then
  ice_start=$(date +%s)
  ice_home=$(scripts/ice-mingw.sh)
  echo "== Ice for MinGW-w64: $ice_home ($(( $(date +%s) - ice_start )) s)"
  ice_args=(-DIce_HOME="$ice_home")
fi

# Wine in a prefix of its own inside the build folder (test discovery runs
# the test programs at build time), silent, shut down when the build is done.
source scripts/wine-env.sh
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

echo "== Cross-building the project into $build (transport $transport)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DLOGREPORT_TRANSPORT="$transport" "${ice_args[@]}" -DLOGREPORT_WERROR=ON "${launcher[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j"$jobs" "${targets[@]}"

