// Bluetooth from a Visual C++ host on a machine without a radio (Wine has
// none): every search reports that cleanly.
#include "host.h"

int HostMain() {
    CHECK(SocketInit() == 1);

    CxBthRadioFind radios;
    CHECK(radios.FindRadio(1) == 0);
    CHECK(radios.GetRadioHandle() == NULL);
    BTH_DEV_INFO info;
    radios.GetDeviceInfo(&info);
    CHECK(info.szAddress[0] == L'\0');
    radios.FindRadioClose();

    wchar_t szRadio[48] = {0};
    wchar_t szDevice[48] = {0};
    unsigned char status = 0;
    CHECK(BthFindDevice(L"sensor", szRadio, szDevice, 0xFF, 0, &status) == 0);
    CHECK(status == 0x41);  // no radio
    status = 7;
    CHECK(BthFindDevice(NULL, szRadio, szDevice, 0xFF, 0, &status) == 0);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER && status == 0);
    CHECK(BthAuthenDevice(L"(00:11:22:33:44:55)", L"(66:77:88:99:AA:BB)", L"1234") == 0);

    CxBthRemoteDeviceFind remote;
    CHECK(remote.FindDevice() == 0);
    CHECK(remote.FindNextDevice() == 0);
    remote.Close();

    CxBthRadio radio;
    CHECK(radio.Open(L"(00:11:22:33:44:55)") == 0);
    CHECK(radio.GetSafeHandle() == NULL);

    CxBthClientSocket client;
    GUID spp = CX_BTH_SERIAL_PORT_SERVICE_CLASS;
    CHECK(client.Connect(L"(00:11:22:33:44:55)", &spp, 1, 0) == 0);
    CHECK(client.Connect(NULL, &spp, 1, 0) == 0);
    CHECK(SocketGetLastError() == WSAEINVAL);
    CHECK(client.IsConnected() == 0);
    CxBthServerSocket server;
    CHECK(server.ListenConnection(L"(00:00:00:00:00:00)", &spp, 3) == 0);
    CHECK(server.IsListenningConnection() == 0);

    CHECK(SocketUnInit() == 1);
    return 0;
}
