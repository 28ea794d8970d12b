// Every single platform failure during each finder's walk and the address
// text services, against the device fixtures and simulated hosts/adapters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/fault/fault_runner.h"
#include "sim/sim_adapters.h"
#include "sim/sim_devices.h"
#include "sim/sim_hosts.h"

namespace {

void ExpectClean(const qvfault::Outcome& outcome, long stride = 1) {
    EXPECT_GT(outcome.calls, 0);
    EXPECT_GE(outcome.injected, outcome.calls / stride * 3 / 4);
    for (const std::string& finding : outcome.findings) ADD_FAILURE() << finding;
}

// {5A1E0F2D-7C3B-4E59-9D0A-6B8C2F1E4D37}: an interface class of this suite.
constexpr GUID kFaultClass = {
    0x5a1e0f2d, 0x7c3b, 0x4e59, {0x9d, 0x0a, 0x6b, 0x8c, 0x2f, 0x1e, 0x4d, 0x37}};

bool Terminated(const wchar_t* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        if (!text[i]) return true;
    }
    return false;
}

}  // namespace

TEST(Fault, DeviceInterfaceAndDeviceMapWalks) {
    qvsim::SimDevice a(qvsim::PortLikeDevice(L"QVFAULTA", kFaultClass));
    qvsim::SimDevice b(qvsim::PortLikeDevice(L"QVFAULTB", kFaultClass));
    ASSERT_TRUE(a.Ok() && b.Ok()) << a.Error();
    ExpectClean(qvfault::RunUnderFaults("device interface walk", []() -> std::string {
        GUID cls = kFaultClass;
        CxDeviceFind find;
        int listed = 0;
        for (int ok = find.FindDevice(&cls); ok; ok = find.FindNextDevice()) {
            wchar_t text[260];
            void (CxDeviceFind::*getters[])(wchar_t*) = {
                &CxDeviceFind::GetDevicePath, &CxDeviceFind::GetDeviceInstanceID,
                &CxDeviceFind::GetDeviceHardwareID, &CxDeviceFind::GetDeviceFriendlyName,
                &CxDeviceFind::GetDeviceLocationInfo, &CxDeviceFind::GetDeviceDescription};
            for (auto getter : getters) {
                std::memset(text, 0x55, sizeof text);
                (find.*getter)(text);
                if (!Terminated(text, 260)) return "a getter left its text unterminated";
            }
            if (++listed > 2) return "the walk lists more interfaces than there are";
        }
        CxDeviceFind copy(find);
        copy.Close();
        find.Close();
        if (find.FindNextDevice()) return "FindNextDevice after Close succeeded";
        return "";
    }));

    qvsim::DeviceMapValue s(L"SERIALCOMM", L"\\Device\\QvFault0", L"COM44");
    qvsim::DeviceMapValue p(L"PARALLEL PORTS", L"\\Device\\QvFault1", L"LPT9");
    ASSERT_TRUE(s.Ok() && p.Ok());
    ExpectClean(qvfault::RunUnderFaults("device map walk", []() -> std::string {
        for (GUID cls : {QV_GUID_DEVINTERFACE_COMPORT, QV_GUID_DEVINTERFACE_PARALLEL}) {
            CxDeviceMapFind find;
            for (int ok = find.FindDeviceMap(&cls); ok; ok = find.FindNextDeviceMap()) {
                wchar_t path[260];
                std::memset(path, 0x55, sizeof path);
                find.GetDevicePath(path);
                if (!Terminated(path, 260)) return "GetDevicePath left its text unterminated";
            }
            find.Close();
        }
        return "";
    }));
}

TEST(Fault, SerialPortList) {
    qvsim::DeviceDesc desc;
    desc.interfaceClass = QV_GUID_DEVINTERFACE_COMPORT;
    desc.setupClass = qvsim::kPortsSetupClass;
    desc.name = L"QVFAULTPORT";
    desc.instanceId = L"USB\\VID_0403&PID_6001\\QVF0001";
    desc.hardwareIds = {L"USB\\VID_0403&PID_6001&REV_0600"};
    desc.friendlyName = L"Fault Port (COM46)";
    desc.portName = L"COM46";
    qvsim::SimDevice port(desc);
    qvsim::DeviceMapValue mapped(L"SERIALCOMM", L"\\Device\\QvFault2", L"COM46");
    ASSERT_TRUE(port.Ok() && mapped.Ok()) << port.Error();
    ExpectClean(qvfault::RunUnderFaults("serial port list", []() -> std::string {
        CxSerialPortFind find;
        int listed = 0;
        for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
            wchar_t text[260];
            void (CxSerialPortFind::*getters[])(wchar_t*) = {
                &CxSerialPortFind::GetPortName, &CxSerialPortFind::GetDevicePath,
                &CxSerialPortFind::GetFriendlyName, &CxSerialPortFind::GetHardwareID,
                &CxSerialPortFind::GetInstanceID, &CxSerialPortFind::GetSerialNumber};
            for (auto getter : getters) {
                std::memset(text, 0x55, sizeof text);
                (find.*getter)(text);
                if (!Terminated(text, 260)) return "a getter left its text unterminated";
            }
            find.GetPortName(text);
            if (std::wstring(text) == L"COM46" && ++listed > 1) return "COM46 is listed twice";
        }
        CxSerialPortFind copy(find);
        copy.Close();
        find.Close();
        if (find.FindNextPort()) return "FindNextPort after Close succeeded";
        return "";
    }));
}

TEST(Fault, AdaptersAddressesAndHostScan) {
    {
        qvsim::AdapterList list(3, sizeof(IP_ADAPTER_INFO) - 8);
        ExpectClean(qvfault::RunUnderFaults("adapter walk", []() -> std::string {
            CxAdapterFind find;
            int listed = 0;
            for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter()) {
                IP_ADAPTER_INFO info;
                find.GetAdapterInfo(&info);
                if (++listed > 3) return "the walk lists more adapters than there are";
            }
            CxAdapterFind copy(find);
            find.FindAdapterClose();
            return "";
        }));
    }

    qvsim::Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    qvsim::HostNet net({"10.77.5.23", "192.168.9.4"});
    net.AddHost(5, 0x0000665544332211ULL, "alpha.lan");
    net.AddHost(9, 0x0000000000000042ULL, "");
    ExpectClean(qvfault::RunUnderFaults("local addresses and address text", []() -> std::string {
        CxLocalHostIPAddrFind find;
        for (int ok = find.FindIPAddr(); ok; ok = find.FindNextIPAddr()) {
            wchar_t address[64];
            find.GetIPAddr(address);
            if (!Terminated(address, 64)) return "GetIPAddr left its text unterminated";
        }
        find.FindIPAddrClose();
        wchar_t first[64];
        std::memset(first, 0x55, sizeof first);
        if (GetFirstValidIPAddress(first) && !Terminated(first, 64)) {
            return "GetFirstValidIPAddress succeeded with an unterminated text";
        }
        wchar_t resolved[64] = {};
        if (GetIPAddrByDomainName(L"qv-sim-host", resolved) &&
            std::wcscmp(resolved, L"10.77.5.23") != 0) {
            return "GetIPAddrByDomainName succeeded with another address";
        }
        if (IsValidIPAddress(L"127.0.0.1")) return "loopback text counted as valid";
        unsigned long long mac = 0;
        StringToMacAddress(L"11-22-33-44-55-66", &mac);
        wchar_t text[48];
        MacAddressToString(&mac, text, 48);
        return "";
    }));

    // About 400 calls (64 workers): the suite fails every 13th.
    ExpectClean(qvfault::RunUnderFaults("subnet host scan", []() -> std::string {
        CxNetworkHostFind find;
        int found = 0;
        for (int ok = find.FindHost(); ok; ok = find.FindNextHost()) {
            NET_HOST_INFO info;
            find.GetHostInfo(&info);
            if (!Terminated(info.szIPAddress, 64) || !Terminated(info.szMacAddress, 48) ||
                !Terminated(info.szHostName, 256)) {
                return "GetHostInfo left a text unterminated";
            }
            if (++found > 2) return "the scan lists more hosts than answer";
        }
        find.FindHostClose();
        return "";
    }, 120000, 13), 13);
}
