// The opt-in serial events: line-error detail and removal seen by the listener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_serial.h"
#include "tests/support/close_log.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/wait_until.h"

namespace {

const UINT kMsg = WM_APP + 21;

using qvtest::WaitUntil;

// Event codes from the callback and the window, in arrival order per path.
struct Heard {
    std::mutex mutex;
    std::vector<long> codes;
    std::atomic<bool> hold{false};  // the callback returns only once it is cleared
    static long CALLBACK Proc(void* pParam, unsigned int, long lEvent) {
        auto* heard = static_cast<Heard*>(pParam);
        {
            std::lock_guard<std::mutex> lock(heard->mutex);
            heard->codes.push_back(lEvent);
        }
        while (heard->hold) Sleep(1);
        return 0;
    }
    std::vector<long> Take(qvtest::MessageWindow& window) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<long> out;
        out.swap(codes);
        for (const MSG& m : window.Drain(kMsg)) out.push_back(static_cast<long>(m.lParam));
        return out;
    }
};

// Reaches the handles the port object owns, to see that each is closed.
struct Inspected : CxSerial {
    std::vector<HANDLE> Owned() {
        return {m_hEventListen, m_hEventSend, m_hEventRecv, m_ListenThread.GetSafeHandle()};
    }
    bool IsListenning() { return IsListenningEvent() != 0; }
};

}  // namespace

TEST(SerialExtras, LineErrorsAreToldOnlyWhenAskedForAndGoodDataStillArrives) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    CxSerial serial;
    Heard heard;
    unsigned long flags = 99, discarded = 99;
    EXPECT_EQ(0, serial.SetLineErrorEvent(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Heard::Proc, &heard);
    auto settle = [&](const std::function<void()>& act) {
        int before = port.WaitCommEventCalls();
        act();
        ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > before; }));
    };
    ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > 0; }));

    // Without the request: purged in silence, the port's mask untouched.
    settle([&] { port.LineError(CE_FRAME, "bad"); });
    EXPECT_TRUE(heard.Take(window).empty());
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());

    // With it: the event on the callback, the flags and the bytes thrown
    // away; good data after it is reported and read as before.
    ASSERT_EQ(1, serial.SetLineErrorEvent(1));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK | EV_ERR), port.CommMask());
    // The new mask ends the pending wait; let the listener ask again first.
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));
    settle([&] { port.LineError(CE_FRAME | CE_RXPARITY, "bad!"); });
    settle([&] { port.Arrive("good"); });
    EXPECT_EQ((std::vector<long>{CX_EVENT_LINE_ERROR, CX_EVENT_DATA_READY}), heard.Take(window));
    ASSERT_EQ(1, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<unsigned long>(CE_FRAME | CE_RXPARITY), flags);
    EXPECT_EQ(4u, discarded);
    unsigned char buffer[4];
    ASSERT_EQ(1, serial.Recv(buffer, 4, 1000));
    EXPECT_EQ("good", std::string(reinterpret_cast<char*>(buffer), 4));

    // An overrun without a character wakes the listener through EV_ERR; to
    // the window when no callback is set. A copy shares the request.
    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    settle([&] { port.LineError(CE_OVERRUN, ""); });
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(CX_EVENT_LINE_ERROR, msg.lParam);
    EXPECT_EQ(reinterpret_cast<WPARAM>(serial.GetSafeHandle()), msg.wParam);
    CxSerial copy(serial);
    ASSERT_EQ(1, copy.GetLineError(&flags, nullptr));
    EXPECT_EQ(static_cast<unsigned long>(CE_OVERRUN), flags);

    // Withdrawn: the mask as Open left it, errors unreported again; a new
    // Open starts without the request.
    ASSERT_EQ(1, serial.SetLineErrorEvent(0));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));
    settle([&] { port.Break(); });
    EXPECT_TRUE(heard.Take(window).empty());
    ASSERT_EQ(1, serial.SetLineErrorEvent(1));  // asked again: no error seen yet
    ASSERT_EQ(1, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(0u, discarded);
    serial.SelectEvent(EV_RXCHAR | EV_BREAK | EV_ERR);
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));

    // EV_ERR the host asked for itself stays when the request goes.
    ASSERT_EQ(1, serial.SetLineErrorEvent(1));
    ASSERT_EQ(1, serial.SetLineErrorEvent(0));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK | EV_ERR), port.CommMask());
}

// A line error that a host call found, and data that came after it, reach
// the listener in one look: both are told, the error first.
TEST(SerialExtras, ALineErrorAHostCallFoundIsToldAndTheDataAfterItToo) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    CxSerial serial;
    Heard heard;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Heard::Proc, &heard);
    ASSERT_EQ(1, serial.SetLineErrorEvent(1));
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));
    port.HoldEvents(true);  // the listener comes back late
    port.LineError(CE_FRAME, "bad");
    unsigned long ulIn = 99, ulOut = 99;
    ASSERT_EQ(1, serial.GetBufferCount(&ulIn, &ulOut));  // finds the error: the bytes go
    EXPECT_EQ(0u, ulIn);
    port.Arrive("good");
    int before = port.WaitCommEventCalls();
    port.HoldEvents(false);
    std::vector<long> codes;
    WaitUntil([&] {
        for (long code : heard.Take(window)) codes.push_back(code);
        return codes.size() >= 2 && port.WaitCommEventCalls() > before;
    });
    EXPECT_EQ((std::vector<long>{CX_EVENT_LINE_ERROR, CX_EVENT_DATA_READY}), codes);
    unsigned char buffer[4];
    ASSERT_EQ(1, serial.Recv(buffer, 4, 1000));
    EXPECT_EQ("good", std::string(reinterpret_cast<char*>(buffer), 4));
}

TEST(SerialExtras, RemovalIsRaisedOnceOnEitherPathAndTheListenerStops) {
    qvsim::SerialBus bus;
    qvtest::MessageWindow window;
    int number = 10;
    for (DWORD error : {ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                        ERROR_OPERATION_ABORTED}) {
        for (bool callback : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << "error " << error << (callback ? " callback" : " window"));
            std::wstring name = L"COM" + std::to_wstring(number++);
            qvsim::SerialPort& port = bus.Add(name);
            std::multiset<HANDLE> created;  // values are reused once closed
            std::mutex createdMutex;
            qvtest::Hook<quorvel::os::CreateEventW> events(
                [&](LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR eventName) {
                    HANDLE h = events.Real()(sa, manual, initial, eventName);
                    std::lock_guard<std::mutex> lock(createdMutex);
                    created.insert(h);
                    return h;
                });
            qvtest::CloseLog closed;
            Heard heard;
            Inspected serial;
            ASSERT_EQ(1, serial.Open(name.c_str(), 1));
            serial.SetWndMsgProc(window.hwnd(), kMsg, callback ? &Heard::Proc : nullptr, &heard);
            ASSERT_EQ(1, serial.SetRemovalEvent(1));
            ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));

            port.Remove(error);
            MSG msg;
            if (!callback) {
                ASSERT_TRUE(window.WaitFor(kMsg, &msg));
            }
            ASSERT_TRUE(WaitUntil([&] { return !serial.IsListenning(); }));
            int calls = port.WaitCommEventCalls();
            Sleep(300);  // nothing more comes, and the port is not asked again
            EXPECT_EQ(calls, port.WaitCommEventCalls());
            std::vector<long> codes = heard.Take(window);
            if (!callback) codes.insert(codes.begin(), static_cast<long>(msg.lParam));
            EXPECT_EQ(std::vector<long>{CX_EVENT_DEVICE_REMOVED}, codes);

            // Open until the host closes it; Close is prompt and releases
            // every handle once.
            EXPECT_TRUE(port.IsOpen());
            std::vector<HANDLE> owned = serial.Owned();
            owned.push_back(serial.GetSafeHandle());
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(1, serial.Close());
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            for (HANDLE h : owned) EXPECT_EQ(1u, closed.Count(h));
            std::lock_guard<std::mutex> lock(createdMutex);
            for (HANDLE h : created) EXPECT_EQ(created.count(h), closed.Count(h));
        }
    }
}

TEST(SerialExtras, NoRemovalWithoutTheRequestByCloseOrWhileThePortAnswers) {
    qvsim::SerialBus bus;
    qvtest::MessageWindow window;
    Heard heard;
    CxSerial serial;
    {
        // A driver that aborts waits while its device is still there: the
        // listener retries and raises nothing.
        bus.Add(L"COM6");
        std::atomic<int> waits{0};
        qvtest::Hook<quorvel::os::WaitCommEvent> aborting([&](HANDLE, LPDWORD, LPOVERLAPPED) {
            ++waits;
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        });
        ASSERT_EQ(1, serial.Open(L"COM6", 1));
        serial.SetWndMsgProc(nullptr, 0, &Heard::Proc, &heard);
        ASSERT_EQ(1, serial.SetRemovalEvent(1));
        ASSERT_TRUE(WaitUntil([&] { return waits > 3; }));
        EXPECT_EQ(1, serial.Close());
        EXPECT_TRUE(heard.Take(window).empty());
    }

    // Without the request the callback hears nothing; the listener retries.
    qvsim::SerialPort& first = bus.Add(L"COM7");
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(nullptr, 0, &Heard::Proc, &heard);
    ASSERT_TRUE(WaitUntil([&] { return first.PendingRequests() == 1; }));
    first.Remove(ERROR_ACCESS_DENIED);
    int calls = first.WaitCommEventCalls();
    ASSERT_TRUE(WaitUntil([&] { return first.WaitCommEventCalls() > calls + 1; }));
    EXPECT_TRUE(heard.Take(window).empty());

    // Close cancels the listener's wait: that abort is not a removal.
    bus.Add(L"COM8");
    ASSERT_EQ(1, serial.Open(L"COM8", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Heard::Proc, &heard);
    ASSERT_EQ(1, serial.SetRemovalEvent(1));
    EXPECT_EQ(1, serial.Close());
    EXPECT_TRUE(heard.Take(window).empty());
    EXPECT_EQ(0, serial.SetRemovalEvent(1));

    // A transfer and the listener both find the device gone: one message.
    qvsim::SerialPort& third = bus.Add(L"COM9");
    ASSERT_EQ(1, serial.Open(L"COM9", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, serial.SetRemovalEvent(1));
    unsigned char buffer[4];
    std::thread reader([&] { EXPECT_EQ(0, serial.Recv(buffer, 4, INFINITE)); });
    ASSERT_TRUE(WaitUntil([&] { return third.PendingRequests() == 2; }));
    third.Remove();
    reader.join();
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    Sleep(300);
    EXPECT_TRUE(heard.Take(window).empty());
}

TEST(SerialModem, OutputLinesReachTheDriverAndCloseEndsALongBreakFreeingTheLine) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    CxSerial serial;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    ASSERT_TRUE(serial.SetDtr(0) && serial.SetRts(0) && serial.SetRts(1) && serial.SetBreak(1));
    EXPECT_TRUE(!port.Dtr() && port.Rts() && port.BreakOn());
    ASSERT_TRUE(serial.SetBreak(0) && serial.SendBreak(120));
    EXPECT_GE(port.LastBreakLength(), 120u);
    EXPECT_EQ(0, serial.SendBreak(INFINITE));  // SetBreak holds one that long
    EXPECT_EQ("DTR0 RTS0 RTS1 BRK1 BRK0 BRK1 BRK0", port.LineCalls());
    port.SetModemLines(MS_CTS_ON | MS_RLSD_ON);
    unsigned long status = 0;
    ASSERT_EQ(1, serial.GetModemStatus(&status));
    EXPECT_EQ(static_cast<unsigned long>(MS_CTS_ON | MS_RLSD_ON), status);
    port.RefuseLineCalls(ERROR_NOT_SUPPORTED);
    EXPECT_EQ(0, serial.SetRts(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    port.RefuseLineCalls(0);

    DWORD breakError = 0;
    std::thread breaker([&] {
        EXPECT_EQ(0, serial.SendBreak(600000));
        breakError = GetLastError();
    });
    ASSERT_TRUE(WaitUntil([&] { return port.BreakOn(); }));
    ASSERT_TRUE(qvtest::FinishesWithin([&] { EXPECT_EQ(1, serial.Close()); }, 5000))
        << "Close did not end the break";
    breaker.join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), breakError);
    std::string calls = port.LineCalls();  // freed by the call, not only by the closing
    EXPECT_EQ("BRK1 BRK0", calls.substr(calls.size() - 9));
}

TEST(SerialModem, InputChangesAreToldOnlyWhenAskedWithTheLinesThatChangedAndTheirState) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    Heard heard;
    // What came once count events have (at most 10 s), or in 100 ms for none.
    auto take = [&](size_t count) {
        if (!count) Sleep(100);
        WaitUntil([&] {
            std::lock_guard<std::mutex> lock(heard.mutex);
            return heard.codes.size() >= count;
        });
        return heard.Take(window);
    };
    CxSerial serial;
    const std::vector<long> kModem{CX_EVENT_MODEM_CHANGED};
    auto change = [&] {
        unsigned long changed = 0, lines = 0;
        EXPECT_EQ(1, serial.GetModemChange(&changed, &lines));
        return std::make_pair(changed, lines);
    };
    const DWORD kOpenMask = EV_RXCHAR | EV_BREAK;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(nullptr, 0, &Heard::Proc, &heard);

    // Not asked for: nothing told, the port's mask untouched.
    port.SetModemLines(MS_CTS_ON);
    EXPECT_TRUE(take(0).empty());
    EXPECT_EQ(kOpenMask, port.CommMask());
    EXPECT_EQ(0, serial.GetModemChange(nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());

    // Asked: each change with the lines it moved and their state now; a
    // ring only as it ends; reading clears what changed.
    ASSERT_EQ(1, serial.SetModemEvent(1));
    EXPECT_EQ(kOpenMask | EV_CTS | EV_DSR | EV_RING | EV_RLSD, port.CommMask());
    port.SetModemLines(MS_CTS_ON | MS_DSR_ON);
    EXPECT_EQ(kModem, take(1));
    EXPECT_EQ(std::make_pair(MS_DSR_ON, MS_CTS_ON | MS_DSR_ON), change());
    port.SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
    EXPECT_TRUE(take(0).empty());
    port.SetModemLines(MS_CTS_ON | MS_DSR_ON);
    EXPECT_EQ(kModem, take(1));
    EXPECT_EQ(std::make_pair(MS_RING_ON, MS_CTS_ON | MS_DSR_ON), change());
    EXPECT_EQ(std::make_pair(0ul, MS_CTS_ON | MS_DSR_ON), change());

    // Data and a change in one wait: the data first, the change right
    // after, without waiting for another port event.
    heard.hold = true;
    port.SetModemLines(MS_DSR_ON);
    EXPECT_EQ(kModem, take(1));  // held in the callback meanwhile
    port.Arrive("x");
    port.SetModemLines(MS_DSR_ON | MS_RLSD_ON);
    heard.hold = false;
    EXPECT_EQ((std::vector<long>{CX_EVENT_DATA_READY, CX_EVENT_MODEM_CHANGED}), take(2));
    EXPECT_EQ(std::make_pair(MS_CTS_ON | MS_RLSD_ON, MS_DSR_ON | MS_RLSD_ON), change());

    // Withdrawn: the mask as Open left it, changes untold; events the host
    // selected itself stay. A new Open starts without the request.
    ASSERT_EQ(1, serial.SetModemEvent(0));
    EXPECT_EQ(kOpenMask, port.CommMask());
    port.SetModemLines(0);
    EXPECT_TRUE(take(0).empty());
    serial.SelectEvent(static_cast<long>(kOpenMask | EV_CTS));
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    EXPECT_EQ(0, serial.GetModemChange(nullptr, nullptr));
    ASSERT_TRUE(serial.SetModemEvent(1) && serial.SetModemEvent(0));
    EXPECT_EQ(kOpenMask | EV_CTS, port.CommMask());
}
