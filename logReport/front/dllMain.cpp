// Windows entry point: loading the library starts nothing; all work begins at
// Init. Thread attach/detach notifications are not needed.
#if defined(_WIN32)
#include <windows.h>

BOOL APIENTRY DllMain(HMODULE module, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
#endif
