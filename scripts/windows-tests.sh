#!/usr/bin/env bash
# Windows tests: the cross build (scripts/windows-build.sh), its tests under
# Wine (the tests of local time once more with TZ set), then the Wine stage:
# Windows clients under Wine against the reference server running natively
# on 127.0.0.1 (tests/windows), checked on Linux.
#   BUILD_DIR        cross build directory (default: build-windows)
#   LINUX_BUILD_DIR  native build holding the server and the stage's driver
#                    (default: build; configured here when missing)
#   TRANSPORT=OFF    the build without Ice: no transport, no Wine stage
set -euo pipefail
cd "$(dirname "$0")/.."
stage_start=$(date +%s)
transport=${TRANSPORT:-ON}

scripts/windows-build.sh
build=$(cd "${BUILD_DIR:-build-windows}" && pwd)
source scripts/wine-env.sh
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

echo "== Tests under Wine (system time zone)"
(unset TZ; ctest --test-dir "$build" --output-on-failure -j2 --timeout 600)
echo "== Tests of local time under Wine with TZ set"
TZ=CET-1CEST ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 -R "Time|FileLog|RuntimeLog"

if [ "$transport" = ON ]; then
  echo "== Wine stage: Windows clients under Wine, the server on Linux"
  linux=${LINUX_BUILD_DIR:-build}
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$linux/CMakeCache.txt" ]; then
    cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGREPORT_WERROR="${WERROR:-OFF}" \
          "${launcher[@]}" >/dev/null
  fi
  cmake --build "$linux" -j"$(nproc)" --target logreport-server wine_stage_tests
  WINE=$(command -v wine64 || command -v wine) LOGREPORT_WINDOWS_BIN=$build/bin \
    "$linux/tests/windows/wine_stage_tests"
fi
echo "== Windows stage done in $(( $(date +%s) - stage_start )) s"
