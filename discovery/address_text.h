// Address helpers shared by the discovery sources.
#pragma once

#include "platform/os.h"

namespace quorvel::discovery {

// Parses IPv4 text (a port is allowed) into *psa; false for NULL, for text of
// 260 characters or more, and for text the platform's parser refuses.
bool ParseIPv4(const wchar_t* pszAddr, SOCKADDR_IN* psa);
// Writes the bare dotted text of addr (port 0) into pszText.
bool AddressToText(IN_ADDR addr, wchar_t* pszText, DWORD cchText);
// Converts ANSI text of the code page into pszTo, cut to cchTo - 1
// characters; the empty string and false if it cannot be converted.
bool CopyAnsi(const char* pszFrom, UINT uCodePage, wchar_t* pszTo, size_t cchTo);

}  // namespace quorvel::discovery
