#include <cstring>
#include <type_traits>

#include "bluetooth/common.h"

using quorvel::SharedLink;
namespace os = quorvel::os;
namespace bth = quorvel::bth;

CxBthAuthenResponse::CxBthAuthenResponse()
    : m_hAuthRegistration(nullptr), m_hRadio(nullptr), m_pLink(nullptr) {
    std::memset(m_szPasskey, 0, sizeof m_szPasskey);
    std::memset(&m_btDeviceInfo, 0, sizeof m_btDeviceInfo);
}

CxBthAuthenResponse::CxBthAuthenResponse(const CxBthAuthenResponse& other)
    : m_hAuthRegistration(other.m_hAuthRegistration),
      m_hRadio(other.m_hRadio),
      m_btDeviceInfo(other.m_btDeviceInfo),
      m_pLink(SharedLink::Share(other.m_pLink)) {
    std::memcpy(m_szPasskey, other.m_szPasskey, sizeof m_szPasskey);
}

CxBthAuthenResponse& CxBthAuthenResponse::operator=(const CxBthAuthenResponse& other) {
    if (this != &other) {
        // The platform would otherwise go on calling this object back for a
        // registration it can no longer end.
        if (bth::Owns(m_pLink, this)) UnregisterAuthentication();
        SharedLink::Release(m_pLink);
        m_hAuthRegistration = other.m_hAuthRegistration;
        m_hRadio = other.m_hRadio;
        std::memcpy(m_szPasskey, other.m_szPasskey, sizeof m_szPasskey);
        m_btDeviceInfo = other.m_btDeviceInfo;
        m_pLink = SharedLink::Share(other.m_pLink);
    }
    return *this;
}

// Ends this object's own registration so that no callback reaches a
// destroyed object; a copy only lets go.
CxBthAuthenResponse::~CxBthAuthenResponse() {
    if (bth::Owns(m_pLink, this)) UnregisterAuthentication();
    SharedLink::Release(m_pLink);
}

unsigned long CxBthAuthenResponse::RegisterForAuthentication(void* hRadio,
                                                            const wchar_t* szPasskey) {
    wchar_t szNew[bth::kPasskeyCapacity];
    if (!bth::CopyPasskey(szPasskey, 0, szNew)) return ERROR_INVALID_PARAMETER;
    SharedLink* link = SharedLink::Create(this);
    if (!link) return ERROR_NOT_ENOUGH_MEMORY;

    // Replies may be asked for as soon as the platform registers: the radio
    // and passkey are in place first, and put back if registering fails.
    HANDLE hOldRadio = m_hRadio;
    wchar_t szOld[bth::kPasskeyCapacity];
    std::memcpy(szOld, m_szPasskey, sizeof szOld);
    m_hRadio = hRadio;
    std::memcpy(m_szPasskey, szNew, sizeof m_szPasskey);

    HBLUETOOTH_AUTHENTICATION_REGISTRATION hRegistration = nullptr;
    DWORD dwResult = os::BluetoothRegisterForAuthentication(&m_btDeviceInfo, &hRegistration,
                                                            &AuthenticateProc, this);
    if (dwResult != ERROR_SUCCESS) {
        m_hRadio = hOldRadio;
        std::memcpy(m_szPasskey, szOld, sizeof m_szPasskey);
        SharedLink::Release(link);
        return dwResult;
    }
    // The earlier registration of this object would be out of reach now.
    if (bth::Owns(m_pLink, this)) {
        m_pLink->live = false;
        os::BluetoothUnregisterAuthentication(m_hAuthRegistration);
    }
    SharedLink::Release(m_pLink);
    m_hAuthRegistration = hRegistration;
    m_pLink = link;
    return ERROR_SUCCESS;
}

int CxBthAuthenResponse::UnregisterAuthentication() {
    HBLUETOOTH_AUTHENTICATION_REGISTRATION hRegistration = nullptr;
    if (bth::Owns(m_pLink, this)) {
        m_pLink->live = false;
        hRegistration = m_hAuthRegistration;
    }
    // A released handle is never handed over again: later calls, a copy and
    // an object never registered pass NULL.
    m_hAuthRegistration = nullptr;
    SharedLink::Release(m_pLink);
    return os::BluetoothUnregisterAuthentication(hRegistration);
}

void CxBthAuthenResponse::SetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo) {
    if (!pDeviceInfo) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    std::memcpy(&m_btDeviceInfo, pDeviceInfo, sizeof m_btDeviceInfo);
}

void CxBthAuthenResponse::GetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo) {
    if (!pDeviceInfo) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    std::memcpy(pDeviceInfo, &m_btDeviceInfo, sizeof m_btDeviceInfo);
}

BOOL CALLBACK CxBthAuthenResponse::AuthenticateProc(void* pvParam,
                                                    BLUETOOTH_DEVICE_INFO* pDevice) {
    // The system calls it through the SDK's type: a missing CALLBACK would
    // unbalance the system's stack on x86 at every request.
    static_assert(std::is_same_v<decltype(&AuthenticateProc), os::AuthenticationCallback>,
                  "AuthenticateProc has the type of the SDK's authentication callback");
    return static_cast<CxBthAuthenResponse*>(pvParam)->OnAuthenticate(pDevice);
}

int CxBthAuthenResponse::OnAuthenticate(BLUETOOTH_DEVICE_INFO* pDevice) {
    if (!pDevice) return 0;
    wchar_t szPasskey[bth::kPasskeyCapacity];
    std::memset(szPasskey, 0, sizeof szPasskey);
    std::memcpy(szPasskey, m_szPasskey, (bth::kPasskeyCapacity - 1) * sizeof(wchar_t));
    if (os::BluetoothSendAuthenticationResponse(m_hRadio, pDevice, szPasskey) != ERROR_SUCCESS) {
        return 0;
    }
    pDevice->fAuthenticated = TRUE;
    return 1;
}

int BthAuthenDevice(const wchar_t* szRadioAddress, const wchar_t* szDeviceAddress,
                    const wchar_t* szPasskey) {
    if (!szRadioAddress || !szDeviceAddress || !szPasskey) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    CxBthRadio radio;
    if (!radio.Open(szRadioAddress)) return 0;
    // A passkey of 16 characters or more is refused by the radio object.
    unsigned long ulLength =
        static_cast<unsigned long>(bth::BoundedLength(szPasskey, bth::kPasskeyCapacity));
    unsigned long ulResult = radio.AuthenticateRemoteDevice(szDeviceAddress, szPasskey, ulLength);
    if (ulResult == WAIT_TIMEOUT) {
        ulResult = radio.AuthenticateRemoteDevice(szDeviceAddress, szPasskey, ulLength);
    } else if (ulResult == ERROR_NO_MORE_ITEMS) {
        ulResult = ERROR_SUCCESS;
    }
    radio.Close();
    return ulResult == ERROR_SUCCESS ? 1 : 0;
}
