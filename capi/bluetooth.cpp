// Bluetooth through the C interface: radios, device searches, pairing, the
// authentication answerer and RFCOMM sockets, over the C++ classes.
#include <new>

#include "bluetooth/common.h"
#include "capi/common.h"
#include "capi/finders.h"
#include "capi/sockets.h"

namespace capi = quorvel::capi;
namespace bth = quorvel::bth;
namespace os = quorvel::os;
using capi::Call;
using capi::KindBit;

namespace {

constexpr DWORD kMaxChannel = 30;

// A radio the host opened. Calls on it take their turn (RadioCall): the C++
// class keeps a search's state in the object. Its handle is closed once no
// call runs (Finish): a search under way is waited for, not cut short.
class Radio : public capi::Object {
public:
    Radio() : Object(QV_KIND_BTH_RADIO), m_turn(os::CreateEventW(nullptr, FALSE, TRUE, nullptr)) {}
    bool Made() const { return m_turn.get() != nullptr; }
    void TakeTurn() { os::WaitForSingleObject(m_turn.get(), INFINITE); }
    void EndTurn() { os::SetEvent(m_turn.get()); }
    // The protected record of the device a search made current, which the
    // service and pairing calls of the C++ class work on.
    class Access : public CxBthRadio {
    public:
        void SetCurrent(BTH_ADDR btAddr) {
            std::memset(&m_btDeviceInfo, 0, sizeof m_btDeviceInfo);
            m_btDeviceInfo.dwSize = sizeof m_btDeviceInfo;
            m_btDeviceInfo.Address.ullLong = btAddr;
        }
    };
    Access& Get() { return m_radio; }
    void Finish() override { m_radio.Close(); }

private:
    quorvel::ScopedKernelHandle m_turn;  // an auto-reset event: set while no call has the turn
    capi::Sockets m_sockets;  // address text goes through Windows Sockets
    Access m_radio;
};

// A call on a radio handle: counted on the handle, then in the radio's turn.
// A close that begins while it waits for its turn ends it.
class RadioCall {
public:
    explicit RadioCall(qv_handle radio)
        : m_call(radio, KindBit(QV_KIND_BTH_RADIO)), m_radio(m_call.Get<Radio>()) {
        if (m_radio) m_radio->TakeTurn();
    }
    ~RadioCall() {
        if (m_radio) m_radio->EndTurn();
    }
    RadioCall(const RadioCall&) = delete;
    RadioCall& operator=(const RadioCall&) = delete;
    DWORD Status() const {
        return m_call.Status() ? m_call.Status() : m_call.Closing() ? ERROR_OPERATION_ABORTED : 0;
    }
    const Call& Counted() const { return m_call; }
    Radio::Access& Get() { return m_radio->Get(); }

private:
    Call m_call;
    Radio* m_radio;
};

// Answers a device's authentication requests with a passkey, on a handle of
// the radio of its own (the host may close the radio first), which it
// closes once its registration has ended.
class Authenticator : public capi::Object {
public:
    Authenticator() : Object(QV_KIND_BTH_AUTHENTICATOR) {}
    CxBthAuthenResponse& Get() { return m_response; }
    // hRadio NULL: any radio.
    DWORD Register(HANDLE hRadio, const wchar_t* pszPasskey) {
        HANDLE hProcess = os::GetCurrentProcess();
        HANDLE hCopy = nullptr;
        if (hRadio && !os::DuplicateHandle(hProcess, hRadio, hProcess, &hCopy, 0, FALSE,
                                           DUPLICATE_SAME_ACCESS)) {
            return capi::LastError();
        }
        m_radio.reset(hCopy);
        return m_response.RegisterForAuthentication(m_radio.get(), pszPasskey);
    }
    void Shutdown() override { m_response.UnregisterAuthentication(); }
    void Finish() override { m_radio.reset(); }

private:
    quorvel::ScopedKernelHandle m_radio;  // declared first: closed after the registration ends
    CxBthAuthenResponse m_response;
};

qv_bth_device DeviceRecord(const BTH_DEV_INFO& info, DWORD dwFlags) {
    qv_bth_device device;
    std::memset(&device, 0, sizeof device);
    device.size = sizeof device;
    device.class_of_device = info.ulClassofDevice;
    device.flags = dwFlags;
    std::memcpy(device.address, info.szAddress, sizeof device.address);
    std::memcpy(device.name, info.szName, sizeof device.name);
    device.address[QV_BTH_ADDRESS_CCH - 1] = device.name[QV_BTH_NAME_CCH - 1] = L'\0';
    return device;
}

// The radio a call names: the handle's, or (NULL) a radio object of the
// call's own, which stands for every radio (or is opened on the first one).
class RadioArgument {
public:
    RadioArgument(qv_handle radio) : m_call(radio), m_bNamed(radio) {}
    DWORD Status() const { return m_bNamed ? m_call.Status() : ERROR_SUCCESS; }
    Radio::Access& Get() { return m_bNamed ? m_call.Get() : m_own; }
    // For calls that need a radio handle: the first radio, if none was named.
    DWORD OpenFirst();

private:
    RadioCall m_call;
    bool m_bNamed;
    capi::Sockets m_sockets;
    Radio::Access m_own;
};

DWORD FirstRadioAddress(wchar_t (&szAddress)[QV_BTH_ADDRESS_CCH]) {
    CxBthRadioFind find;
    if (!find.FindRadio(1)) return capi::LastError();
    BTH_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    find.GetDeviceInfo(&info);
    std::memcpy(szAddress, info.szAddress, sizeof szAddress);
    return ERROR_SUCCESS;
}

DWORD RadioArgument::OpenFirst() {
    if (m_bNamed) return ERROR_SUCCESS;
    wchar_t szAddress[QV_BTH_ADDRESS_CCH];
    if (DWORD dwStatus = FirstRadioAddress(szAddress)) return dwStatus;
    return capi::Result(m_own.Open(szAddress));
}

// A device address as text; ERROR_INVALID_PARAMETER for text that is no
// address.
DWORD DeviceAddress(const wchar_t* pszDevice, BTH_ADDR* pAddress) {
    if (!pszDevice) return capi::Refuse(ERROR_INVALID_PARAMETER);
    SOCKADDR_BTH sa;
    if (!bth::ParseAddress(pszDevice, &sa) || !sa.btAddr) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *pAddress = sa.btAddr;
    return ERROR_SUCCESS;
}

// ---- finders

int NextRadio(void* pFinder) { return static_cast<CxBthRadioFind*>(pFinder)->FindNextRadio(1); }
void ReadRadio(void* pFinder, void* pItem) {
    BTH_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    static_cast<CxBthRadioFind*>(pFinder)->GetDeviceInfo(&info);
    *static_cast<qv_bth_device*>(pItem) = DeviceRecord(info, 0);
}

int NextRemote(void* pFinder) { return static_cast<CxBthRadio*>(pFinder)->FindNextRemoteDevice(); }
void ReadRemote(void* pFinder, void* pItem) {
    CxBthRadio& radio = *static_cast<CxBthRadio*>(pFinder);
    BTH_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    radio.GetRemoteDeviceInfo(&info);
    BLUETOOTH_DEVICE_INFO device;
    std::memset(&device, 0, sizeof device);
    device.dwSize = sizeof device;
    radio.GetRemoteDeviceInfoStruct(&device);
    DWORD dwFlags = (device.fConnected ? QV_BTH_CONNECTED : 0) |
                    (device.fRemembered ? QV_BTH_REMEMBERED : 0) |
                    (device.fAuthenticated ? QV_BTH_AUTHENTICATED : 0);
    *static_cast<qv_bth_device*>(pItem) = DeviceRecord(info, dwFlags);
}

int NextLookup(void* pFinder) {
    return static_cast<CxBthRemoteDeviceFind*>(pFinder)->FindNextDevice();
}
void ReadLookup(void* pFinder, void* pItem) {
    BTH_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    static_cast<CxBthRemoteDeviceFind*>(pFinder)->GetDeviceInfo(&info);
    *static_cast<qv_bth_device*>(pItem) = DeviceRecord(info, 0);
}

// The end of a name-space lookup is its own error, not ERROR_NO_MORE_ITEMS.
int LookupStep(int nResult) {
    if (!nResult && (os::GetLastError() == WSA_E_NO_MORE || os::GetLastError() == WSAENOMORE)) {
        os::SetLastError(ERROR_NO_MORE_ITEMS);
    }
    return nResult;
}
int NextLookupStep(void* pFinder) { return LookupStep(NextLookup(pFinder)); }

}  // namespace

extern "C" {

DWORD WINAPI qv_bth_find_radios(qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    capi::Sockets sockets;
    CxBthRadioFind find;
    int nFirst = find.FindRadio(1);
    return capi::Walk(capi::List::Make<qv_bth_device>(QV_KIND_BTH_DEVICE_LIST), nFirst, NextRadio,
                      &find, ReadRadio, list);
}

DWORD WINAPI qv_bth_radio_open(const wchar_t* address, qv_handle* radio) {
    if (!radio) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *radio = nullptr;
    Radio* made = new (std::nothrow) Radio;
    if (made && !made->Made()) {
        made->Release();
        return capi::LastError();
    }
    if (!made) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    wchar_t szFirst[QV_BTH_ADDRESS_CCH];
    DWORD dwStatus = ERROR_SUCCESS;
    if (!address || !address[0]) {
        dwStatus = FirstRadioAddress(szFirst);
        address = szFirst;
    }
    if (!dwStatus) dwStatus = capi::Result(made->Get().Open(address));
    if (dwStatus) {
        made->Release();
        return dwStatus;
    }
    return capi::Register(made, radio);
}

DWORD WINAPI qv_bth_radio_info(qv_handle radio, qv_bth_device* info) {
    RadioCall call(radio);
    if (call.Status()) return call.Status();
    if (!info) return capi::Refuse(ERROR_INVALID_PARAMETER);
    BLUETOOTH_RADIO_INFO radioInfo;
    std::memset(&radioInfo, 0, sizeof radioInfo);
    radioInfo.dwSize = sizeof radioInfo;
    if (DWORD dwStatus = call.Get().GetRadioInfo(&radioInfo)) return dwStatus;
    BTH_DEV_INFO devInfo = bth::MakeDevInfo(radioInfo.address.ullLong, radioInfo.szName,
                                            radioInfo.ulClassofDevice);
    return capi::PutRecord(DeviceRecord(devInfo, 0), sizeof(qv_bth_device), info);
}

DWORD WINAPI qv_bth_radio_set_discoverable(qv_handle radio, BOOL enable) {
    RadioCall call(radio);
    if (call.Status()) return call.Status();
    return capi::Result(call.Counted(), call.Get().EnableDiscovery(enable ? 1 : 0));
}

DWORD WINAPI qv_bth_radio_set_connectable(qv_handle radio, BOOL enable) {
    RadioCall call(radio);
    if (call.Status()) return call.Status();
    return capi::Result(call.Counted(), call.Get().EnableIncomingConnections(enable ? 1 : 0));
}

DWORD WINAPI qv_bth_find_devices(qv_handle radio, DWORD flags, qv_handle* list) {
    if (list) *list = nullptr;
    RadioArgument argument(radio);
    if (argument.Status()) return argument.Status();
    if (!list || (flags & ~QV_BTH_FORGET_FIRST)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    CxBthRadio& searcher = argument.Get();
    int nFirst = searcher.FindRemoteDevice((flags & QV_BTH_FORGET_FIRST) ? 1 : 0);
    DWORD dwStatus =
        capi::Walk(capi::List::Make<qv_bth_device>(QV_KIND_BTH_DEVICE_LIST), nFirst, NextRemote,
                   &searcher, ReadRemote, list);
    searcher.FindRemoteDeviceClose();
    return dwStatus;
}

DWORD WINAPI qv_bth_lookup_devices(qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    capi::Sockets sockets;
    CxBthRemoteDeviceFind find;
    int nFirst = LookupStep(find.FindDevice());
    return capi::Walk(capi::List::Make<qv_bth_device>(QV_KIND_BTH_DEVICE_LIST), nFirst,
                      NextLookupStep, &find, ReadLookup, list);
}

DWORD WINAPI qv_bth_pair(qv_handle radio, const wchar_t* device, const wchar_t* passkey) {
    RadioArgument argument(radio);
    if (argument.Status()) return argument.Status();
    BTH_ADDR btAddr = 0;
    if (DWORD dwStatus = DeviceAddress(device, &btAddr)) return dwStatus;
    if (!passkey) return capi::Refuse(ERROR_INVALID_PARAMETER);
    size_t cch = quorvel::BoundedLength(passkey, 16);
    if (!cch || cch > 15) return capi::Refuse(ERROR_INVALID_PARAMETER);
    return argument.Get().AuthenticateRemoteDevice(device, passkey, static_cast<unsigned long>(cch));
}

DWORD WINAPI qv_bth_unpair(const wchar_t* device) {
    capi::Sockets sockets;
    BTH_ADDR btAddr = 0;
    if (DWORD dwStatus = DeviceAddress(device, &btAddr)) return dwStatus;
    return CxBthRadio::RemoveRemoteDevice(device);
}

DWORD WINAPI qv_bth_enable_serial_service(qv_handle radio, const wchar_t* device) {
    RadioArgument argument(radio);
    if (argument.Status()) return argument.Status();
    BTH_ADDR btAddr = 0;
    if (DWORD dwStatus = DeviceAddress(device, &btAddr)) return dwStatus;
    if (DWORD dwStatus = argument.OpenFirst()) return dwStatus;
    argument.Get().SetCurrent(btAddr);
    return capi::Result(argument.Get().InstallRemoteDeviceSPPService());
}

DWORD WINAPI qv_bth_authenticator_open(qv_handle radio, const wchar_t* device,
                                       const wchar_t* passkey, qv_handle* authenticator) {
    if (authenticator) *authenticator = nullptr;
    RadioArgument argument(radio);
    if (argument.Status()) return argument.Status();
    if (!authenticator || !passkey) return capi::Refuse(ERROR_INVALID_PARAMETER);
    size_t cch = quorvel::BoundedLength(passkey, 16);
    if (!cch || cch > 15) return capi::Refuse(ERROR_INVALID_PARAMETER);
    BTH_ADDR btAddr = 0;  // every device
    if (device) {
        if (DWORD dwStatus = DeviceAddress(device, &btAddr)) return dwStatus;
    }
    Authenticator* made = new (std::nothrow) Authenticator;
    if (!made) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    BLUETOOTH_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    info.Address.ullLong = btAddr;
    made->Get().SetDeviceInfoStruct(&info);
    DWORD dwStatus = made->Register(argument.Get().GetSafeHandle(), passkey);
    if (dwStatus) {
        made->Release();
        return dwStatus;
    }
    return capi::Register(made, authenticator);
}

DWORD WINAPI qv_rfcomm_connect(const wchar_t* device, const GUID* service, DWORD channel,
                               DWORD timeout_ms, qv_handle* connection) {
    if (!connection) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *connection = nullptr;
    if (channel > kMaxChannel || (!channel && !service)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Connection>(&dwStatus, QV_KIND_RFCOMM);
    if (!endpoint) return dwStatus;
    BTH_ADDR btAddr = 0;
    if ((dwStatus = DeviceAddress(device, &btAddr)) != 0) {
        endpoint->Release();
        return dwStatus;
    }
    GUID serviceClass = service ? *service : GUID();
    return capi::Opened(endpoint,
                        endpoint->Client().Connect(device, service ? &serviceClass : nullptr,
                                                   channel, 0, timeout_ms),
                        connection);
}

DWORD WINAPI qv_rfcomm_listen(const wchar_t* radio, DWORD channel, qv_handle* server) {
    if (!server) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *server = nullptr;
    if (channel > kMaxChannel) return capi::Refuse(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Server>(&dwStatus, QV_KIND_RFCOMM_SERVER);
    if (!endpoint) return dwStatus;
    return capi::Opened(endpoint,
                        endpoint->Listener().ListenConnection(radio ? radio : L"", nullptr, channel),
                        server);
}

}  // extern "C"
