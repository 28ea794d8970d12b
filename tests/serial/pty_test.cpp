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
    std::wstring path = L"\\\\.\\" + std::wstring(name, name + std::strlen(name));
    CxSerial serial;
    ASSERT_EQ(1, serial.Open(path.c_str(), 1)) << GetLastError();
    HANDLE h = serial.GetSafeHandle();
    DWORD lines = 0;
    unsigned long ulLines = 0;
    // Each line call of the class against the driver's own answer.
    DWORD dtr = ErrorOf([&] { return EscapeCommFunction(h, SETDTR); });
    EXPECT_NE(0u, dtr) << "this driver has a DTR line now: the scenario needs another";
    EXPECT_EQ(dtr, ErrorOf([&] { return serial.SetDtr(1); }));
    EXPECT_EQ(ErrorOf([&] { return EscapeCommFunction(h, CLRRTS); }),
              ErrorOf([&] { return serial.SetRts(0); }));
    EXPECT_EQ(ErrorOf([&] { return SetCommBreak(h) && ClearCommBreak(h); }),
              ErrorOf([&] { return serial.SendBreak(20); }));
    DWORD inputs = ErrorOf([&] { return GetCommModemStatus(h, &lines); });
    EXPECT_EQ(inputs, ErrorOf([&] { return serial.GetModemStatus(&ulLines); }));
    // The modem events are not asked of a driver that cannot read the lines.
    EXPECT_EQ(inputs, ErrorOf([&] { return serial.SetModemEvent(1); }));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), mask);

    unsigned char buffer[4] = {};
    unsigned long done = 0;
    ASSERT_EQ(1, serial.SendExact(reinterpret_cast<const unsigned char*>("ping"), 4, 5000, &done));
    ASSERT_EQ(1, serial.RecvExact(buffer, 4, 5000, &done)) << done << " bytes came back";
    EXPECT_EQ("PING", std::string(reinterpret_cast<char*>(buffer), 4));
    EXPECT_EQ(1, serial.Close());
}
