#include "core/lifecycle_check.h"

// Only the test builds have the checks (see the header).
#if defined(QUORVEL_LIFECYCLE_CHECKS)

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"

namespace quorvel::lifecycle {

void Broken(const char* pszRule, const char* pszKind, const char* pszFile, int nLine) {
    // The place from the library's own folders on (core/..., serial/...).
    const char* pszPlace = pszFile;
    int nSlashes = 0;
    for (const char* p = pszFile + std::strlen(pszFile); p > pszFile; --p) {
        if ((p[-1] == '/' || p[-1] == '\\') && ++nSlashes == 2) {
            pszPlace = p;
            break;
        }
    }
    char szLine[512];
    std::snprintf(szLine, sizeof szLine, "quorvel: lifecycle rule broken: %s (%s, at %s:%d)\n",
                  pszRule, pszKind, pszPlace, nLine);
    std::fputs(szLine, stderr);
    std::fflush(stderr);
    wchar_t szWide[512];
    size_t n = 0;
    for (; szLine[n] && n + 1 < sizeof szWide / sizeof szWide[0]; ++n) {
        szWide[n] = static_cast<unsigned char>(szLine[n]);
    }
    szWide[n] = 0;
    os::OutputDebugStringW(szWide);
    std::abort();
}

}  // namespace quorvel::lifecycle

#endif  // QUORVEL_LIFECYCLE_CHECKS
