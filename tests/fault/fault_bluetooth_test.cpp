// Every single platform failure in each Bluetooth operation, against the
// simulated stack: radio walk, radio work and inquiry, pairing and services,
// name-space lookup, authentication replies, the one-shot search and RFCOMM.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/fault/fault_runner.h"
#include "sim/sim_bluetooth.h"

namespace {

void ExpectClean(const qvfault::Outcome& outcome) {
    EXPECT_GT(outcome.calls, 0);
    EXPECT_GE(outcome.injected, outcome.calls * 3 / 4);
    for (const std::string& finding : outcome.findings) ADD_FAILURE() << finding;
}

constexpr BTH_ADDR kRadioA = 0x001122334455ull;
constexpr BTH_ADDR kRadioB = 0x00AABBCCDDEEull;
constexpr BTH_ADDR kPhone = 0x0A0B0C0D0E01ull;
constexpr BTH_ADDR kHeadset = 0x0A0B0C0D0E02ull;

bool Terminated(const wchar_t* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        if (!text[i]) return true;
    }
    return false;
}

bool Sound(const BTH_DEV_INFO& info) {
    return Terminated(info.szAddress, 48) && Terminated(info.szName, 248);
}

struct Sockets {
    Sockets() : ok(SocketInit() == 1) {}
    ~Sockets() {
        if (ok) SocketUnInit();
    }
    bool ok;
};

class FaultBluetooth : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sockets.ok);
        stack.AddRadio(kRadioA, L"first radio", 0x1C010C);
        stack.AddRadio(kRadioB, L"second radio", 0x2C010C);
        qvsim::BthDevice phone;
        phone.address = kPhone;
        phone.name = L"Phone";
        phone.classOfDevice = 0x5A020C;
        phone.remembered = phone.paired = true;
        phone.passkey = L"1234";
        stack.AddDevice(0, phone);
        qvsim::BthDevice headset = phone;
        headset.address = kHeadset;
        headset.name = L"Headset";
        headset.remembered = headset.paired = false;
        stack.AddDevice(1, headset);
        stack.SetInquiryTime(0);
    }
    // The stack's own count: every handle it handed out came back, once.
    void TearDown() override {
        EXPECT_EQ(0, stack.OpenHandles());
        EXPECT_EQ(0, stack.DoubleReleases());
    }
    Sockets sockets;
    qvsim::BluetoothStack stack;
};

}  // namespace

TEST_F(FaultBluetooth, RadioWalkRadioWorkAndInquiry) {
    ExpectClean(qvfault::RunUnderFaults("bluetooth radio walk", []() -> std::string {
        CxBthRadioFind find;
        int radios = 0;
        for (int ok = find.FindRadio(0); ok; ok = find.FindNextRadio(0)) {
            BTH_DEV_INFO info;
            std::memset(&info, 0x55, sizeof info);
            find.GetDeviceInfo(&info);
            if (!Sound(info)) return "a radio record left a text unterminated";
            if (++radios > 2) return "the walk lists more radios than there are";
        }
        CxBthRadioFind copy(find);
        find.CloseRadioHandle();
        find.FindRadioClose();
        return "";
    }));

    std::wstring radioText = qvsim::BthText(kRadioA);
    ExpectClean(qvfault::RunUnderFaults("bluetooth radio work and inquiry", [&]() -> std::string {
        CxBthRadio radio;
        if (!radio.Open(radioText.c_str())) {
            if (radio.GetSafeHandle()) return "Open failed but holds a radio";
            return "";
        }
        BLUETOOTH_RADIO_INFO info;
        std::memset(&info, 0, sizeof info);
        info.dwSize = sizeof info;
        radio.GetRadioInfo(&info);
        radio.EnableDiscovery(1);
        radio.EnableIncomingConnections(1);
        int devices = 0;
        for (int ok = radio.FindRemoteDevice(1); ok; ok = radio.FindNextRemoteDevice()) {
            BTH_DEV_INFO device;
            std::memset(&device, 0x55, sizeof device);
            radio.GetRemoteDeviceInfo(&device);
            if (!Sound(device)) return "a device record left a text unterminated";
            radio.IsRemoteDeviceAuthenticated();
            if (++devices > 2) return "the inquiry lists more devices than there are";
        }
        radio.FindRemoteDeviceClose();
        radio.EnableDiscovery(0);
        radio.Close();
        return "";
    }));
}

TEST_F(FaultBluetooth, PairingServicesLookupAndAuthentication) {
    std::wstring radioText = qvsim::BthText(kRadioA), phoneText = qvsim::BthText(kPhone);
    ExpectClean(qvfault::RunUnderFaults("bluetooth pairing and services", [&]() -> std::string {
        CxBthRadio radio;
        if (!radio.Open(radioText.c_str())) return "";
        radio.AuthenticateRemoteDevice(phoneText.c_str(), L"1234", 4);
        if (radio.FindRemoteDevice(0)) {
            radio.InstallRemoteDeviceSPPService();
            radio.IsRemoteDeviceInstallSPPService();
            BLUETOOTH_DEVICE_INFO device;
            radio.GetRemoteDeviceInfoStruct(&device);
            GUID services[8];
            unsigned long count = 8;
            radio.EnumerateInstalledServices(&device, &count, services);
        }
        radio.FindRemoteDeviceClose();
        radio.Close();
        // Not a remembered device: a clean refusal.
        CxBthRadio::RemoveRemoteDevice(L"(01:02:03:04:05:06)");
        BthAuthenDevice(radioText.c_str(), phoneText.c_str(), L"1234");
        return "";
    }));

    ExpectClean(qvfault::RunUnderFaults("bluetooth name-space lookup", []() -> std::string {
        CxBthRemoteDeviceFind find;
        int devices = 0;
        for (int ok = find.FindDevice(); ok; ok = find.FindNextDevice()) {
            BTH_DEV_INFO info;
            std::memset(&info, 0x55, sizeof info);
            find.GetDeviceInfo(&info);
            if (!Sound(info)) return "a lookup record left a text unterminated";
            if (++devices > 2) return "the lookup lists more devices than there are";
        }
        find.Close();
        return "";
    }));

    qvsim::BluetoothStack& bt = stack;
    ExpectClean(qvfault::RunUnderFaults("bluetooth authentication reply", [&]() -> std::string {
        CxBthRadioFind find;
        if (!find.FindRadio(0)) return "";
        CxBthAuthenResponse response;
        if (response.RegisterForAuthentication(find.GetRadioHandle(), L"1234") == 0) {
            bt.RequestAuthentication(kPhone);
            response.UnregisterAuthentication();
        }
        find.FindRadioClose();
        return "";
    }));

    ExpectClean(qvfault::RunUnderFaults("bluetooth one-shot search", []() -> std::string {
        wchar_t radio[48], device[48];
        unsigned char status = 0xEE;
        if (BthFindDevice(L"headset", radio, device, 0xFF, 1, &status)) {
            if (std::wcscmp(device, qvsim::BthText(kHeadset).c_str()) != 0) {
                return "BthFindDevice succeeded with another device";
            }
        }
        return "";
    }));
}

TEST_F(FaultBluetooth, RfcommListenConnectAcceptTransfer) {
    std::wstring radioText = qvsim::BthText(kRadioB);
    ExpectClean(qvfault::RunUnderFaults("bluetooth rfcomm connect/accept/transfer", [&]() -> std::string {
        CxBthServerSocket server;
        if (!server.ListenConnection(radioText.c_str(), nullptr, 5)) {
            if (!server.DisListenConnection()) server.DisListenConnection();
            return "";
        }
        CxBthClientSocket client;
        GUID service = CX_BTH_SERIAL_PORT_SERVICE_CLASS;
        if (!client.Connect(radioText.c_str(), &service, 5, 0)) {
            if (!server.DisListenConnection()) server.DisListenConnection();
            return "";
        }
        SOCKET s = server.AcceptConnection();
        CxBthClientSocket peer;
        if (s != INVALID_SOCKET) {
            peer.Attach(s);
            unsigned char data[3] = {'a', 'b', 'c'}, back[3] = {};
            if (client.Send(data, 3, 0) && peer.Recv(back, 3, 0) && std::memcmp(back, "abc", 3)) {
                return "Recv succeeded with other bytes than were sent";
            }
            wchar_t text[48];
            client.GetPeerAddress(text);
            peer.DisConnect();
            if (peer.GetSocket() != INVALID_SOCKET) peer.CloseSocket();
        }
        client.DisConnect();
        if (client.GetSocket() != INVALID_SOCKET) client.CloseSocket();
        if (!server.DisListenConnection()) server.DisListenConnection();
        return "";
    }));
}
