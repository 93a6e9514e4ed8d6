// Bounds the console keeps on everything a request or a store can make it do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace console {

constexpr size_t kMaxParamBytes = 256;         // one search parameter
constexpr int kDefaultSearchLimit = 50;
constexpr int kMaxSearchLimit = 500;
constexpr int kMaxLogLines = 1000;             // lines of one log page
constexpr size_t kLogPageBytes = 64 * 1024;    // a log page reads at least this much, when it has it
constexpr size_t kMaxLogLineBytes = 16 * 1024; // longer lines are cut for display
constexpr size_t kMaxRequestJsonBytes = 1024 * 1024;
constexpr size_t kMaxLoginBodyBytes = 4096;
constexpr uint64_t kMaxZipBytes = 512ull * 1024 * 1024;  // "download all" refuses more
constexpr int kSessionHours = 12;
constexpr int kMaxSessions = 10000;
constexpr int kMaxEventStreams = 64;
constexpr int kChartDays = 7;

}  // namespace console
