// The DLL's load-time hook: the filter keeps no per-process or per-thread
// state, so loading and unloading do nothing and report success.
#include "source/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
