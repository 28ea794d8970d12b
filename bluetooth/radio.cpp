#include <cstring>
#include <new>

#include "bluetooth/common.h"

using quorvel::SharedLink;
namespace os = quorvel::os;
namespace bth = quorvel::bth;
using quorvel::Fail;
using quorvel::RequireOpen;
using DeviceSearch = quorvel::SharedHandle<quorvel::DeviceFindTraits>;

namespace {

constexpr UCHAR kInquiryMultiplier = 5;  // 5 x 1.28 s
constexpr DWORD kServiceSlots = 10;

void ClearDeviceInfo(BLUETOOTH_DEVICE_INFO* pInfo) {
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->dwSize = sizeof *pInfo;
}

BLUETOOTH_DEVICE_SEARCH_PARAMS SearchParams(HANDLE hRadio) {
    BLUETOOTH_DEVICE_SEARCH_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwSize = sizeof params;
    params.cTimeoutMultiplier = kInquiryMultiplier;
    params.hRadio = hRadio;
    return params;
}

}  // namespace

// Hosts compile against this layout (core/class_sizes.cpp): new state goes
// into the State record.
// What a CxBthRadio keeps beyond its public layout; one per object, never
// shared, made when first needed.
struct CxBthRadio::State {
    bool opened = false;           // m_hRadio came from this object's own Open
    SharedLink* search = nullptr;  // m_hDeviceFind's owner record, shared with copies
};

CxBthRadio::CxBthRadio() : m_hRadio(nullptr), m_hDeviceFind(nullptr), m_pState(nullptr) {
    std::memset(&m_bthDevInfo, 0, sizeof m_bthDevInfo);
    std::memset(&m_btDeviceInfo, 0, sizeof m_btDeviceInfo);
}

// A copy shares the radio but never counts as having opened it, so its Open
// drops the radio instead of closing it under the original. It shares the
// device search while the original keeps it open.
CxBthRadio::CxBthRadio(const CxBthRadio& other) : CxBthRadio() { *this = other; }

CxBthRadio& CxBthRadio::operator=(const CxBthRadio& other) {
    if (this != &other) {
        FindRemoteDeviceClose();  // ends this object's own search, or lets go of a shared one
        m_hRadio = other.m_hRadio;
        m_bthDevInfo = other.m_bthDevInfo;
        m_btDeviceInfo = other.m_btDeviceInfo;
        if (m_pState) m_pState->opened = false;
        // Without memory for the record the copy holds no search: its
        // FindNextRemoteDevice then finds nothing.
        if (other.m_pState && other.m_pState->search && UsableState()) {
            DeviceSearch(m_hDeviceFind, m_pState->search, this)
                .ShareFrom(other.m_hDeviceFind, other.m_pState->search);
        }
    }
    return *this;
}

CxBthRadio::~CxBthRadio() {
    FindRemoteDeviceClose();
    delete m_pState;
}

CxBthRadio::State* CxBthRadio::UsableState() {
    if (!m_pState) m_pState = new (std::nothrow) State;
    if (!m_pState) Fail(ERROR_NOT_ENOUGH_MEMORY);
    return m_pState;
}

bool CxBthRadio::Opened() const { return m_pState && m_pState->opened; }

int CxBthRadio::Open(const wchar_t* szRadioAddress) {
    if (Opened()) Close();  // a borrowed radio is only dropped
    m_hRadio = nullptr;
    if (m_pState) m_pState->opened = false;
    if (!szRadioAddress) return Fail(ERROR_INVALID_PARAMETER);
    if (!UsableState()) return 0;  // nowhere to note that the radio is this object's
    SOCKADDR_BTH wanted;
    bth::ParseAddress(szRadioAddress, &wanted);

    bool bFound = false;
    {
        quorvel::ScopedKernelHandle radio;
        bth::ScopedRadioFind walk = bth::FindFirstRadio(&radio);
        if (!walk) return quorvel::FailedCall("BluetoothFindFirstRadio");
        do {
            BLUETOOTH_RADIO_INFO info;
            std::memset(&info, 0, sizeof info);
            info.dwSize = sizeof info;
            if (os::BluetoothGetRadioInfo(radio.get(), &info) == ERROR_SUCCESS &&
                info.address.ullLong == wanted.btAddr) {
                m_hRadio = radio.release();
                bFound = true;
                break;
            }
        } while (os::BluetoothFindNextRadio(walk.get(), radio.receive()));
    }  // the walk ends here, and every radio that did not match is closed
    if (!bFound) return Fail(ERROR_NOT_FOUND);
    m_pState->opened = true;
    return 1;
}

void CxBthRadio::Attach(void* hRadio) {
    m_hRadio = hRadio;
    if (m_pState) m_pState->opened = false;
}

void CxBthRadio::Close() {
    if (m_hRadio) quorvel::KernelHandleTraits::Release(m_hRadio);
    m_hRadio = nullptr;
    if (m_pState) m_pState->opened = false;
}

void* CxBthRadio::GetSafeHandle() { return m_hRadio; }

unsigned long CxBthRadio::GetRadioInfo(BLUETOOTH_RADIO_INFO* pRadioInfo) {
    return os::BluetoothGetRadioInfo(m_hRadio, pRadioInfo);
}

int CxBthRadio::EnableDiscovery(int bEnable) {
    return os::BluetoothEnableDiscovery(m_hRadio, bEnable);
}

int CxBthRadio::EnableIncomingConnections(int bEnable) {
    return os::BluetoothEnableIncomingConnections(m_hRadio, bEnable);
}

int CxBthRadio::FindRemoteDevice(int bFlushCache) {
    FindRemoteDeviceClose();  // a search still open would otherwise be lost
    if (!UsableState()) return 0;
    if (bFlushCache) FlushCacheRemoteDeviceInfo();
    ClearDeviceInfo(&m_btDeviceInfo);
    BLUETOOTH_DEVICE_SEARCH_PARAMS params = SearchParams(m_hRadio);
    params.fReturnAuthenticated = FALSE;
    params.fReturnRemembered = bFlushCache ? FALSE : TRUE;
    params.fReturnUnknown = TRUE;
    params.fReturnConnected = FALSE;
    params.fIssueInquiry = TRUE;
    HBLUETOOTH_DEVICE_FIND hFind = os::BluetoothFindFirstDevice(&params, &m_btDeviceInfo);
    if (!hFind) return quorvel::FailedCall("BluetoothFindFirstDevice");
    if (!DeviceSearch(m_hDeviceFind, m_pState->search, this).Adopt(hFind)) return 0;
    FillRemoteDeviceInfo();
    return 1;
}

int CxBthRadio::FindNextRemoteDevice() {
    // No search, or one that its starter has ended: never the stale handle,
    // which may name someone else's search by now.
    HBLUETOOTH_DEVICE_FIND hFind =
        m_pState ? DeviceSearch(m_hDeviceFind, m_pState->search, this).Get() : nullptr;
    if (!RequireOpen(hFind != nullptr)) return 0;
    if (!os::BluetoothFindNextDevice(hFind, &m_btDeviceInfo)) {
        return quorvel::FailedCall("BluetoothFindNextDevice");
    }
    FillRemoteDeviceInfo();
    return 1;
}

// Ends the search this object started; a copy only lets go of its view.
void CxBthRadio::FindRemoteDeviceClose() {
    if (m_pState) DeviceSearch(m_hDeviceFind, m_pState->search, this).Release();
}

void CxBthRadio::FillRemoteDeviceInfo() {
    m_bthDevInfo = bth::MakeDevInfo(m_btDeviceInfo.Address.ullLong, m_btDeviceInfo.szName,
                                    m_btDeviceInfo.ulClassofDevice);
}

// Makes the radio forget every device it remembers, paired ones included.
void CxBthRadio::FlushCacheRemoteDeviceInfo() {
    BLUETOOTH_DEVICE_INFO info;
    ClearDeviceInfo(&info);
    BLUETOOTH_DEVICE_SEARCH_PARAMS params = SearchParams(m_hRadio);
    params.fReturnRemembered = TRUE;
    quorvel::ScopedHandle<quorvel::DeviceFindTraits> search(
        os::BluetoothFindFirstDevice(&params, &info));
    if (!search) return;
    do {
        BLUETOOTH_ADDRESS address = info.Address;
        os::BluetoothRemoveDevice(&address);
    } while (os::BluetoothFindNextDevice(search.get(), &info));
}

void CxBthRadio::GetRemoteDeviceInfo(BTH_DEV_INFO* pInfo) { bth::CopyRecord(pInfo, &m_bthDevInfo); }

void CxBthRadio::GetRemoteDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo) {
    bth::CopyRecord(pDeviceInfo, &m_btDeviceInfo);
}

int CxBthRadio::IsRemoteDeviceAuthenticated() { return m_btDeviceInfo.fAuthenticated; }

unsigned long CxBthRadio::AuthenticateRemoteDevice(const wchar_t* szDeviceAddress,
                                                   const wchar_t* szPasskey,
                                                   unsigned long ulPasskeyLength) {
    wchar_t szBuffer[bth::kPasskeyCapacity];
    if (!bth::CopyPasskey(szPasskey, ulPasskeyLength, szBuffer)) return ERROR_INVALID_PARAMETER;
    if (!szDeviceAddress) return ERROR_INVALID_PARAMETER;
    SOCKADDR_BTH sa;
    bth::ParseAddress(szDeviceAddress, &sa);
    BLUETOOTH_DEVICE_INFO info;
    ClearDeviceInfo(&info);
    info.Address.ullLong = sa.btAddr;
    return os::BluetoothAuthenticateDevice(nullptr, m_hRadio, &info, szBuffer, ulPasskeyLength);
}

unsigned long CxBthRadio::AuthenticateRemoteDevice(const wchar_t* szPasskey,
                                                   unsigned long ulPasskeyLength) {
    wchar_t szBuffer[bth::kPasskeyCapacity];
    if (!bth::CopyPasskey(szPasskey, ulPasskeyLength, szBuffer)) return ERROR_INVALID_PARAMETER;
    return os::BluetoothAuthenticateDevice(nullptr, m_hRadio, &m_btDeviceInfo, szBuffer,
                                           ulPasskeyLength);
}

unsigned long CxBthRadio::EnumerateInstalledServices(BLUETOOTH_DEVICE_INFO* pDeviceInfo,
                                                     unsigned long* pcServices,
                                                     GUID* pGuidServices) {
    return os::BluetoothEnumerateInstalledServices(m_hRadio, pDeviceInfo, pcServices,
                                                   pGuidServices);
}

int CxBthRadio::InstallRemoteDeviceSPPService() {
    if (!RequireOpen(m_hRadio != nullptr)) return 0;
    GUID service = CX_BTH_SERIAL_PORT_SERVICE_CLASS;
    DWORD dwResult =
        os::BluetoothSetServiceState(m_hRadio, &m_btDeviceInfo, &service, BLUETOOTH_SERVICE_ENABLE);
    return dwResult == ERROR_SUCCESS ? 1 : Fail(dwResult);
}

int CxBthRadio::IsRemoteDeviceInstallSPPService() {
    if (!RequireOpen(m_hRadio != nullptr)) return 0;
    GUID services[kServiceSlots];
    std::memset(services, 0, sizeof services);
    DWORD dwCount = kServiceSlots;
    os::BluetoothEnumerateInstalledServices(m_hRadio, &m_btDeviceInfo, &dwCount, services);
    for (DWORD i = 0; i < dwCount && i < kServiceSlots; ++i) {
        if (IsEqualGUID(services[i], CX_BTH_SERIAL_PORT_SERVICE_CLASS)) return 1;
    }
    return 0;
}

unsigned long CxBthRadio::RemoveRemoteDevice(const wchar_t* szDeviceAddress) {
    if (!szDeviceAddress) return ERROR_INVALID_PARAMETER;
    SOCKADDR_BTH sa;
    bth::ParseAddress(szDeviceAddress, &sa);
    BLUETOOTH_ADDRESS address;
    std::memset(&address, 0, sizeof address);
    address.ullLong = sa.btAddr;
    return os::BluetoothRemoveDevice(&address);
}
