#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for DURATION seconds
# (default 60) from the seeds in fuzz/corpus/<target>/. New inputs go to the
# build directory, crashes to $BUILD_DIR/crashes/<target>/.
#   fuzz/run.sh [DURATION]      BUILD_DIR=... JOBS=... to override
set -euo pipefail
duration="${1:-60}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BUILD_DIR:-$source_dir/build-fuzz}"
jobs="${JOBS:-2}"

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -DLOGREPORT_FUZZ=ON -DLOGREPORT_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(fuzz_records fuzz_reportfile fuzz_dumptrailer fuzz_serverlist fuzz_serverrequest fuzz_consoleparams)
cmake --build "$build_dir" --target "${targets[@]}" -j "$jobs"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$source_dir/fuzz/ubsan.supp"
status=0
for target in "${targets[@]}"; do
  work="$build_dir/fuzz-corpus/$target"
  crashes="$build_dir/crashes/$target"
  mkdir -p "$work" "$crashes"
  echo "== $target for ${duration}s"
  # malloc_limit_mb: inputs are a few KiB, so any large allocation is a reader
  # that trusted a length (the server target inflates through a fixed buffer
  # and caps inflated data at 1 MiB, so the same limit holds for it).
  if ! "$build_dir/fuzz/$target" -max_total_time="$duration" -malloc_limit_mb=64 -rss_limit_mb=1024 \
      -max_len=8192 -artifact_prefix="$crashes/" -print_final_stats=1 \
      "$work" $( [ -d "$source_dir/fuzz/corpus/$target" ] && echo "$source_dir/fuzz/corpus/$target" ); then
    echo "!! $target found a crash; see $crashes"
    status=1
  fi
done
exit $status
