// Trace lines for the debugger output channel.
#pragma once

namespace quorvel {

// Formats a line like wsprintfW into a buffer szDebug of 260 characters and
// writes it with OutputDebugStringW. A longer line is cut to 258 characters
// and keeps its final line feed.
void Trace(const wchar_t* pszFormat, ...);

}  // namespace quorvel
