// The platform layer loads the Bluetooth API (bthprops.cpl) on the first
// Bluetooth call, once for every thread, and lets it go on release. Wine
// provides the module (its radio search fails with an error of its own), so
// each call here must reach it rather than fail as if it were absent.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"

namespace os = quorvel::os;

namespace {

bool ModuleLoaded() { return GetModuleHandleW(L"bthprops.cpl") != nullptr; }

// The radio search through the platform layer's own default operation; the
// thread's last error afterwards.
DWORD SearchRadios() {
    BLUETOOTH_FIND_RADIO_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwSize = sizeof params;
    HANDLE hRadio = nullptr;
    SetLastError(0);
    HBLUETOOTH_RADIO_FIND hFind = os::BluetoothFindFirstRadio(&params, &hRadio);
    DWORD dwError = GetLastError();
    if (hFind) os::BluetoothFindRadioClose(hFind);
    if (hRadio) CloseHandle(hRadio);
    return hFind ? ERROR_SUCCESS : dwError;
}

}  // namespace

TEST(BluetoothApi, LoadedOnceByConcurrentFirstCallsAndLetGoOnRelease) {
    ASSERT_EQ(&os::bthprops::BluetoothFindFirstRadio, os::BluetoothFindFirstRadio);
    os::ReleaseOptionalModules();
    ASSERT_FALSE(ModuleLoaded());

    for (int round = 0; round < 3; ++round) {
        // Every thread makes its first call at the same moment: each must be
        // answered by the module, none may see a table still being filled.
        constexpr int kThreads = 16;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<DWORD> errors(kThreads, ERROR_NOT_SUPPORTED);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (!go) std::this_thread::yield();
                errors[i] = SearchRadios();
            });
        }
        while (ready < kThreads) std::this_thread::yield();
        go = true;
        for (std::thread& t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) {
            EXPECT_NE(static_cast<DWORD>(ERROR_NOT_SUPPORTED), errors[i])
                << "round " << round << ", thread " << i << " found no Bluetooth API";
        }
        EXPECT_TRUE(ModuleLoaded());
        EXPECT_EQ(errors[0], SearchRadios());  // later calls: the same answer

        os::ReleaseOptionalModules();
        EXPECT_FALSE(ModuleLoaded()) << "round " << round;
    }
    os::ReleaseOptionalModules();  // twice in a row: nothing left to release
    EXPECT_FALSE(ModuleLoaded());
}

// The API comes from the system folder, never from beside the host, where
// the build puts a decoy of the same name (decoy_bthprops.c).
TEST(BluetoothApi, NeverLoadedFromBesideTheHost) {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, path, MAX_PATH));
    std::wstring decoy = std::wstring(path, std::wcsrchr(path, L'\\') + 1) + L"bthprops.cpl";
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(decoy.c_str())) << "no decoy to refuse";
    os::ReleaseOptionalModules();
    SearchRadios();
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"QV_DECOY_BTHPROPS_LOADED", nullptr, 0))
        << "the decoy beside the host was loaded";
    HMODULE module = GetModuleHandleW(L"bthprops.cpl");
    ASSERT_NE(nullptr, module);
    wchar_t loaded[MAX_PATH], system[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(module, loaded, MAX_PATH));
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(0, _wcsnicmp(loaded, system, n)) << "loaded from " << loaded;
    os::ReleaseOptionalModules();
}
