// Text helpers shared by the discovery sources (IPv4 text: core/ipv4_text.h).
#pragma once

#include "platform/os.h"

namespace quorvel::discovery {

// Converts ANSI text of the code page into pszTo, cut to cchTo - 1
// characters; the empty string and false if it cannot be converted.
bool CopyAnsi(const char* pszFrom, UINT uCodePage, wchar_t* pszTo, size_t cchTo);

// Reads MAC text as StringToMacAddress does (the fields up to the first
// mismatch, 0 after it); true when the whole text is six fields and nothing
// follows them.
bool ParseMacText(const wchar_t* pszMac, unsigned long long* pMac);

}  // namespace quorvel::discovery
