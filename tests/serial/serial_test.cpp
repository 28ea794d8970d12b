#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/trace.h"
#include "quorvel/quorvel.h"
#include "sim/sim_serial.h"
#include "tests/support/guarded_object.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/trace_capture.h"
#include "tests/support/listener_calls.h"
#include "tests/support/wait_until.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

const UINT kMsg = WM_APP + 20;

using qvtest::WaitUntil;

using Calls = qvtest::ListenerCalls;

class Serial : public testing::Test {
protected:
    // Waits until the listener has finished deciding on everything so far:
    // it has asked for the next event again.
    void Settle(int calls_before) {
        ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > calls_before; }));
    }
    void ArriveAndSettle(const std::string& bytes) {
        int before = port.WaitCommEventCalls();
        port.Arrive(bytes);
        Settle(before);
    }
    std::vector<MSG> Messages() { return window.Drain(kMsg); }

    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    CxSerial serial;
};

}  // namespace

TEST_F(Serial, DataReadyGoesToTheWindowOrElseToTheCallbackOnTheListenerThread) {
    ASSERT_EQ(1, serial.Open(L"\\\\.\\COM7", 1));
    ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > 0; }));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());

    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    port.Arrive("hello");
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(reinterpret_cast<WPARAM>(serial.GetSafeHandle()), msg.wParam);
    EXPECT_EQ(CX_EVENT_DATA_READY, msg.lParam);

    unsigned long in = 0, out = 99;
    ASSERT_EQ(1, serial.GetBufferCount(&in, &out));
    EXPECT_EQ(5u, in);
    EXPECT_EQ(0u, out);
    unsigned char buffer[5];
    ASSERT_EQ(1, serial.Recv(buffer, 5, 1000));
    EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(buffer), 5));

    // With a callback as well, only the callback hears of it.
    Calls calls;
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Calls::Proc, &calls);
    port.Arrive("x");
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() == 1; }));
    EXPECT_EQ(CX_EVENT_DATA_READY, calls.events[0]);
    EXPECT_EQ(static_cast<unsigned int>(reinterpret_cast<UINT_PTR>(serial.GetSafeHandle())),
              calls.handle);
    EXPECT_EQ(&calls, calls.param);
    EXPECT_EQ(0u, calls.threads.count(GetCurrentThreadId()));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(1, serial.Close());
}

TEST_F(Serial, ThresholdUnreadDataAndWhatRaisesNothing) {
    ASSERT_EQ(1, serial.Open(L"COM7", 8));
    EXPECT_EQ(8, serial.GetRThreshold());
    serial.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return port.WaitCommEventCalls() > 0; }));

    ArriveAndSettle("12345");  // below the threshold
    EXPECT_TRUE(Messages().empty());
    ArriveAndSettle("678");  // reaches it
    EXPECT_EQ(1u, Messages().size());
    ArriveAndSettle("9");  // left unread: reported again with the next character
    EXPECT_EQ(1u, Messages().size());

    // A framing error purges the whole queue and raises nothing.
    int before = port.WaitCommEventCalls();
    port.LineError(CE_FRAME, "bad");
    Settle(before);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(0u, port.QueuedBytes());

    // A break alone raises nothing, and good data after it is not thrown away.
    serial.SetRThreshold(1);
    before = port.WaitCommEventCalls();
    port.Break();
    Settle(before);
    EXPECT_TRUE(Messages().empty());
    ArriveAndSettle("ok");
    EXPECT_EQ(1u, Messages().size());
    EXPECT_EQ(2u, port.QueuedBytes());

    // SelectEvent silences data-ready events at once and restores them
    // without a new Open; the port's own mask stays as Open set it.
    serial.SelectEvent(EV_BREAK);
    ArriveAndSettle("a");
    EXPECT_TRUE(Messages().empty());
    serial.SelectEvent(EV_RXCHAR | EV_BREAK);
    ArriveAndSettle("b");
    EXPECT_EQ(1u, Messages().size());
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_BREAK), port.CommMask());
}

TEST_F(Serial, RecvZeroFillsAndAWaitThatRunsOutLeavesNothingBehind) {
    qvtest::TraceCapture traces;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    port.Arrive("ab");
    unsigned char buffer[6];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(0, serial.Recv(buffer, 5, 200));
    EXPECT_EQ(std::string("ab\0\0\0\xEE", 6), std::string(reinterpret_cast<char*>(buffer), 6));

    // The read was withdrawn: bytes that come later wait in the queue and
    // are not written into the returned buffer.
    port.Arrive("LATE");
    EXPECT_EQ(std::string("ab\0\0\0\xEE", 6), std::string(reinterpret_cast<char*>(buffer), 6));
    EXPECT_EQ(4u, port.QueuedBytes());
    ASSERT_TRUE(traces.WaitFor("COM7 WaitForSingleObject"));
    EXPECT_EQ("COM7 WaitForSingleObject return 0x00000102, o.Internal = 0x00000103.\n",
              traces.Matching("WaitForSingleObject")[0]);

    // A write that stalls is withdrawn the same way.
    port.StallWrites(true);
    unsigned char data[3] = {'x', 'y', 'z'};
    EXPECT_EQ(0, serial.Send(data, 3, 100));
    port.ReleaseWrites();
    EXPECT_EQ("", port.Sent());  // nothing was left pending to go out later
}

TEST_F(Serial, InfiniteRecvCollectsBurstsAndShortReads) {
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    for (bool shortReads : {false, true}) {
        port.SetShortReads(shortReads);
        unsigned char buffer[10] = {};
        std::atomic<int> result{-1};
        std::thread reader([&] { result = serial.Recv(buffer, 10, INFINITE); });
        for (const char* burst : {"012", "345", "6789"}) {
            Sleep(30);
            port.Arrive(burst);
        }
        reader.join();
        EXPECT_EQ(1, result.load());
        EXPECT_EQ("0123456789", std::string(reinterpret_cast<char*>(buffer), 10));
    }
}

TEST_F(Serial, RemovedDeviceIsPostedToTheWindowOnlyAndTheListenerDoesNotSpin) {
    qvtest::TraceCapture traces;
    Calls calls;
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    serial.SetWndMsgProc(window.hwnd(), kMsg, &Calls::Proc, &calls);
    unsigned char buffer[4];
    std::atomic<int> result{-1};
    std::thread reader([&] { result = serial.Recv(buffer, 4, INFINITE); });
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 2; }));
    port.Remove();
    reader.join();
    EXPECT_EQ(0, result.load());

    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(reinterpret_cast<WPARAM>(serial.GetSafeHandle()), msg.wParam);
    EXPECT_EQ(CX_EVENT_DEVICE_REMOVED, msg.lParam);
    EXPECT_EQ(0u, calls.Count());
    ASSERT_TRUE(traces.WaitFor("Hardware is deleted"));
    EXPECT_EQ("COM7 WaitForSingleObject return 0x00000000, o.Internal = 0xC000009D.\n",
              traces.Matching("WaitForSingleObject")[0]);
    EXPECT_EQ("COM7 Hardware is deleted.\n", traces.Matching("Hardware")[0]);

    int before = port.WaitCommEventCalls();
    Sleep(500);
    EXPECT_LT(port.WaitCommEventCalls() - before, 15);

    // Without a window nothing is posted; the traces still come.
    serial.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    traces.Clear();
    EXPECT_EQ(0, serial.Send(buffer, 4, 100));
    EXPECT_TRUE(traces.WaitFor("Hardware is deleted"));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(0u, calls.Count());
    EXPECT_EQ(1, serial.Close());
}

TEST_F(Serial, OneSendAndOneRecvAtOnceBesideTheListener) {
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    Calls calls;
    serial.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    std::string outgoing, incoming;
    for (int i = 0; i < 20000; ++i) outgoing += static_cast<char>('A' + i % 26);
    for (int i = 0; i < 20000; ++i) incoming += static_cast<char>('a' + i % 23);

    std::vector<unsigned char> received(incoming.size());
    std::atomic<int> sent{-1}, got{-1};
    std::thread sender([&] {
        int ok = 1;
        for (size_t at = 0; at < outgoing.size(); at += 1000) {
            ok &= serial.Send(reinterpret_cast<unsigned char*>(&outgoing[at]), 1000, 5000);
        }
        sent = ok;
    });
    std::thread receiver([&] { got = serial.Recv(received.data(), received.size(), 5000); });
    for (size_t at = 0; at < incoming.size(); at += 700) port.Arrive(incoming.substr(at, 700));
    sender.join();
    receiver.join();
    EXPECT_EQ(1, sent.load());
    EXPECT_EQ(1, got.load());
    EXPECT_EQ(outgoing, port.Sent());
    EXPECT_EQ(incoming, std::string(received.begin(), received.end()));
}

// A second transfer in a direction that has one under way is refused, the
// first one unharmed; and a transfer whose event is set while its request
// still pends waits on instead of leaving the request behind.
TEST_F(Serial, ASecondTransferInOneDirectionIsRefusedAndNoneLeavesItsRequestPending) {
    DWORD testThread = GetCurrentThreadId();
    std::atomic<bool> early{false};
    Hook<os::WaitForSingleObject> wake([&](HANDLE h, DWORD ms) -> DWORD {
        if (GetCurrentThreadId() == testThread && early.exchange(false)) return WAIT_OBJECT_0;
        return WaitForSingleObject(h, ms);
    });
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));  // the listener's wait
    unsigned char first[2] = {}, second[2] = {};
    for (bool bSend : {false, true}) {
        port.StallWrites(bSend);
        std::atomic<int> done{-1};
        std::thread other([&] { done = bSend ? serial.Send(first, 2, 5000) : serial.Recv(first, 2, 5000); });
        ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 2; }));
        unsigned long n = 9;
        EXPECT_EQ(0, bSend ? serial.SendExact(second, 1, 1000, &n) : serial.RecvExact(second, 1, 1000, &n));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
        EXPECT_EQ(0u, n);
        bSend ? port.ReleaseWrites() : port.Arrive("ab");
        other.join();
        EXPECT_EQ(1, done.load());
    }
    EXPECT_EQ("ab", port.Sent());

    early = true;  // the receive's first wait ends with its request pending
    std::thread later([&] {
        Sleep(100);
        port.Arrive("c");
    });
    EXPECT_EQ(1, serial.Recv(second, 1, 5000));
    later.join();
    EXPECT_EQ('c', second[0]);
    EXPECT_EQ(1, port.PendingRequests());
    EXPECT_EQ(1, serial.Close());
    EXPECT_EQ(0, port.LateWrites());
}

// A call parked in its driver with no request to cancel (a query that never
// returns): Close closes the port under it once its bound has passed,
// rather than waiting for ever.
TEST_F(Serial, CloseEndsACallTheDriverNeverReturnsWithinItsBound) {
    std::atomic<HANDLE> parkedOn{nullptr};
    std::atomic<bool> released{false};
    std::atomic<DWORD> caller{0};
    Hook<os::CloseHandle> closing([&](HANDLE h) {
        if (h == parkedOn.load()) released = true;
        return closing.Real()(h);
    });
    Hook<os::ClearCommError> parked([&](HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
        if (GetCurrentThreadId() == caller.load()) {
            parkedOn = h;
            while (!released) Sleep(1);
        }
        return parked.Real()(h, errors, stat);
    });
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    std::thread querying([&] {
        caller = GetCurrentThreadId();
        unsigned long in = 0, out = 0;
        serial.GetBufferCount(&in, &out);
    });
    ASSERT_TRUE(WaitUntil([&] { return parkedOn.load() != nullptr; }));
    bool finished = qvtest::FinishesWithin([&] { serial.Close(); }, 5000);
    released = true;
    querying.join();
    if (!finished) Sleep(500);  // the close goes on once the query is let go
    EXPECT_TRUE(finished) << "Close waits for ever for a call its driver never returns from";
}

TEST_F(Serial, OpenAndCloseInEveryState) {
    // Close returns promptly while idle and while data streams in.
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    std::atomic<bool> streaming{true};
    std::thread feeder([&] {
        while (streaming) {
            port.Arrive("data");
            Sleep(1);
        }
    });
    Sleep(50);
    EXPECT_EQ(1, serial.Close());
    streaming = false;
    feeder.join();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(0, serial.Close());  // twice

    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    EXPECT_EQ(1, serial.Close());

    // Open on an open object closes the old port first, even if the new
    // open fails; a missing port leaves the path empty.
    qvsim::SerialPort& other = bus.Add(L"COM8");
    ASSERT_EQ(1, serial.Open(L"COM8", 1));
    EXPECT_EQ(0, serial.Open(L"COM9", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(other.IsOpen());
    wchar_t path[260] = L"junk";
    serial.GetDevPath(path);
    EXPECT_STREQ(L"", path);

    // The port is exclusive.
    CxSerial first, second;
    ASSERT_EQ(1, first.Open(L"COM7", 1));
    EXPECT_EQ(0, second.Open(L"\\\\.\\COM7", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    first.GetDevPath(path);
    EXPECT_STREQ(L"COM7", path);
    EXPECT_EQ(1, first.IsListening());
    first.Close();

    // Without a listener the port still opens and works; IsListening tells.
    {
        Hook<os::CreateThread> noThread([](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                           LPVOID, DWORD, LPDWORD) -> HANDLE {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        });
        ASSERT_EQ(1, first.Open(L"COM7", 1));
        EXPECT_EQ(0, first.IsListening());
        unsigned char byte = 'b';
        EXPECT_EQ(1, first.Send(&byte, 1, 1000));
        EXPECT_EQ(1, first.Close());
    }
}

TEST_F(Serial, BadInputAndClosedObjects) {
    std::wstring longPath = L"\\\\.\\" + std::wstring(256, L'C');
    EXPECT_EQ(0, serial.Open(longPath.c_str(), 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
    EXPECT_EQ(0, serial.Open(nullptr, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    unsigned char byte = 0;
    unsigned long in = 1, out = 1;
    DCB dcb = {};
    EXPECT_EQ(0, serial.Send(&byte, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0, serial.Recv(&byte, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0, serial.GetSettings(&dcb));
    EXPECT_EQ(0, serial.SetSettings(&dcb));
    EXPECT_EQ(0, serial.SetBufferSize(100, 100));
    EXPECT_EQ(0, serial.GetBufferSize(&in, &out));
    EXPECT_EQ(0, serial.GetBufferCount(&in, &out));
    EXPECT_EQ(0, serial.ClearBuffer(1));
    EXPECT_EQ(nullptr, serial.GetSafeHandle());

    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    EXPECT_EQ(1, serial.Send(nullptr, 0, 0));  // nothing to move
    EXPECT_EQ(1, serial.Recv(nullptr, 0, 0));
    EXPECT_EQ(0, serial.Recv(nullptr, 4, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, serial.GetSettings(nullptr));
    EXPECT_EQ(0, serial.SetSettings(nullptr));
}

TEST_F(Serial, SettingsAndQueues) {
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_EQ(1, serial.GetSettings(&dcb));
    dcb.BaudRate = CBR_115200;
    ASSERT_EQ(1, serial.SetSettings(&dcb));
    EXPECT_EQ(static_cast<DWORD>(CBR_115200), port.Settings().BaudRate);
    dcb.ByteSize = 3;
    EXPECT_EQ(0, serial.SetSettings(&dcb));

    ASSERT_EQ(1, serial.SetBufferSize(1000, 500));
    unsigned long in = 0, out = 0;
    ASSERT_EQ(1, serial.GetBufferSize(&in, &out));
    EXPECT_EQ(1000u, in);
    EXPECT_EQ(500u, out);
    EXPECT_EQ(1, serial.GetBufferSize(nullptr, nullptr));
    EXPECT_EQ(1, serial.GetBufferCount(nullptr, nullptr));

    port.Arrive("xyz");
    int purges = port.ReceivePurges();
    EXPECT_EQ(1, serial.ClearBuffer(2));  // any non-zero value means the receive queue
    EXPECT_EQ(purges + 1, port.ReceivePurges());
    EXPECT_EQ(0u, port.QueuedBytes());
}

TEST_F(Serial, TraceLines) {
    qvtest::TraceCapture traces;
    {
        // Without events from Open, the transfers try to make their own and
        // say so; a port without its listener still opens.
        Hook<os::CreateEventW> noEvents([](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
            return nullptr;
        });
        ASSERT_EQ(1, serial.Open(L"COM7", 1));
        unsigned char byte = 0;
        EXPECT_EQ(0, serial.Send(&byte, 1, 0));
        EXPECT_EQ(0, serial.Recv(&byte, 1, 0));
        EXPECT_EQ(1, serial.Close());
    }
    EXPECT_EQ("COM7 m_hEventSend = 0.\n", traces.Matching("m_hEventSend")[0]);
    EXPECT_EQ("COM7 m_hEventRecv = 0.\n", traces.Matching("m_hEventRecv")[0]);
    EXPECT_EQ("COM7 m_hEventListen = 0.\n", traces.Matching("m_hEventListen")[0]);
    traces.Clear();

    // Entry and exit of the listener name its thread and the port.
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    ASSERT_TRUE(traces.WaitFor("has entered"));
    EXPECT_EQ(1, serial.Close());
    auto entered = traces.Matching("has entered");
    auto exited = traces.Matching("has exited");
    ASSERT_EQ(1u, entered.size());
    ASSERT_EQ(1u, exited.size());
    unsigned id = 0;
    ASSERT_EQ(1, sscanf(entered[0].c_str(), "The thread 0x%X(", &id));
    char expected[128];
    snprintf(expected, sizeof expected, "The thread 0x%X(COM7 CxSerial::OnListen) has entered.\n", id);
    EXPECT_EQ(expected, entered[0]);
    snprintf(expected, sizeof expected, "The thread 0x%X(COM7 CxSerial::OnListen) has exited.\n", id);
    EXPECT_EQ(expected, exited[0]);

    // A line longer than the trace buffer is cut and keeps its line feed.
    traces.Clear();
    std::wstring longText(400, L'p');
    quorvel::Trace(L"%s Hardware is deleted.\n", longText.c_str());
    ASSERT_EQ(1u, traces.Lines().size());
    EXPECT_EQ(259u, traces.Lines()[0].size());
    EXPECT_EQ('\n', traces.Lines()[0].back());
}

TEST_F(Serial, CopiesShareThePortButOnlyTheOwnerClosesIt) {
    port.KeepClosedHandles();  // a second close of a handle would count
    auto owner = std::make_unique<CxSerial>();
    ASSERT_EQ(1, owner->Open(L"COM7", 1));
    HANDLE handle = owner->GetSafeHandle();
    {
        CxSerial copy(*owner);
        EXPECT_EQ(handle, copy.GetSafeHandle());
        unsigned char data[2] = {'h', 'i'};
        EXPECT_EQ(1, copy.Send(data, 2, 1000));
        CxSerial assigned;
        assigned = copy;
        EXPECT_EQ(0, assigned.Close());  // a copy lets go without closing
    }
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(0, port.HandleCloses());

    // The owner's listener still works after its copies are gone.
    Calls calls;
    owner->SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    port.Arrive("z");
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() == 1; }));

    // Once the owner has closed the port, a copy fails instead of using the
    // stale handle.
    CxSerial survivor(*owner);
    EXPECT_EQ(1, owner->Close());
    EXPECT_EQ(1, port.HandleCloses());
    unsigned char byte = 0;
    EXPECT_EQ(0, survivor.Send(&byte, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, survivor.GetSafeHandle());

    // Destroying an object whose port is still open closes it without hanging.
    ASSERT_EQ(1, owner->Open(L"COM7", 1));
    owner.reset();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(2, port.HandleCloses());
}

// A host that closes the port, or deletes the object, from inside the
// callback: the call works, the port and the listener's thread are gone
// afterwards, and the listener never touches the object again (its memory
// is made inaccessible the moment it is destroyed).
TEST_F(Serial, CloseOrDeleteFromTheCallback) {
    enum Mode { kClose, kDelete, kCloseThenDelete };
    for (Mode mode : {kClose, kDelete, kCloseThenDelete}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        struct Host {
            Mode mode;
            qvtest::GuardedObject<CxSerial> serial;
            std::atomic<int> calls{0};
            std::atomic<int> closed{-1};
            static long CALLBACK Proc(void* p, unsigned int, long) {
                Host* h = static_cast<Host*>(p);
                if (h->calls++) return 0;
                unsigned char byte = 0;
                h->serial->Recv(&byte, 1, 1000);
                if (h->mode != kDelete) h->closed = h->serial->Close();
                if (h->mode != kClose) h->serial.Destroy();
                return 0;
            }
        } host;
        host.mode = mode;
        struct Peek : CxSerial {
            static void* Listener(CxSerial& s) { return static_cast<Peek&>(s).m_ListenThread.GetSafeHandle(); }
        };
        host.serial->SetWndMsgProc(nullptr, 0, &Host::Proc, &host);
        ASSERT_EQ(1, host.serial->Open(L"COM7", 1));
        HANDLE listener = nullptr;
        DuplicateHandle(GetCurrentProcess(), Peek::Listener(*host.serial), GetCurrentProcess(),
                        &listener, SYNCHRONIZE, FALSE, 0);
        ASSERT_NE(nullptr, listener);
        port.Arrive("x");
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 10000));
        CloseHandle(listener);
        EXPECT_EQ(1, host.calls.load());
        // The destructor closes a port its object opened, so both ways end
        // with the port closed.
        EXPECT_FALSE(port.IsOpen());
        if (mode != kDelete) {
            EXPECT_EQ(1, host.closed.load());
        }
        if (mode == kClose) {
            EXPECT_EQ(0, host.serial->IsListening());
        }
    }
}

// A driver that completes a cancelled request late, or never. No call
// returns while its request may still be written into (the port counts a
// completion that finds its request's memory reused), and Close and the
// destructor end whatever the driver does: past a grace the port is closed
// under the requests, once, with a trace line.
TEST_F(Serial, CancelledRequestsThatCompleteLateOrNever) {
    qvtest::TraceCapture traces;
    unsigned char buffer[4];
    port.KeepClosedHandles();  // a second close of a handle would count
    port.SetCancelDelay(20);
    ASSERT_EQ(1, serial.Open(L"COM7", 1));
    ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 1; }));  // the listener's wait
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, serial.Recv(buffer, sizeof buffer, 10));
        EXPECT_EQ(1, port.PendingRequests());  // the read was reaped before Recv returned
    }
    EXPECT_EQ(1, serial.Close());
    EXPECT_EQ(0, port.PendingRequests());
    EXPECT_TRUE(traces.Matching("after their cancel").empty());

    port.SetCancelDelay(INFINITE);
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "closed");
        traces.Clear();
        auto* owner = new CxSerial;
        ASSERT_EQ(1, owner->Open(L"COM7", 1));
        int closedBefore = port.HandleCloses();
        auto result = std::make_shared<std::atomic<int>>(-1);
        std::thread reader([owner, result] {
            unsigned char byte;
            *result = owner->Recv(&byte, 1, INFINITE);
        });
        ASSERT_TRUE(WaitUntil([&] { return port.PendingRequests() == 2; }));
        if (!qvtest::FinishesWithin([&] { destroy ? delete owner : void(owner->Close()); }, 10000)) {
            reader.detach();
            FAIL() << "the close waits for ever for a request its driver never completes";
        }
        reader.join();
        EXPECT_EQ(0, result->load());
        EXPECT_EQ(closedBefore + 1, port.HandleCloses());  // once, never twice
        EXPECT_EQ(1u, traces.Matching("COM7 requests still pending 500 ms after their cancel: "
                                      "closing the port.\n").size());
        if (!destroy) delete owner;
    }
    EXPECT_EQ(0, port.LateWrites());
}
