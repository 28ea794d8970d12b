#include "capi/error_text.h"

#include "platform/os.h"

namespace quorvel::capi {
namespace {

// The name of a code; the shared table of Windows and Windows Sockets
// names takes this place.
const char* ErrorName(DWORD) { return nullptr; }

}  // namespace

void ErrorText(DWORD dwCode, wchar_t (&szText)[kErrorTextCch]) {
    size_t n = 0;
    if (const char* pszName = ErrorName(dwCode)) {
        while (*pszName && n < 64) szText[n++] = static_cast<wchar_t>(*pszName++);
        n += static_cast<size_t>(os::wsprintfW(szText + n, L" (%lu)", dwCode));
    } else {
        n = static_cast<size_t>(os::wsprintfW(szText, L"error %lu", dwCode));
    }
    wchar_t szMessage[kErrorTextCch - 96];
    DWORD cch = os::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, dwCode, 0, szMessage,
                                   static_cast<DWORD>(sizeof szMessage / sizeof szMessage[0]),
                                   nullptr);
    // The system's message ends in a full stop and a line break: not here.
    while (cch && (szMessage[cch - 1] == L'\r' || szMessage[cch - 1] == L'\n' ||
                   szMessage[cch - 1] == L' ' || szMessage[cch - 1] == L'.')) {
        --cch;
    }
    if (cch) {
        szText[n++] = L':';
        szText[n++] = L' ';
        for (DWORD i = 0; i < cch && n < kErrorTextCch - 1; ++i) szText[n++] = szMessage[i];
    }
    szText[n] = L'\0';
}

}  // namespace quorvel::capi
