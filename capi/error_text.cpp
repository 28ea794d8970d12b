#include "capi/error_text.h"

#include "core/error_names.h"
#include "platform/os.h"

namespace quorvel::capi {
namespace {

constexpr size_t kMessageCch = kErrorTextCch - 96;  // leaves room for the name and code

size_t AppendAscii(wchar_t* pszTo, size_t at, size_t cchMax, const char* pszFrom) {
    while (*pszFrom && at < cchMax) pszTo[at++] = static_cast<wchar_t>(*pszFrom++);
    return at;
}

}  // namespace

void ErrorText(DWORD dwCode, wchar_t (&szText)[kErrorTextCch]) {
    const ErrorName* named = FindErrorName(dwCode);
    size_t n = named ? AppendAscii(szText, 0, 64, named->name) : 0;
    n += static_cast<size_t>(os::wsprintfW(szText + n, named ? L" (%lu)" : L"error %lu", dwCode));
    wchar_t szMessage[kMessageCch];
    size_t cch = os::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, dwCode, 0, szMessage, kMessageCch, nullptr);
    // The system's message ends in a full stop and a line break: not here.
    while (cch && (szMessage[cch - 1] == L'\r' || szMessage[cch - 1] == L'\n' ||
                   szMessage[cch - 1] == L' ' || szMessage[cch - 1] == L'.')) {
        --cch;
    }
    // The library's short text where the system has none.
    if (!cch && named) cch = AppendAscii(szMessage, 0, kMessageCch - 1, named->text);
    if (cch) {
        szText[n++] = L':';
        szText[n++] = L' ';
        for (size_t i = 0; i < cch; ++i) szText[n++] = szMessage[i];
    }
    szText[n] = L'\0';
}

}  // namespace quorvel::capi
