// quorvel sockets: start-up of Windows Sockets and its last error.
//
// The library never starts Windows Sockets by itself. Call SocketInit once
// before any socket endpoint is used and before any operation that converts
// address text or queries names (Bluetooth, address text, local addresses,
// host scan), and SocketUnInit after the last of them. Start-ups nest as the
// platform counts them: each successful SocketInit needs one SocketUnInit.
#pragma once

#include "quorvel/core.h"

// 1 when Windows Sockets 2.2 is started; 0 otherwise, with nothing left
// started (a platform that grants another version is cleaned up again).
QUORVEL_API int SocketInit();
// 1 when the platform accepted the clean-up; 0 without an open start-up.
QUORVEL_API int SocketUnInit();
// The calling thread's last Windows Sockets error, unchanged.
QUORVEL_API unsigned long SocketGetLastError();
