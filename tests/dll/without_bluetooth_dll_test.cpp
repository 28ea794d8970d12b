// quorvel.dll where Windows has no Bluetooth API (no bthprops.cpl).
//
// ctest runs this program twice: as test_dll, with Wine's bthprops.cpl, and
// as test_dll_without_bluetooth, with the module disabled
// (WINEDLLOVERRIDES "bthprops.cpl=d"). In the second run the program starts
// at all only because the DLL does not import the module; the socket and
// serial tests of the other files run as usual, and every Bluetooth entry
// point must fail as on a machine without a radio, with ERROR_NOT_SUPPORTED.
// That run fails on a skipped test, so the tests that need the module absent
// cannot pass by skipping there.
#include <gtest/gtest.h>

#include <cstring>

#include "quorvel/quorvel.h"

#include <ws2bth.h>
#include "tests/support/trace_capture.h"

namespace {

// Before any test: the DLL is loaded, its Bluetooth API is not.
const bool g_bthpropsAtStart = GetModuleHandleW(L"bthprops.cpl") != nullptr;

const wchar_t kRadio[] = L"(00:11:22:33:44:55)";
const wchar_t kDevice[] = L"(00:11:22:33:44:66)";

bool ModuleLoaded() { return GetModuleHandleW(L"bthprops.cpl") != nullptr; }

// Whether the system lets this process load the module at all.
bool ModuleAvailable() {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH - 16);
    if (n == 0 || n >= MAX_PATH - 16) return false;
    std::memcpy(path + n, L"\\bthprops.cpl", sizeof L"\\bthprops.cpl");
    HMODULE module = LoadLibraryW(path);
    if (module) FreeLibrary(module);
    return module != nullptr;
}

// What the system's own socket call gives for an RFCOMM socket. This program
// links only quorvel.dll; the DLL has Windows Sockets loaded.
int SystemRfcommSocketError() {
    HMODULE ws2 = GetModuleHandleW(L"ws2_32.dll");
    auto open = reinterpret_cast<SOCKET(WSAAPI*)(int, int, int)>(
        reinterpret_cast<void*>(GetProcAddress(ws2, "socket")));
    auto lastError =
        reinterpret_cast<int(WSAAPI*)()>(reinterpret_cast<void*>(GetProcAddress(ws2, "WSAGetLastError")));
    auto close = reinterpret_cast<int(WSAAPI*)(SOCKET)>(
        reinterpret_cast<void*>(GetProcAddress(ws2, "closesocket")));
    SOCKET s = open(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (s != INVALID_SOCKET) {
        close(s);
        return 0;
    }
    return lastError();
}

}  // namespace

TEST(DllBluetoothApi, LoadedOnFirstUseOrFoundAbsent) {
    EXPECT_FALSE(g_bthpropsAtStart) << "the DLL brought bthprops.cpl in at start-up";
    SetLastError(0);
    EXPECT_EQ(0, CxBthRadioFind().FindRadio(0));  // Wine has no radio either way
    DWORD dwError = GetLastError();
    if (ModuleLoaded()) {
        EXPECT_NE(static_cast<DWORD>(ERROR_NOT_SUPPORTED), dwError)
            << "the module is loaded but did not answer";
    } else {
        EXPECT_FALSE(ModuleAvailable()) << "the system has the module, the DLL did not load it";
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), dwError);
    }
}

TEST(DllWithoutBluetooth, EveryBluetoothOperationFailsAsWithoutARadio) {
    if (ModuleAvailable()) GTEST_SKIP() << "bthprops.cpl is present: see test_dll_without_bluetooth";
    const DWORD kNotSupported = ERROR_NOT_SUPPORTED;
    ASSERT_EQ(1, SocketInit());

    CxBthRadioFind radios;
    SetLastError(0);
    EXPECT_EQ(0, radios.FindRadio(0));
    EXPECT_EQ(kNotSupported, GetLastError());
    EXPECT_EQ(0, radios.FindNextRadio(1));
    EXPECT_EQ(nullptr, radios.GetRadioHandle());
    radios.FindRadioClose();

    CxBthRadio radio;
    SetLastError(0);
    EXPECT_EQ(0, radio.Open(kRadio));
    EXPECT_EQ(kNotSupported, GetLastError());
    EXPECT_EQ(nullptr, radio.GetSafeHandle());
    BLUETOOTH_RADIO_INFO radioInfo;
    std::memset(&radioInfo, 0, sizeof radioInfo);
    radioInfo.dwSize = sizeof radioInfo;
    EXPECT_EQ(kNotSupported, radio.GetRadioInfo(&radioInfo));
    SetLastError(0);
    EXPECT_EQ(0, radio.EnableDiscovery(1));
    EXPECT_EQ(kNotSupported, GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, radio.EnableIncomingConnections(1));
    EXPECT_EQ(kNotSupported, GetLastError());
    for (int flush = 0; flush < 2; ++flush) {
        SetLastError(0);
        EXPECT_EQ(0, radio.FindRemoteDevice(flush));
        EXPECT_EQ(kNotSupported, GetLastError());
        EXPECT_EQ(0, radio.FindNextRemoteDevice());
        radio.FindRemoteDeviceClose();
    }
    EXPECT_EQ(kNotSupported, radio.AuthenticateRemoteDevice(kDevice, L"1234", 4));
    EXPECT_EQ(kNotSupported, radio.AuthenticateRemoteDevice(L"1234", 4));
    BLUETOOTH_DEVICE_INFO device;
    std::memset(&device, 0, sizeof device);
    device.dwSize = sizeof device;
    unsigned long services = 10;
    GUID guids[10];
    EXPECT_EQ(kNotSupported, radio.EnumerateInstalledServices(&device, &services, guids));
    EXPECT_EQ(0ul, services);
    EXPECT_EQ(0, radio.InstallRemoteDeviceSPPService());
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(kNotSupported, CxBthRadio::RemoveRemoteDevice(kDevice));

    // The Windows Sockets name space is not part of the module: it answers
    // as it does on any system without a Bluetooth stack.
    EXPECT_EQ(0, CxBthRemoteDeviceFind().FindDevice());

    {
        CxBthAuthenResponse responder;
        responder.SetDeviceInfoStruct(&device);
        EXPECT_EQ(kNotSupported, responder.RegisterForAuthentication(nullptr, L"1234"));
        SetLastError(0);
        EXPECT_EQ(0, responder.UnregisterAuthentication());
        EXPECT_EQ(kNotSupported, GetLastError());
    }
    SetLastError(0);
    EXPECT_EQ(0, BthAuthenDevice(kRadio, kDevice, L"1234"));
    EXPECT_EQ(kNotSupported, GetLastError());

    {
        qvtest::TraceCapture trace;
        wchar_t radioText[48] = L"-", deviceText[48] = L"-";
        unsigned char status = 0;
        EXPECT_EQ(0, BthFindDevice(L"phone", radioText, deviceText, 0xFF, 1, &status));
        EXPECT_EQ(0x41, status);
        EXPECT_STREQ(L"-", radioText);
        EXPECT_STREQ(L"-", deviceText);
        ASSERT_EQ(1u, trace.Lines().size());
        EXPECT_EQ("FindRadio : 0.\n", trace.Lines()[0]);
    }

    // RFCOMM sockets fail with what the system gives for the family.
    int nSystemError = SystemRfcommSocketError();
    EXPECT_NE(0, nSystemError);
    CxBthClientSocket client;
    EXPECT_EQ(0, client.Connect(kDevice, nullptr, 3, 1));
    EXPECT_EQ(nSystemError, SocketGetLastError());
    EXPECT_EQ(0, client.IsConnected());
    CxBthServerSocket server;
    EXPECT_EQ(0, server.ListenConnection(kRadio, nullptr, 3));
    EXPECT_EQ(nSystemError, SocketGetLastError());
    EXPECT_EQ(INVALID_SOCKET, server.GetSocket());

    EXPECT_FALSE(ModuleLoaded());
    EXPECT_EQ(1, SocketUnInit());
}
