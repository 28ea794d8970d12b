#include <cstring>

#include "bluetooth/common.h"

using quorvel::SharedLink;
namespace os = quorvel::os;
namespace bth = quorvel::bth;

CxBthRadioFind::CxBthRadioFind()
    : m_hRadioFind(nullptr), m_hRadio(nullptr), m_pFindLink(nullptr), m_pRadioLink(nullptr) {
    std::memset(&m_bthDevInfo, 0, sizeof m_bthDevInfo);
}

CxBthRadioFind::CxBthRadioFind(const CxBthRadioFind& other)
    : m_hRadioFind(other.m_hRadioFind),
      m_hRadio(other.m_hRadio),
      m_bthDevInfo(other.m_bthDevInfo),
      m_pFindLink(SharedLink::Share(other.m_pFindLink)),
      m_pRadioLink(SharedLink::Share(other.m_pRadioLink)) {}

CxBthRadioFind& CxBthRadioFind::operator=(const CxBthRadioFind& other) {
    if (this != &other) {
        FindRadioClose();  // lets go of whatever this object held
        m_hRadioFind = other.m_hRadioFind;
        m_hRadio = other.m_hRadio;
        m_bthDevInfo = other.m_bthDevInfo;
        m_pFindLink = SharedLink::Share(other.m_pFindLink);
        m_pRadioLink = SharedLink::Share(other.m_pRadioLink);
    }
    return *this;
}

CxBthRadioFind::~CxBthRadioFind() { FindRadioClose(); }

int CxBthRadioFind::FindRadio(int bCloseRadioHandle) {
    FindRadioClose();
    HANDLE hRadio = nullptr;
    HBLUETOOTH_RADIO_FIND hFind = bth::FindFirstRadio(&hRadio);
    if (!hFind) return 0;
    m_pFindLink = SharedLink::Create(this);
    m_pRadioLink = hRadio ? SharedLink::Create(this) : nullptr;
    if (!m_pFindLink || (hRadio && !m_pRadioLink)) {
        if (hRadio) os::CloseHandle(hRadio);
        os::BluetoothFindRadioClose(hFind);
        SharedLink::Release(m_pFindLink);
        SharedLink::Release(m_pRadioLink);
        os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    m_hRadioFind = hFind;
    m_hRadio = hRadio;
    return ReadRadio(bCloseRadioHandle);
}

int CxBthRadioFind::FindNextRadio(int bCloseRadioHandle) {
    CloseRadioHandle();
    if (!bth::Live(m_pFindLink)) return 0;  // no walk, or the owner has ended it
    HANDLE hRadio = nullptr;
    if (!os::BluetoothFindNextRadio(m_hRadioFind, &hRadio)) return 0;
    if (hRadio) {
        m_pRadioLink = SharedLink::Create(this);
        if (!m_pRadioLink) {
            os::CloseHandle(hRadio);
            os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        m_hRadio = hRadio;
    }
    return ReadRadio(bCloseRadioHandle);
}

// Reads the current radio's record; the handle stays open on failure.
int CxBthRadioFind::ReadRadio(int bCloseRadioHandle) {
    BLUETOOTH_RADIO_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    if (os::BluetoothGetRadioInfo(m_hRadio, &info) != ERROR_SUCCESS) return 0;
    m_bthDevInfo = bth::MakeDevInfo(info.address.ullLong, info.szName, info.ulClassofDevice);
    if (bCloseRadioHandle) CloseRadioHandle();
    return 1;
}

void CxBthRadioFind::GetDeviceInfo(BTH_DEV_INFO* pInfo) {
    if (!pInfo) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    std::memcpy(pInfo, &m_bthDevInfo, sizeof m_bthDevInfo);
}

void* CxBthRadioFind::GetRadioHandle() { return bth::Live(m_pRadioLink) ? m_hRadio : nullptr; }

void CxBthRadioFind::CloseRadioHandle() {
    if (bth::Owns(m_pRadioLink, this)) {
        m_pRadioLink->live = false;
        os::CloseHandle(m_hRadio);
    }
    m_hRadio = nullptr;
    SharedLink::Release(m_pRadioLink);
}

void CxBthRadioFind::FindRadioClose() {
    CloseRadioHandle();
    if (bth::Owns(m_pFindLink, this)) {
        m_pFindLink->live = false;
        os::BluetoothFindRadioClose(m_hRadioFind);
    }
    m_hRadioFind = nullptr;
    SharedLink::Release(m_pFindLink);
}
