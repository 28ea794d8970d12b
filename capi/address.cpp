// IPv4 and MAC address text through the C interface.
#include "capi/common.h"
#include "discovery/address_text.h"

namespace capi = quorvel::capi;

extern "C" {

DWORD WINAPI qv_ip_is_usable(const wchar_t* text, BOOL* usable) {
    if (usable) *usable = FALSE;
    if (!text || !usable) return capi::Refuse(ERROR_INVALID_PARAMETER);
    capi::Sockets sockets;
    *usable = IsValidIPAddress(text) ? TRUE : FALSE;
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_resolve(const wchar_t* name, wchar_t* address, DWORD capacity, DWORD* length) {
    if (length) *length = 0;
    if (!name || (!address && capacity)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    capi::Sockets sockets;
    wchar_t szAddress[QV_IPADDR_CCH] = {};
    if (!GetIPAddrByDomainName(name, szAddress)) return capi::LastError();
    return capi::PutText(szAddress, QV_IPADDR_CCH, address, capacity, length);
}

DWORD WINAPI qv_first_local_address(wchar_t* address, DWORD capacity, DWORD* length) {
    if (length) *length = 0;
    if (!address && capacity) return capi::Refuse(ERROR_INVALID_PARAMETER);
    capi::Sockets sockets;
    wchar_t szAddress[QV_IPADDR_CCH] = {};
    if (!GetFirstValidIPAddress(szAddress)) {
        DWORD dwError = capi::LastError();
        return szAddress[0] ? ERROR_NOT_FOUND : dwError;  // only refused addresses
    }
    return capi::PutText(szAddress, QV_IPADDR_CCH, address, capacity, length);
}

DWORD WINAPI qv_mac_to_text(const BYTE* mac, wchar_t* text, DWORD capacity, DWORD* length) {
    if (length) *length = 0;
    if (!mac || (!text && capacity)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    unsigned long long ullMac = 0;
    for (int i = 0; i < 6; ++i) ullMac |= static_cast<unsigned long long>(mac[i]) << (8 * i);
    wchar_t szText[QV_MACADDR_CCH] = {};
    MacAddressToString(&ullMac, szText, QV_MACADDR_CCH);
    return capi::PutText(szText, QV_MACADDR_CCH, text, capacity, length);
}

DWORD WINAPI qv_mac_from_text(const wchar_t* text, BYTE* mac) {
    if (!text || !mac) return capi::Refuse(ERROR_INVALID_PARAMETER);
    unsigned long long ullMac = 0;
    if (quorvel::BoundedLength(text, QV_MACADDR_CCH) >= QV_MACADDR_CCH ||
        !quorvel::discovery::ParseMacText(text, &ullMac)) {
        return capi::Refuse(ERROR_INVALID_PARAMETER);
    }
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<BYTE>(ullMac >> (8 * i));
    return ERROR_SUCCESS;
}

}  // extern "C"
