#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
# The end-to-end tests start their own log servers on 127.0.0.1.
#   BUILD_DIR   build directory (default: build)
#   SANITIZE=ON build with AddressSanitizer + UndefinedBehaviorSanitizer
#   WERROR=ON   warnings are errors
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build_dir=${BUILD_DIR:-build}
build_type=RelWithDebInfo
[ "${SANITIZE:-OFF}" = ON ] && build_type=Debug
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=$build_type \
      -DLOGREPORT_SANITIZE="${SANITIZE:-OFF}" -DLOGREPORT_WERROR="${WERROR:-OFF}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
  ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 600
