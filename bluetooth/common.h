// Pieces shared by the Bluetooth classes: address text, passkeys and the
// walk of the local radios. Handles follow core/owner.h.
#pragma once

#include "quorvel/bluetooth.h"

#include <cstring>

#include "core/error.h"
#include "core/owner.h"
#include "platform/os.h"

namespace quorvel::bth {

constexpr size_t kAddressCapacity = 48;  // characters of address text, terminator included
constexpr size_t kNameCapacity = 248;
constexpr size_t kPasskeyCapacity = 16;  // 15 characters and the terminator
constexpr int kSockaddrLength = static_cast<int>(sizeof(SOCKADDR_BTH));

// Writes the address text of a bare device address (no service class,
// channel 0) into szText, which holds kAddressCapacity characters. true when
// the platform converted it; otherwise the text is left empty.
bool AddressToText(BTH_ADDR btAddr, wchar_t* szText);

// The text of a socket address: the device's address text, then ":" and the
// channel when it is not 0. The service class is left out.
bool SocketAddressToText(const SOCKADDR_BTH& sa, wchar_t* szText);

// Fills sa (family AF_BTH) from address text; also takes the text followed
// by ":channel", as SocketAddressToText writes it. Text that does not parse,
// NULL and text of more than 47 characters (never handed to the platform)
// leave the address 0 and give false.
bool ParseAddress(const wchar_t* szText, SOCKADDR_BTH* sa);

// Copies a passkey of at most 15 characters into a zeroed 16-character
// buffer. Refuses (ERROR_INVALID_PARAMETER) a NULL or longer passkey and a
// length argument beyond the buffer.
bool CopyPasskey(const wchar_t* szPasskey, unsigned long ulPasskeyLength, wchar_t* szBuffer);

// Copies a record into or out of a caller's buffer; a NULL side copies
// nothing and sets ERROR_INVALID_PARAMETER.
template <class Record>
void CopyRecord(Record* pTo, const Record* pFrom) {
    if (!pTo || !pFrom) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    std::memcpy(pTo, pFrom, sizeof *pTo);
}

// The record the finders hand out: address text, name (cut to fit) and class.
BTH_DEV_INFO MakeDevInfo(BTH_ADDR btAddr, const wchar_t* szName, ULONG ulClass);

using ScopedRadioFind = ScopedHandle<RadioFindTraits>;

// Starts a walk of the local radios: the walk (none when there is no radio;
// the last error says why) and the first radio's handle in *pRadio.
ScopedRadioFind FindFirstRadio(ScopedKernelHandle* pRadio);

}  // namespace quorvel::bth
