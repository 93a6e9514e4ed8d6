#!/usr/bin/env bash
# Ice 3.7 C++11 for MinGW-w64 (Ice++11, IceSSL++11 with SChannel, bzip2
# inside), cross-built from Debian's zeroc-ice and bzip2 source packages of
# the same versions as this machine's slice2cpp and libbz2, and kept in
#   ${XDG_CACHE_HOME:-$HOME/.cache}/logreport/ice-mingw-<key>
# where <key> digests everything that makes the tree: both source versions,
# this script, scripts/ice-mingw/ (patch and CMake project), the compiler and
# the MinGW headers. Every clone on the machine reuses it; a missing tree is
# built (about 6 minutes on 2 quiet cores). Prints the tree's folder (for
# Ice_HOME) on stdout; progress goes to stderr.
#   ICE_MINGW_CACHE  overrides the cache folder
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host=x86_64-w64-mingw32

source_version() { dpkg-query -W -f '${source:Version}' "$1"; }
ice_version=$(source_version zeroc-ice-compilers)
bzip2_version=$(source_version libbz2-1.0)
slice2cpp=$(command -v slice2cpp)

key=$( {
  echo "zeroc-ice $ice_version bzip2 $bzip2_version"
  dpkg-query -W -f '${Package} ${Version}\n' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  $host-g++-posix --version | head -n 1
  cat scripts/ice-mingw.sh scripts/debian-source.sh scripts/ice-mingw/*
} | sha256sum | cut -c1-16)

cache=${ICE_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/logreport}
prefix=$cache/ice-mingw-$key
mkdir -p "$cache"

# One builder at a time per machine; the others wait and reuse its tree.
exec 9>"$cache/ice-mingw.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

echo "== Cross-building Ice $ice_version for MinGW-w64 into $prefix" >&2
start=$(date +%s)
work=$cache/ice-mingw-build-$key
rm -rf "$work" "$prefix.partial"
mkdir -p "$work"
mapfile -t srcs < <(scripts/debian-source.sh "$work/src" "zeroc-ice=$ice_version" "bzip2=$bzip2_version")
ice_src=${srcs[0]}
bzip2_src=${srcs[1]}
patch -d "$ice_src" -p1 --forward --quiet < scripts/ice-mingw/ice-mingw.patch

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S scripts/ice-mingw -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix.partial" \
      -DICE_SOURCE_DIR="$ice_src" -DBZIP2_SOURCE_DIR="$bzip2_src" -DSLICE2CPP="$slice2cpp" \
      "${launcher[@]}" >&2
cmake --build "$work/build" -j"$(nproc)" >&2
cmake --install "$work/build" >&2
echo "$ice_version" > "$prefix.partial/VERSION"
touch "$prefix.partial/.complete"
mv "$prefix.partial" "$prefix"
rm -rf "$work"
echo "== Ice for MinGW-w64 built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"
