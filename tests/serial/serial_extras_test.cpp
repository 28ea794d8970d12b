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
#include "tests/sim/sim_serial.h"
#include "tests/support/close_log.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;

namespace {

const UINT kMsg = WM_APP + 21;

bool WaitUntil(const std::function<bool()>& done, unsigned ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        Sleep(1);
    }
    return true;
}

struct Events {
    std::mutex mutex;
    std::vector<long> codes;
    std::vector<long> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<long> out;
        out.swap(codes);
        return out;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return codes.size();
    }
    static long CALLBACK Proc(void* pParam, unsigned int, long lEvent) {
        auto* events = static_cast<Events*>(pParam);
        std::lock_guard<std::mutex> lock(events->mutex);
        events->codes.push_back(lEvent);
        return 0;
    }
};

// Reaches the handles the port object owns, to see that each is closed.
struct Inspected : CxSerial {
    std::vector<HANDLE> Owned() {
        return {m_hEventListen, m_hEventSend, m_hEventRecv, m_ListenThread.GetSafeHandle()};
    }
};

std::vector<long> Codes(const std::vector<MSG>& messages) {
    std::vector<long> codes;
    for (const MSG& m : messages) codes.push_back(static_cast<long>(m.lParam));
    return codes;
}

}  // namespace

TEST(SerialExtras, LineErrorsAreToldOnlyWhenAskedForAndGoodDataStillArrives) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    CxSerial serial;
    Events events;
    unsigned long flags = 99, discarded = 99;

    EXPECT_EQ(0, serial.SetLineErrorEvent(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Events::Proc, &events);
    ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > 0; }));
    auto settle = [&](const std::function<void()>& act) {
        int before = port.WaitCommEventCalls();
        act();
        ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > before; }));
    };

    // Without the request: purged in silence, the port's mask untouched.
    settle([&] { port.LineError(CE_FRAME, "bad"); });
    EXPECT_EQ(0u, events.Count());
    EXPECT_EQ(0u, port.QueuedBytes());
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());

    ASSERT_EQ(1, serial.SetLineErrorEvent(1));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK | EV_ERR), port.CommMask());
    ASSERT_EQ(1, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(0u, discarded);

    // To the callback, with the flags and the bytes thrown away.
    settle([&] { port.LineError(CE_FRAME | CE_RXPARITY, "bad!"); });
    EXPECT_EQ(std::vector<long>{CX_EVENT_LINE_ERROR}, events.Take());
    ASSERT_EQ(1, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<unsigned long>(CE_FRAME | CE_RXPARITY), flags);
    EXPECT_EQ(4u, discarded);
    EXPECT_EQ(0u, port.QueuedBytes());

    // Good data after it is reported and read as before.
    settle([&] { port.Arrive("good"); });
    EXPECT_EQ(std::vector<long>{CX_EVENT_DATA_READY}, events.Take());
    unsigned char buffer[4];
    ASSERT_EQ(1, serial.Recv(buffer, 4, 1000));
    EXPECT_EQ("good", std::string(reinterpret_cast<char*>(buffer), 4));

    // An overrun without a character wakes the listener through EV_ERR; to
    // the window when no callback is set. The last error stays readable.
    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    settle([&] { port.LineError(CE_OVERRUN, ""); });
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(CX_EVENT_LINE_ERROR, msg.lParam);
    EXPECT_EQ(reinterpret_cast<WPARAM>(serial.GetSafeHandle()), msg.wParam);
    ASSERT_EQ(1, serial.GetLineError(&flags, nullptr));
    EXPECT_EQ(static_cast<unsigned long>(CE_OVERRUN), flags);
    ASSERT_EQ(1, serial.GetLineError(nullptr, &discarded));
    EXPECT_EQ(0u, discarded);

    // A copy shares the request; a break is a line error too.
    {
        CxSerial copy(serial);
        settle([&] { port.Break(); });
        ASSERT_TRUE(window.WaitFor(kMsg, &msg));
        EXPECT_EQ(CX_EVENT_LINE_ERROR, msg.lParam);
        ASSERT_EQ(1, copy.GetLineError(&flags, &discarded));
        EXPECT_EQ(static_cast<unsigned long>(CE_BREAK), flags);
    }

    // Withdrawn: the mask is as Open left it and errors go unreported again.
    ASSERT_EQ(1, serial.SetLineErrorEvent(0));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
    settle([&] { port.LineError(CE_RXOVER, "xx"); });
    EXPECT_TRUE(window.Drain(kMsg).empty());
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));

    // A new Open starts without the request.
    ASSERT_EQ(1, serial.SetLineErrorEvent(1));
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
    EXPECT_EQ(1, serial.Close());
}

TEST(SerialExtras, RemovalIsRaisedOnceOnEitherPathAndTheListenerStops) {
    const DWORD errors[] = {ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                            ERROR_OPERATION_ABORTED};
    qvsim::SerialBus bus;
    qvtest::MessageWindow window;
    int number = 10;
    for (DWORD error : errors) {
        for (bool callback : {true, false}) {
            SCOPED_TRACE(testing::Message() << "error " << error << (callback ? " callback" : " window"));
            std::wstring name = L"COM" + std::to_wstring(number++);
            qvsim::SerialPort& port = bus.Add(name);
            std::multiset<HANDLE> created;  // values are reused once closed
            std::mutex createdMutex;
            qvtest::Hook<os::CreateEventW> events(
                [&](LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR eventName) {
                    HANDLE h = events.Real()(sa, manual, initial, eventName);
                    std::lock_guard<std::mutex> lock(createdMutex);
                    created.insert(h);
                    return h;
                });
            qvtest::CloseLog closed;
            Events heard;
            {
                Inspected serial;
                ASSERT_EQ(1, serial.Open(name.c_str(), 1));
                if (callback) {
                    serial.SetWndMsgProc(window.hwnd(), kMsg, &Events::Proc, &heard);
                } else {
                    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
                }
                ASSERT_EQ(1, serial.SetRemovalEvent(1));
                ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));

                port.Remove(error);
                std::vector<long> codes;
                if (callback) {
                    ASSERT_TRUE(WaitUntil([&] { return heard.Count() > 0; }));
                } else {
                    MSG msg;
                    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
                    EXPECT_EQ(reinterpret_cast<WPARAM>(serial.GetSafeHandle()), msg.wParam);
                    codes.push_back(static_cast<long>(msg.lParam));
                }
                // Nothing more comes, and the port is not asked again.
                int calls = port.WaitCommEventCalls();
                Sleep(400);
                EXPECT_EQ(calls, port.WaitCommEventCalls());
                for (long code : heard.Take()) codes.push_back(code);
                for (long code : Codes(window.Drain(kMsg))) codes.push_back(code);
                EXPECT_EQ(std::vector<long>{CX_EVENT_DEVICE_REMOVED}, codes);

                // Still open until the host closes it; Close is prompt and
                // releases every handle once.
                EXPECT_TRUE(port.IsOpen());
                HANDLE handle = serial.GetSafeHandle();
                std::vector<HANDLE> owned = serial.Owned();
                auto start = std::chrono::steady_clock::now();
                EXPECT_EQ(1, serial.Close());
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
                EXPECT_EQ(1u, closed.Count(handle));
                for (HANDLE h : owned) EXPECT_EQ(1u, closed.Count(h));
                std::lock_guard<std::mutex> lock(createdMutex);
                for (HANDLE h : created) EXPECT_EQ(created.count(h), closed.Count(h));
            }
        }
    }
}

TEST(SerialExtras, RemovalWithoutTheRequestOrByCloseStaysAsBefore) {
    qvsim::SerialBus bus;
    qvtest::MessageWindow window;
    Events heard;

    // Without the request the callback hears nothing and the listener keeps
    // retrying (slowly).
    qvsim::SerialPort& first = bus.Add(L"COM7");
    CxSerial serial;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(nullptr, 0, &Events::Proc, &heard);
    ASSERT_TRUE(WaitUntil([&] { return first.PendingRequests() == 1; }));
    first.Remove(ERROR_ACCESS_DENIED);
    int calls = first.WaitCommEventCalls();
    ASSERT_TRUE(WaitUntil([&] { return first.WaitCommEventCalls() > calls + 1; }));
    EXPECT_EQ(0u, heard.Count());
    EXPECT_EQ(1, serial.Close());

    // Close cancels the listener's wait: that abort is not a removal.
    qvsim::SerialPort& second = bus.Add(L"COM8");
    ASSERT_EQ(1, serial.Open(L"COM8", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Events::Proc, &heard);
    ASSERT_EQ(1, serial.SetRemovalEvent(1));
    ASSERT_TRUE(WaitUntil([&] { return second.PendingRequests() == 1; }));
    EXPECT_EQ(1, serial.Close());
    EXPECT_EQ(0u, heard.Count());
    EXPECT_EQ(0, serial.SetRemovalEvent(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // A transfer and the listener both find the device gone: one message.
    qvsim::SerialPort& third = bus.Add(L"COM9");
    ASSERT_EQ(1, serial.Open(L"COM9", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, serial.SetRemovalEvent(1));
    unsigned char buffer[4];
    std::atomic<int> result{-1};
    std::thread reader([&] { result = serial.Recv(buffer, 4, INFINITE); });
    ASSERT_TRUE(WaitUntil([&] { return third.PendingRequests() == 2; }));
    third.Remove();
    reader.join();
    EXPECT_EQ(0, result.load());
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    Sleep(300);
    EXPECT_TRUE(window.Drain(kMsg).empty());
    EXPECT_EQ(1, serial.Close());
}
