// A host that loads quorvel.dll at run time, makes one Bluetooth call and
// unloads the DLL: the Bluetooth API (bthprops.cpl), which the DLL loads on
// first use and never imports, goes with it. Prints PASSED or what failed.
#include <windows.h>

#include <cstdio>

namespace {

bool Loaded(const wchar_t* module) { return GetModuleHandleW(module) != nullptr; }

int Fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    if (Loaded(L"bthprops.cpl")) return Fail("bthprops.cpl was loaded before the DLL");
    HMODULE dll = LoadLibraryW(L"quorvel.dll");
    if (!dll) return Fail("quorvel.dll does not load");
    if (Loaded(L"bthprops.cpl")) return Fail("loading quorvel.dll brought bthprops.cpl in");

    // int BthFindDevice(const wchar_t*, wchar_t*, wchar_t*, unsigned char, int, unsigned char*)
    using FindDevice = int (*)(const wchar_t*, wchar_t*, wchar_t*, unsigned char, int,
                               unsigned char*);
    auto find = reinterpret_cast<FindDevice>(
        reinterpret_cast<void*>(GetProcAddress(dll, "_Z13BthFindDevicePKwPwS1_hiPh")));
    if (!find) return Fail("quorvel.dll does not export BthFindDevice");
    wchar_t radio[48], device[48];
    unsigned char status = 0;
    if (find(L"phone", radio, device, 0xFF, 0, &status) != 0 || status != 0x41) {
        return Fail("BthFindDevice found a radio under Wine");
    }
    if (!Loaded(L"bthprops.cpl")) return Fail("the first Bluetooth call did not load bthprops.cpl");

    if (!FreeLibrary(dll)) return Fail("FreeLibrary(quorvel.dll) failed");
    if (Loaded(L"quorvel.dll")) return Fail("quorvel.dll stayed loaded");
    if (Loaded(L"bthprops.cpl")) return Fail("bthprops.cpl stayed loaded after quorvel.dll was unloaded");
    std::printf("PASSED: bthprops.cpl loaded on the first Bluetooth call, released with the DLL\n");
    return 0;
}
