#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds tiny clients against the
# installed package (CMake with both include forms, and pkg-config), and runs
# them and the installed programs without LD_LIBRARY_PATH, also after the
# whole prefix has been moved elsewhere.
# Usage: run.sh BUILD_DIR WORK_DIR
set -euo pipefail
build_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work/app"
unset LD_LIBRARY_PATH
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(client CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(logReport CONFIG REQUIRED)
add_executable(client main.cpp)
target_link_libraries(client logReport::logReport)
add_executable(client_flat flat.cpp)
target_link_libraries(client_flat logReport::logReport)
CMAKE

# The installed form: the library's and the host runtime's headers by folder.
cat > "$work/app/main.cpp" <<'CPP'
#include <logReport/NQLogReport.h>
#include <logReport/logRptProtocol.h>
#include <nqhost/NQCommon.h>
#include <nqhost/NQFileLog.h>
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

# The flat form keeps working through the same target.
cat > "$work/app/flat.cpp" <<'CPP'
#include <NQLogReport.h>
#include <NQCommon.h>
#include <NQFileLog.h>
#include <logRptProtocol.h>
#include <cstdio>

int main() {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string&) {});
    NQBase::NQLogReport report;
    report.Init("client", "1.0", "PC-1", 1000, 0);
    report.Uninit();
    std::printf("flat includes: ok\n");
    return 0;
}
CPP

build_clients() {  # prefix, output dir
    cmake -S "$work/app" -B "$2" -DCMAKE_PREFIX_PATH="$1" >/dev/null
    cmake --build "$2" >/dev/null
    PKG_CONFIG_PATH="$(dirname "$(find "$1" -name logReport.pc)")" \
        sh -c "c++ -std=c++17 '$work/app/main.cpp' -o '$2/client_pc' \$(pkg-config --cflags --libs logReport)"
}

run_all() {  # prefix, clients dir
    "$2/client"
    "$2/client_flat"
    "$2/client_pc"
    "$1/bin/logreport-inspect" --help >/dev/null
    "$1/bin/logreport-server" --help >/dev/null
    echo "installed programs run from $1"
}

build_clients "$work/prefix" "$work/app/build"
run_all "$work/prefix" "$work/app/build"

# Moved prefix: the installed programs find their libraries relative to
# themselves; clients built against the moved package run too.
mv "$work/prefix" "$work/moved"
build_clients "$work/moved" "$work/app/build-moved"
run_all "$work/moved" "$work/app/build-moved"
