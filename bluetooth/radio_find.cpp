#include <cstring>

#include "bluetooth/common.h"

namespace os = quorvel::os;
namespace bth = quorvel::bth;
using quorvel::Fail;
using quorvel::RequireOpen;
using RadioWalk = quorvel::SharedHandle<quorvel::RadioFindTraits>;
using RadioHandle = quorvel::SharedHandle<quorvel::KernelHandleTraits>;

CxBthRadioFind::CxBthRadioFind()
    : m_hRadioFind(nullptr), m_hRadio(nullptr), m_pFindLink(nullptr), m_pRadioLink(nullptr) {
    std::memset(&m_bthDevInfo, 0, sizeof m_bthDevInfo);
}

CxBthRadioFind::CxBthRadioFind(const CxBthRadioFind& other) : CxBthRadioFind() { *this = other; }

CxBthRadioFind& CxBthRadioFind::operator=(const CxBthRadioFind& other) {
    if (this != &other) {
        FindRadioClose();  // lets go of whatever this object held
        RadioWalk(m_hRadioFind, m_pFindLink, this).ShareFrom(other.m_hRadioFind, other.m_pFindLink);
        RadioHandle(m_hRadio, m_pRadioLink, this).ShareFrom(other.m_hRadio, other.m_pRadioLink);
        m_bthDevInfo = other.m_bthDevInfo;
    }
    return *this;
}

CxBthRadioFind::~CxBthRadioFind() { FindRadioClose(); }

int CxBthRadioFind::FindRadio(int bCloseRadioHandle) {
    FindRadioClose();
    quorvel::ScopedKernelHandle radio;
    bth::ScopedRadioFind walk = bth::FindFirstRadio(&radio);
    if (!walk) return quorvel::FailedCall("BluetoothFindFirstRadio");
    if (!RadioWalk(m_hRadioFind, m_pFindLink, this).Adopt(walk.release())) return 0;
    if (radio && !RadioHandle(m_hRadio, m_pRadioLink, this).Adopt(radio.release())) {
        FindRadioClose();
        return 0;
    }
    return ReadRadio(bCloseRadioHandle);
}

int CxBthRadioFind::FindNextRadio(int bCloseRadioHandle) {
    CloseRadioHandle();
    // No walk, or one that its owner has ended.
    HBLUETOOTH_RADIO_FIND hWalk = RadioWalk(m_hRadioFind, m_pFindLink, this).Get();
    if (!RequireOpen(hWalk != nullptr)) return 0;
    HANDLE hRadio = nullptr;
    if (!os::BluetoothFindNextRadio(hWalk, &hRadio)) {
        return quorvel::FailedCall("BluetoothFindNextRadio");
    }
    if (hRadio && !RadioHandle(m_hRadio, m_pRadioLink, this).Adopt(hRadio)) return 0;
    return ReadRadio(bCloseRadioHandle);
}

// Reads the current radio's record; the handle stays open on failure.
int CxBthRadioFind::ReadRadio(int bCloseRadioHandle) {
    BLUETOOTH_RADIO_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    DWORD dwResult = os::BluetoothGetRadioInfo(m_hRadio, &info);
    if (dwResult != ERROR_SUCCESS) return Fail(dwResult);
    m_bthDevInfo = bth::MakeDevInfo(info.address.ullLong, info.szName, info.ulClassofDevice);
    if (bCloseRadioHandle) CloseRadioHandle();
    return 1;
}

void CxBthRadioFind::GetDeviceInfo(BTH_DEV_INFO* pInfo) { bth::CopyRecord(pInfo, &m_bthDevInfo); }

void* CxBthRadioFind::GetRadioHandle() { return RadioHandle(m_hRadio, m_pRadioLink, this).Get(); }

void CxBthRadioFind::CloseRadioHandle() { RadioHandle(m_hRadio, m_pRadioLink, this).Release(); }

void CxBthRadioFind::FindRadioClose() {
    CloseRadioHandle();
    RadioWalk(m_hRadioFind, m_pFindLink, this).Release();
}
