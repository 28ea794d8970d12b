#include "bluetooth/common.h"

#include <cstring>

namespace quorvel::bth {

bool AddressToText(BTH_ADDR btAddr, wchar_t* szText) {
    SOCKADDR_BTH sa;
    std::memset(&sa, 0, sizeof sa);
    sa.addressFamily = AF_BTH;
    sa.btAddr = btAddr;
    wchar_t szWork[kAddressCapacity];
    std::memset(szWork, 0, sizeof szWork);
    DWORD dwLength = kAddressCapacity;
    bool bConverted = os::WSAAddressToStringW(reinterpret_cast<LPSOCKADDR>(&sa), kSockaddrLength,
                                              nullptr, szWork, &dwLength) == 0;
    szWork[kAddressCapacity - 1] = L'\0';
    if (!bConverted) szWork[0] = L'\0';
    std::memcpy(szText, szWork, sizeof szWork);
    return bConverted;
}

bool SocketAddressToText(const SOCKADDR_BTH& sa, wchar_t* szText) {
    if (!AddressToText(sa.btAddr, szText)) return false;
    if (sa.port != 0) {
        size_t n = BoundedLength(szText, kAddressCapacity);
        wchar_t szPort[16];
        int nPort = os::wsprintfW(szPort, L":%lu", static_cast<unsigned long>(sa.port));
        // 47 characters leave room: the address text is short.
        if (nPort > 0 && n + static_cast<size_t>(nPort) < kAddressCapacity) {
            std::memcpy(szText + n, szPort, (nPort + 1) * sizeof(wchar_t));
        }
    }
    return true;
}

namespace {

void Clear(SOCKADDR_BTH* sa) {
    std::memset(sa, 0, sizeof *sa);
    sa->addressFamily = AF_BTH;
}

bool Convert(wchar_t* szText, SOCKADDR_BTH* sa) {
    Clear(sa);
    INT nLength = kSockaddrLength;
    if (os::WSAStringToAddressW(szText, AF_BTH, nullptr, reinterpret_cast<LPSOCKADDR>(sa),
                                &nLength) == 0) {
        return true;
    }
    Clear(sa);
    return false;
}

}  // namespace

bool ParseAddress(const wchar_t* szHostText, SOCKADDR_BTH* sa) {
    Clear(sa);
    if (!szHostText) return false;
    // The platform parses a bounded, writable copy: address text longer
    // than 47 characters is never handed over, and the platform reads
    // nothing past what the host gave.
    size_t n = BoundedLength(szHostText, kAddressCapacity);
    if (n == kAddressCapacity) return false;
    wchar_t szText[kAddressCapacity];
    std::memcpy(szText, szHostText, n * sizeof(wchar_t));
    szText[n] = L'\0';
    if (Convert(szText, sa)) return true;
    // "(...):channel": the address text before the channel.
    size_t colon = n;
    while (colon > 0 && szText[colon - 1] >= L'0' && szText[colon - 1] <= L'9') --colon;
    if (colon == n || colon < 2 || szText[colon - 1] != L':' || szText[colon - 2] != L')') {
        return false;
    }
    szText[colon - 1] = L'\0';
    return Convert(szText, sa);
}

BTH_DEV_INFO MakeDevInfo(BTH_ADDR btAddr, const wchar_t* szName, ULONG ulClass) {
    BTH_DEV_INFO record;
    std::memset(&record, 0, sizeof record);
    AddressToText(btAddr, record.szAddress);
    os::lstrcpynW(record.szName, szName, kNameCapacity);
    record.ulClassofDevice = ulClass;
    return record;
}

ScopedRadioFind FindFirstRadio(ScopedKernelHandle* pRadio) {
    BLUETOOTH_FIND_RADIO_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.dwSize = sizeof params;
    return ScopedRadioFind(os::BluetoothFindFirstRadio(&params, pRadio->receive()));
}

bool CopyPasskey(const wchar_t* szPasskey, unsigned long ulPasskeyLength, wchar_t* szBuffer) {
    std::memset(szBuffer, 0, kPasskeyCapacity * sizeof(wchar_t));
    if (!szPasskey || ulPasskeyLength > kPasskeyCapacity) return Fail(ERROR_INVALID_PARAMETER);
    size_t n = BoundedLength(szPasskey, kPasskeyCapacity);
    if (n >= kPasskeyCapacity) return Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(szBuffer, szPasskey, n * sizeof(wchar_t));
    return true;
}

}  // namespace quorvel::bth
