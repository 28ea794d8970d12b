#include "core/trace.h"

#include <cstdarg>

#include "core/error.h"
#include "core/error_names.h"
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

#ifdef QV_TRACE_FAILURES
namespace {

// The last two parts of a source path ("serial/serial.cpp"): where the file
// lies in the tree, without the folder the tree was built in.
const char* TreePath(const char* pszFile) {
    const char* pszLast = pszFile;
    const char* pszBeforeLast = pszFile;
    for (const char* p = pszFile; *p; ++p) {
        if (*p == '/' || *p == '\\') {
            pszBeforeLast = pszLast;
            pszLast = p + 1;
        }
    }
    return pszBeforeLast;
}

}  // namespace

void TraceFailure(const char* pszCall, unsigned long ulError, const char* pszFile, int nLine,
                  const char* pszFunction) {
    ErrorKeeper keep;  // writing the line leaves the failure's error
    const ErrorName* name = FindErrorName(ulError);
    Trace(L"Failed: %hs, error %lu (%hs), in %hs at %hs:%d.\n", pszCall ? pszCall : pszFunction,
          ulError, name ? name->name : "unnamed", pszFunction, TreePath(pszFile), nLine);
}
#endif

}  // namespace quorvel
