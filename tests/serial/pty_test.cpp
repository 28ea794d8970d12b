// A Wine COM port backed by a Linux pseudo-terminal, whose other end
// (tests/serial/pty_run.py) sends back what it reads in upper case. Its
// driver has no modem lines: the line calls fail with the driver's own
// error, and the port carries data both ways all the same.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "quorvel/quorvel.h"

namespace {

// The result of a call as 0 or the error it left.
DWORD ErrorOf(const std::function<BOOL()>& call) {
    SetLastError(0);
    return call() ? 0 : GetLastError();
}

}  // namespace

TEST(SerialPty, ModemLineCallsFailWithTheDriversErrorAndDataStillFlowsBothWays) {
    const char* name = std::getenv("QV_PTY_PORT");
    ASSERT_TRUE(name) << "run through tests/serial/pty_run.py, which makes the port";
    std::wstring port(name, name + std::strlen(name));
    std::wstring path = L"\\\\.\\" + port;

    CxSerial serial;
    ASSERT_EQ(1, serial.Open(path.c_str(), 1)) << GetLastError();
    HANDLE h = serial.GetSafeHandle();
    DWORD lines = 0;
    unsigned long ulLines = 0;
    // Each line call of the class against the driver's own answer on the
    // same handle.
    const struct {
        const char* what;
        std::function<BOOL()> system, library;
    } calls[] = {
        {"DTR", [&] { return EscapeCommFunction(h, SETDTR); }, [&] { return serial.SetDtr(1); }},
        {"RTS", [&] { return EscapeCommFunction(h, CLRRTS); }, [&] { return serial.SetRts(0); }},
        {"inputs", [&] { return GetCommModemStatus(h, &lines); },
         [&] { return serial.GetModemStatus(&ulLines); }},
        {"break", [&] { return SetCommBreak(h) && ClearCommBreak(h); },
         [&] { return serial.SendBreak(20); }},
    };
    DWORD errors[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        errors[i] = ErrorOf(calls[i].system);
        EXPECT_EQ(errors[i], ErrorOf(calls[i].library)) << calls[i].what;
    }
    EXPECT_NE(0u, errors[0]) << "this driver has a DTR line now: the scenario needs another";
    // The modem events are not asked of a driver that cannot read the lines.
    EXPECT_EQ(errors[2], ErrorOf([&] { return serial.SetModemEvent(1); }));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), mask);

    unsigned char buffer[8] = {};
    unsigned long done = 0;
    ASSERT_EQ(1, serial.SendExact(reinterpret_cast<const unsigned char*>("ping"), 4, 5000, &done));
    ASSERT_EQ(1, serial.RecvExact(buffer, 4, 5000, &done)) << done << " bytes came back";
    EXPECT_EQ("PING", std::string(reinterpret_cast<char*>(buffer), 4));
    EXPECT_EQ(1, serial.Close());
}
