#include "core/trace.h"

#include <cstdarg>

#include "platform/os.h"

namespace quorvel {

void Trace(const wchar_t* pszFormat, ...) {
    // wvsprintfW writes at most 1024 characters with the terminator; the
    // line is cut from there into the 260-character trace buffer.
    wchar_t szLine[1025];
    va_list args;
    va_start(args, pszFormat);
    int nLength = os::wvsprintfW(szLine, pszFormat, args);
    va_end(args);
    if (nLength < 0) return;
    szLine[1024] = L'\0';

    wchar_t szDebug[260];
    os::lstrcpynW(szDebug, szLine, 260);
    if (nLength > 259) {
        bool bNewline = szLine[nLength - 1] == L'\n';
        if (bNewline) {
            szDebug[258] = L'\n';
            szDebug[259] = L'\0';
        }
    }
    os::OutputDebugStringW(szDebug);
}

}  // namespace quorvel
