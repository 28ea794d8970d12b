// What the library's C interface asks of a serial port beyond the C++
// class's own interface, which keeps its documented events.
#pragma once

#include "quorvel/serial.h"

namespace quorvel {

struct SerialAccess {
    // Until Close: after a receive that took data following a data-ready
    // event, the listener raises data-ready again if at least the read
    // threshold still waits. Each repeat thus follows a receive: a host that
    // does not read is told once. 1 done; 0 on a closed port
    // (ERROR_INVALID_HANDLE) or if memory ran out.
    static int RepeatDataReady(CxSerial& port);
    // Has the listener raise listener::kEventListenerCall once, soon, on its
    // own thread. false when nothing was asked: the port is closed, or its
    // listener has ended (the device left).
    static bool CallListener(CxSerial& port);
};

}  // namespace quorvel
