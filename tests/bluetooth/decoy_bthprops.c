/* A module named as the Bluetooth API, built beside the test programs: the
   library loads the API from the system folder and must never load this
   one, which a search by bare name would find first. Loading it leaves a
   mark in the process's environment. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) SetEnvironmentVariableW(L"QV_DECOY_BTHPROPS_LOADED", L"1");
    return TRUE;
}
