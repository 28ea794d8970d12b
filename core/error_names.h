// Names and short texts of the Windows and Windows Sockets errors a host
// meets with this library, written once: qvtool shows them, and the
// library can give the same text where it describes an error. Pure data:
// no system call, so any program may compile it in.
#pragma once

namespace quorvel {

struct ErrorName {
    unsigned long code;
    const char* name;  // "ERROR_FILE_NOT_FOUND", "WSAEADDRINUSE"
    const char* text;  // "file not found": lower case, no full stop
};

// The entry for code; nullptr for an error the table does not name.
const ErrorName* FindErrorName(unsigned long code);

}  // namespace quorvel
