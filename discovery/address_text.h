// Text helpers shared by the discovery sources (IPv4 text: core/ipv4_text.h).
#pragma once

#include "platform/os.h"

namespace quorvel::discovery {

// Converts ANSI text of the code page into pszTo, cut to cchTo - 1
// characters; the empty string and false if it cannot be converted.
bool CopyAnsi(const char* pszFrom, UINT uCodePage, wchar_t* pszTo, size_t cchTo);

}  // namespace quorvel::discovery
