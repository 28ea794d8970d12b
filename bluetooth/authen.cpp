#include <cstring>
#include <type_traits>

#include "bluetooth/common.h"

namespace os = quorvel::os;
namespace bth = quorvel::bth;
using Registration = quorvel::SharedHandle<quorvel::AuthRegistrationTraits>;

CxBthAuthenResponse::CxBthAuthenResponse()
    : m_hAuthRegistration(nullptr), m_hRadio(nullptr), m_pLink(nullptr) {
    std::memset(m_szPasskey, 0, sizeof m_szPasskey);
    std::memset(&m_btDeviceInfo, 0, sizeof m_btDeviceInfo);
}

CxBthAuthenResponse::CxBthAuthenResponse(const CxBthAuthenResponse& other)
    : CxBthAuthenResponse() {
    *this = other;
}

// The object that registered ends its registration before it takes another
// object's values, and in its destructor, so that the platform never calls
// back an object for a registration it can no longer end; a copy only lets go.
CxBthAuthenResponse& CxBthAuthenResponse::operator=(const CxBthAuthenResponse& other) {
    if (this != &other) {
        Registration registration(m_hAuthRegistration, m_pLink, this);
        registration.Release();
        registration.ShareFrom(other.m_hAuthRegistration, other.m_pLink);
        m_hRadio = other.m_hRadio;
        std::memcpy(m_szPasskey, other.m_szPasskey, sizeof m_szPasskey);
        m_btDeviceInfo = other.m_btDeviceInfo;
    }
    return *this;
}

CxBthAuthenResponse::~CxBthAuthenResponse() {
    Registration(m_hAuthRegistration, m_pLink, this).Release();
}

unsigned long CxBthAuthenResponse::RegisterForAuthentication(void* hRadio,
                                                            const wchar_t* szPasskey) {
    wchar_t szNew[bth::kPasskeyCapacity];
    if (!bth::CopyPasskey(szPasskey, 0, szNew)) return ERROR_INVALID_PARAMETER;

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
    // The earlier registration of this object would be out of reach once
    // the new one is held: it ends then.
    if (dwResult == ERROR_SUCCESS &&
        !Registration(m_hAuthRegistration, m_pLink, this).Adopt(hRegistration)) {
        dwResult = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (dwResult != ERROR_SUCCESS) {
        m_hRadio = hOldRadio;
        std::memcpy(m_szPasskey, szOld, sizeof m_szPasskey);
    }
    return dwResult;
}

int CxBthAuthenResponse::UnregisterAuthentication() {
    Registration registration(m_hAuthRegistration, m_pLink, this);
    if (registration.Owns()) {
        return registration.Close() ? 1 : quorvel::FailedCall("BluetoothUnregisterAuthentication");
    }
    // A released handle is never handed over again: later calls, a copy and
    // an object never registered pass NULL.
    registration.Release();
    return os::BluetoothUnregisterAuthentication(nullptr);
}

void CxBthAuthenResponse::SetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo) {
    bth::CopyRecord(&m_btDeviceInfo, pDeviceInfo);
}

void CxBthAuthenResponse::GetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo) {
    bth::CopyRecord(pDeviceInfo, &m_btDeviceInfo);
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
        return quorvel::FailedCall("BluetoothSendAuthenticationResponse");
    }
    pDevice->fAuthenticated = TRUE;
    return 1;
}

int BthAuthenDevice(const wchar_t* szRadioAddress, const wchar_t* szDeviceAddress,
                    const wchar_t* szPasskey) {
    if (!szRadioAddress || !szDeviceAddress || !szPasskey) {
        return quorvel::Fail(ERROR_INVALID_PARAMETER);
    }
    CxBthRadio radio;
    if (!radio.Open(szRadioAddress)) return 0;
    // A passkey of 16 characters or more is refused by the radio object.
    unsigned long ulLength =
        static_cast<unsigned long>(quorvel::BoundedLength(szPasskey, bth::kPasskeyCapacity));
    unsigned long ulResult = radio.AuthenticateRemoteDevice(szDeviceAddress, szPasskey, ulLength);
    if (ulResult == WAIT_TIMEOUT) {
        ulResult = radio.AuthenticateRemoteDevice(szDeviceAddress, szPasskey, ulLength);
    } else if (ulResult == ERROR_NO_MORE_ITEMS) {
        ulResult = ERROR_SUCCESS;
    }
    radio.Close();
    return ulResult == ERROR_SUCCESS ? 1 : quorvel::Fail(ulResult);
}
