#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a tiny client project
# against the installed CMake package, then runs it.
# Usage: run.sh BUILD_DIR WORK_DIR
set -euo pipefail
build_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work/app"
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(client CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(logReport CONFIG REQUIRED)
add_executable(client main.cpp)
target_link_libraries(client logReport::logReport)
CMAKE

cat > "$work/app/main.cpp" <<'CPP'
#include <NQLogReport.h>
#include <NQCommon.h>
#include <logRptProtocol.h>
#include <cstdio>

int main() {
    int lines = 0;
    NQBase::NQSetLogSink([&lines](int, const std::string&, const std::string&) { ++lines; });
    NQBase::NQLogReport report;
    report.Init("client", "1.0", "PC-1", 1000, 0);
    report.setLocIP("127.0.0.1");
    report.startReport();
    report.stopReport();
    report.Uninit();
    NQBase::NQSetLogSink(nullptr);
    std::printf("log lines: %d\n", lines);
    return lines > 0 ? 0 : 1;
}
CPP

cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/app/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu" "$work/app/build/client"
