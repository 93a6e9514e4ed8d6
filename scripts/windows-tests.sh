#!/usr/bin/env bash
# Windows test build: cross-compiles the library, the host runtime and their
# tests for Windows x86-64 with MinGW-w64 into build-windows/, with the Ice
# transport switched off, and runs the tests under Wine (the tests of local
# time once more with TZ set). Installs the cross compiler and Wine when
# missing; cross-builds GoogleTest (from /usr/src/googletest) and libdeflate
# (from Debian's source package) once into build-windows/deps.
#   BUILD_DIR  cross build directory (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev googletest dpkg-dev ccache

build=${BUILD_DIR:-build-windows}
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

# libdeflate, static, from Debian's own source package. The source archive is
# reached through a private apt configuration: a deb-src entry for the same
# mirror and suite as this machine's first deb entry.
debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS=""} /Types:[^\n]*deb([ \n]|$)/ && !/-security/ {
           match($0, /URIs: *[^ \n]+/); u=substr($0, RSTART+6, RLENGTH-6); gsub(/ /, "", u)
           match($0, /Suites: *[^ \n]+/); s=substr($0, RSTART+8, RLENGTH-8); gsub(/ /, "", s)
           print u, s; exit }' "$f"
  done
  if [ -f /etc/apt/sources.list ]; then
    awk '$1=="deb" && $0 !~ /-security/ { i=2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i+1); exit }' \
        /etc/apt/sources.list
  fi
}
if [ ! -f "$deps/lib/libdeflate.a" ]; then
  echo "== Cross-building libdeflate from Debian's source package"
  read -r mirror suite < <(debian_mirror | head -n 1)
  [ -n "${mirror:-}" ] && [ -n "${suite:-}" ] || { echo "no deb entry found in the apt sources" >&2; exit 1; }
  apt_dir=$build/apt-src
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$build/src"
  : > "$apt_dir/sources.list"
  printf 'deb-src %s %s main\n' "$mirror" "$suite" > "$apt_dir/parts/src.list"
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
  apt-get "${apt_opts[@]}" update -qq
  (cd "$build/src" && rm -rf libdeflate-* libdeflate_* &&
     apt-get "${apt_opts[@]}" source --download-only libdeflate >/dev/null &&
     dpkg-source -x --no-check libdeflate_*.dsc >/dev/null)
  src=$(ls -d "$build"/src/libdeflate-*/ | head -n 1)
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

# Wine in a prefix of its own inside the build folder, silent, and shut down
# at the end whatever happens, so no wineserver outlives the run.
export WINEPREFIX=$build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi

echo "== Cross-building the project into $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DLOGREPORT_TRANSPORT=OFF -DLOGREPORT_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$jobs"

echo "== Tests under Wine (system time zone)"
(unset TZ; ctest --test-dir "$build" --output-on-failure -j2 --timeout 600)
echo "== Tests of local time under Wine with TZ set"
TZ=CET-1CEST ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 -R "Time|FileLog|RuntimeLog"
