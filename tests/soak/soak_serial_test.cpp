// Serial ports over many cycles, and closed from another thread while busy.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>

#include "quorvel/quorvel.h"
#include "sim/sim_serial.h"
#include "tests/soak/soak.h"
#include "tests/support/os_hook.h"
#include "tests/support/wait_until.h"

namespace {

using qvtest::WaitUntil;

constexpr unsigned kBound = 10000;  // ms a call may take to come back

}  // namespace

TEST(Soak, SerialOpenTransferClose) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvsoak::Soak("serial open/transfer/close", [&](int) -> std::string {
        CxSerial serial;
        if (!serial.Open(L"COM7", 1)) return "Open failed";
        unsigned char data[4] = {'p', 'i', 'n', 'g'};
        if (!serial.Send(data, 4, 1000)) return "Send failed";
        port.Arrive("pong");
        if (!serial.Recv(data, 4, 1000) || std::memcmp(data, "pong", 4) != 0) return "Recv failed";
        if (serial.Close() != 1) return "Close failed";
        return "";
    });
}

// A reader waits in Recv (with no limit, or streaming data), and another
// thread closes and destroys the port; the device may be going away at the
// same moment. Close returns, and so does the reader, with failure.
TEST(Soak, SerialCloseAndDestroyFromAnotherThreadWhileBusy) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    enum Case { kRecvWaits, kDataStreams, kDeviceRemoved };
    for (Case c : {kRecvWaits, kDataStreams, kDeviceRemoved}) {
        for (int round = 0; round < 20; ++round) {
            SCOPED_TRACE(testing::Message() << "case " << c << " round " << round);
            qvsim::SerialPort& target = c == kDeviceRemoved ? bus.Add(L"COM" + std::to_wstring(20 + round)) : port;
            std::wstring name = c == kDeviceRemoved ? L"COM" + std::to_wstring(20 + round) : L"COM7";
            auto* serial = new CxSerial;
            ASSERT_EQ(1, serial->Open(name.c_str(), 1));
            std::atomic<bool> stop{false};
            std::atomic<int> lastResult{-1};
            std::atomic<int> successes{0};
            std::thread feeder;
            if (c == kDataStreams) {
                feeder = std::thread([&] {
                    while (!stop) {
                        target.Arrive("0123456789");
                        Sleep(1);
                    }
                });
            }
            std::thread reader([&] {
                unsigned char buffer[64];
                for (;;) {
                    int result = serial->Recv(buffer, c == kDataStreams ? 10 : sizeof buffer,
                                              c == kDataStreams ? 1000 : INFINITE);
                    lastResult = result;
                    if (!result) break;
                    ++successes;
                }
            });
            std::thread writer;
            if (c == kDataStreams) {
                writer = std::thread([&] {
                    unsigned char data[32] = {};
                    while (serial->Send(data, sizeof data, 1000)) {
                    }
                });
            }
            // The read is pending (the listener's wait is the other request).
            ASSERT_TRUE(WaitUntil([&] { return target.PendingRequests() >= 2 || successes > 3; }));
            if (c == kDeviceRemoved) {
                std::thread remover([&] { target.Remove(); });
                EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { serial->Close(); delete serial; }));
                remover.join();
            } else if (c == kRecvWaits) {
                // Close waits for the Recv to return, so the object may go at once.
                EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { serial->Close(); delete serial; }));
            } else {
                Sleep(20);
                EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { serial->Close(); }));
            }
            stop = true;
            EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { reader.join(); }));
            if (writer.joinable()) {
                EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { writer.join(); }));
            }
            if (feeder.joinable()) feeder.join();
            // The streaming threads call again until a call fails: the object
            // goes once they have stopped.
            if (c == kDataStreams) delete serial;
            EXPECT_EQ(0, lastResult.load());
            if (HasFailure()) return;
        }
    }
}

// The reader is held up just after its wait ends, as a busy machine may hold
// it. Close must still wait until the Recv has left the object: once Close
// and the destructor return, the object's memory is made inaccessible, so a
// Recv still inside it faults at once.
TEST(Soak, SerialCloseWaitsForARecvHeldUpAfterItsWait) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    std::atomic<DWORD> readerId{0};
    qvtest::Hook<quorvel::os::WaitForSingleObject> hook([&](HANDLE h, DWORD ms) {
        DWORD result = hook.Real()(h, ms);
        if (GetCurrentThreadId() == readerId.load()) Sleep(100);
        return result;
    });
    void* pages = VirtualAlloc(nullptr, sizeof(CxSerial), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, pages);
    auto* serial = new (pages) CxSerial;
    ASSERT_EQ(1, serial->Open(L"COM7", 1));
    std::atomic<int> result{-1};
    std::thread reader([&] {
        readerId = GetCurrentThreadId();
        unsigned char buffer[8];
        result = serial->Recv(buffer, sizeof buffer, INFINITE);
    });
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() >= 2; }));
    serial->Close();
    serial->~CxSerial();
    DWORD old = 0;
    VirtualProtect(pages, sizeof(CxSerial), PAGE_NOACCESS, &old);
    reader.join();
    EXPECT_EQ(0, result.load());
    VirtualFree(pages, 0, MEM_RELEASE);
}
