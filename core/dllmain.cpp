#include <winsock2.h>
#include <windows.h>

// The library keeps no per-process or per-thread state: nothing to set up.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
