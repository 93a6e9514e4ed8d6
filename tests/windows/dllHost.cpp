// A Windows host that loads the library at run time: LoadLibrary of a plugin
// that links logReport.dll, threads that start and end while it reports,
// the report object destroyed, FreeLibrary; three times over, so a second
// load finds nothing left behind by the first. Exit 0 when every round ended
// and the library was unloaded each time; a hang is caught by the driver's
// time limit.
//   logreport-wine-dllhost LOGDIR SERVERS
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using StartFn = void (*)(const char*, const char*);
using ReportFn = void (*)(const char*);
using StopFn = void (*)();

const wchar_t kPlugin[] = L"logreport-wine-plugin.dll";

bool runRound(int round, const std::string& logDir, const std::string& servers) {
    HMODULE plugin = LoadLibraryW(kPlugin);
    if (!plugin) {
        std::printf("round %d: LoadLibrary failed (%lu)\n", round, GetLastError());
        return false;
    }
    auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(plugin, "pluginStart")));
    auto report = reinterpret_cast<ReportFn>(reinterpret_cast<void*>(GetProcAddress(plugin, "pluginReport")));
    auto stop = reinterpret_cast<StopFn>(reinterpret_cast<void*>(GetProcAddress(plugin, "pluginStop")));
    if (!start || !report || !stop) {
        std::printf("round %d: the plugin lacks its functions\n", round);
        FreeLibrary(plugin);
        return false;
    }
    start((logDir + "/host.log").c_str(), servers.c_str());
    // Waves of short-lived threads, each attaching to and detaching from
    // every loaded DLL while the library's own threads run.
    for (int wave = 0; wave < 5; ++wave) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([report, round, wave, t] {
                const std::string text = "dll host round " + std::to_string(round) + " wave " +
                                         std::to_string(wave) + " thread " + std::to_string(t);
                report(text.c_str());
            });
        }
        for (auto& thread : threads) thread.join();
        Sleep(100);
    }
    stop();
    if (!FreeLibrary(plugin)) {
        std::printf("round %d: FreeLibrary failed (%lu)\n", round, GetLastError());
        return false;
    }
    const bool unloaded = GetModuleHandleW(L"logReport.dll") == nullptr;
    std::printf("round %d: loaded, 40 threads reported, stopped, freed; logReport.dll %s\n", round,
                unloaded ? "unloaded" : "STILL LOADED");
    return unloaded;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LOGDIR SERVERS\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; ++round) {
        if (!runRound(round, argv[1], argv[2])) return 1;
    }
    std::printf("dll host: done\n");
    return 0;
}
