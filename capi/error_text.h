// The text qv_error_text gives for an error code.
#pragma once

#include "platform/os.h"

#include <cstddef>

namespace quorvel::capi {

constexpr size_t kErrorTextCch = 512;

// "NAME (code): the system's message" where the code has a name the
// library knows, "error code: message" otherwise, and "error code" where
// the system has no message either.
void ErrorText(DWORD dwCode, wchar_t (&szText)[kErrorTextCch]);

}  // namespace quorvel::capi
