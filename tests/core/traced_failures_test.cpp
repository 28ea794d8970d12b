// The build with QV_TRACE_FAILURES: each failure the library reports is
// traced once, where it starts, with the call, its error and its place,
// through every subsystem and the C interface.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "quorvel/quorvel_c.h"
#include "sim/sim_serial.h"
#include "tests/support/trace_capture.h"

namespace {

// The one trace line of a failed call: with its error, in the file given.
void ExpectOneLine(const qvtest::TraceCapture& trace, const std::string& call, unsigned long error,
                   const std::string& file) {
    std::vector<std::string> lines = trace.Matching("Failed: " + call + ", ");
    ASSERT_EQ(1u, lines.size()) << call;
    const std::string& line = lines[0];
    EXPECT_EQ(0u, line.find("Failed: " + call + ", error " + std::to_string(error) + " ")) << line;
    EXPECT_NE(std::string::npos, line.find(" at " + file + ":")) << line;
}

TEST(TracedFailures, EachTracedOnceWhereItStarts) {
    qvtest::TraceCapture trace;
    {  // a port that is not there
        qvsim::SerialBus bus;
        CxSerial serial;
        trace.Clear();
        ASSERT_EQ(0, serial.Open(L"COM9", 0));
        ExpectOneLine(trace, "CreateFileW", GetLastError(), "serial/serial.cpp");
    }

    // A refused connect (a port bound, no one listening), passed on through
    // Connect: the only line, at the connect.
    ASSERT_EQ(1, SocketInit());
    {
        CxUdpSocket holder;  // keeps the bound socket's port from being reused
        SOCKET hBound = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        holder.Attach(hBound);
        SOCKADDR_IN addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int nLength = sizeof addr;
        ASSERT_EQ(0, bind(hBound, reinterpret_cast<SOCKADDR*>(&addr), nLength));
        ASSERT_EQ(0, getsockname(hBound, reinterpret_cast<SOCKADDR*>(&addr), &nLength));
        CxClientSocket client;
        trace.Clear();
        ASSERT_EQ(0, client.Connect(L"127.0.0.1", ntohs(addr.sin_port), 0, 5000));
        ASSERT_EQ(static_cast<unsigned long>(WSAECONNREFUSED), SocketGetLastError());
        ExpectOneLine(trace, "connect", WSAECONNREFUSED, "socket/socket_util.cpp");
        EXPECT_EQ(1u, trace.Matching("Failed: ").size()) << trace.Matching("Failed: ")[0];
    }
    SocketUnInit();

    {  // a finder's bad argument, named by the function that refused it
        CxDeviceFind find;
        trace.Clear();
        ASSERT_EQ(0, find.FindDevice(nullptr));
        ExpectOneLine(trace, "FindDevice", ERROR_INVALID_PARAMETER, "discovery/device_find.cpp");
    }

    // A C-interface call with a handle that names nothing.
    trace.Clear();
    qv_handle bogus = reinterpret_cast<qv_handle>(static_cast<UINT_PTR>(0x7FFF0001));
    ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), qv_serial_set_threshold(bogus, 1));
    ExpectOneLine(trace, "qv_serial_set_threshold", ERROR_INVALID_HANDLE, "capi/serial.cpp");
}

}  // namespace
