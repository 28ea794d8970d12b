// The C interface's queue event against a change that comes while another
// thread sets or resets it: the change is never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quorvel/quorvel_c.h"
#include "sim/sim_serial.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;

// A taker empties the queue and resets its event; while the reset is held
// in the system, the listener queues a new event (and leaves the setting
// to the thread that is at it). Once the reset is done, the event is set
// again: a host waiting on it is not left asleep with an event queued.
TEST(QueueEvent, AnEventQueuedWhileTheTakerResetsIsNotLost) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qv_handle serial = nullptr;
    HANDLE waitable = nullptr;
    ASSERT_EQ(0u, qv_serial_open(L"COM7", &serial));
    ASSERT_EQ(0u, qv_event_handle(serial, &waitable));
    port.Arrive("a");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitable, 2000));

    std::atomic<DWORD> taker{0};
    HANDLE parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    qvtest::Hook<os::ResetEvent> resetting([&](HANDLE h) {
        BOOL result = resetting.Real()(h);
        if (h == waitable && GetCurrentThreadId() == taker) {
            SetEvent(parked);
            WaitForSingleObject(release, 5000);
        }
        return result;
    });
    std::thread take([&] {
        taker = GetCurrentThreadId();
        DWORD event = 0;
        EXPECT_EQ(0u, qv_wait_event(serial, 0, nullptr, &event, nullptr));
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(parked, 5000));
    unsigned char byte = 0;
    ASSERT_EQ(0u, qv_recv(serial, &byte, 1, 1000, nullptr));  // read: more is told again
    port.Arrive("b");
    Sleep(300);  // queued meanwhile
    SetEvent(release);
    take.join();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitable, 1000)) << "the queued event was lost";
    DWORD event = 0;
    EXPECT_EQ(0u, qv_wait_event(serial, 0, nullptr, &event, nullptr));
    EXPECT_EQ(QV_EVENT_DATA_READY, event);
    EXPECT_EQ(0u, qv_close(serial));
    CloseHandle(parked);
    CloseHandle(release);
}
