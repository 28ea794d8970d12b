// Every single platform failure in the core and serial scenarios.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/fault/fault_runner.h"
#include "sim/sim_serial.h"
#include "tests/support/message_window.h"

namespace {

void ExpectClean(const qvfault::Outcome& outcome, long stride = 1) {
    EXPECT_GT(outcome.calls, 0);
    EXPECT_GE(outcome.injected, outcome.calls / stride * 3 / 4);
    for (const std::string& finding : outcome.findings) ADD_FAILURE() << finding;
}

DWORD WINAPI PollUntilAsked(void* pThread) {
    auto* thread = static_cast<CxThread*>(pThread);
    thread->SetThreadStartedEvent();
    while (!thread->ToExitThread()) Sleep(1);
    return 0;
}

long CALLBACK CountEvents(void* pParam, unsigned int, long) {
    ++*static_cast<std::atomic<int>*>(pParam);
    return 0;
}

std::string Tail(const std::string& text, size_t n) {
    return text.size() < n ? text : text.substr(text.size() - n);
}

}  // namespace

TEST(Fault, WorkerThreadStartStopCopyAndEndedMessage) {
    qvtest::MessageWindow window;
    HWND hwnd = window.hwnd();
    ExpectClean(qvfault::RunUnderFaults("thread start/copy/stop", [hwnd]() -> std::string {
        CxThread thread;
        thread.SetWndMsg(hwnd, WM_APP + 1);
        // A finite start wait: with the start signal failing, an unlimited one
        // waits for ever, as documented.
        if (!thread.CreateThread(nullptr, 0, &PollUntilAsked, nullptr, 0, 5000)) {
            if (thread.GetSafeHandle()) return "CreateThread failed but holds a thread";
            return "";
        }
        if (!thread.GetSafeHandle()) return "CreateThread succeeded without a thread";
        CxThread copy(thread);
        CxThread assigned;
        assigned = copy;
        copy.CloseThread(0);
        thread.IsThreadRunning();
        thread.CloseThread(INFINITE);
        if (thread.GetSafeHandle()) return "CloseThread left a handle";
        if (assigned.IsThreadRunning()) return "a copy sees the closed thread running";
        return "";
    }));
    window.Drain(WM_APP + 1);

    ExpectClean(qvfault::RunUnderFaults("thread that returns at once", []() -> std::string {
        CxThread thread;
        if (thread.CreateThread(nullptr, 0, nullptr, nullptr, 0, INFINITE)) {
            thread.CloseThread(INFINITE);
            if (thread.IsThreadRunning()) return "the closed thread still runs";
        }
        return "";
    }));
}

TEST(Fault, SerialOpenConfigureTransferListenClose) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvtest::MessageWindow window;
    HWND hwnd = window.hwnd();

    ExpectClean(qvfault::RunUnderFaults("serial open/configure/transfer/close", [&]() -> std::string {
        std::atomic<int> events{0};
        CxSerial serial;
        serial.SetWndMsgProc(hwnd, WM_APP + 2, &CountEvents, &events);
        if (!serial.Open(L"COM7", 1)) {
            if (port.IsOpen()) return "Open failed but left the port open";
            if (serial.GetSafeHandle()) return "Open failed but holds a handle";
            return "";
        }
        if (!port.IsOpen()) return "Open succeeded but the port is not open";

        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (serial.GetSettings(&dcb)) {
            dcb.BaudRate = CBR_57600;
            if (serial.SetSettings(&dcb) && port.Settings().BaudRate != CBR_57600) {
                return "SetSettings succeeded but the port kept its rate";
            }
        }
        unsigned long in = 0, out = 0;
        if (serial.SetBufferSize(2048, 1024) && serial.GetBufferSize(&in, &out) &&
            (in != 2048 || out != 1024)) {
            return "GetBufferSize does not show the sizes set";
        }
        unsigned char hello[5] = {'h', 'e', 'l', 'l', 'o'};
        if (serial.Send(hello, 5, 2000) && Tail(port.Sent(), 5) != "hello") {
            return "Send succeeded but the port did not send the bytes";
        }
        port.Arrive("world");
        unsigned char buffer[5] = {};
        if (serial.Recv(buffer, 5, 2000) && std::memcmp(buffer, "world", 5) != 0) {
            return "Recv succeeded with other bytes than arrived";
        }
        // A read that runs out of time is withdrawn before Recv returns.
        bool empty = port.QueuedBytes() == 0;  // unless a failed Recv left the bytes
        if (serial.Recv(buffer, 1, 20) && empty) return "Recv of nothing succeeded";
        if (port.PendingRequests() > 1) return "a withdrawn read is still pending";
        serial.GetBufferCount(&in, &out);
        if (serial.SetDtr(0) && port.Dtr()) return "SetDtr succeeded but DTR is up";
        if (serial.SendBreak(0) && port.BreakOn()) return "SendBreak succeeded but the line is held";
        if (serial.SetModemEvent(1)) port.SetModemLines(MS_CTS_ON);
        serial.ClearBuffer(1);
        serial.ClearBuffer(0);
        CxSerial copy(serial);
        copy.Close();
        serial.Close();
        if (port.IsOpen()) return "the port is open after Close";
        if (serial.GetSafeHandle()) return "Close left a handle";
        return "";
    }));
}

TEST(Fault, SerialWritesThatStallAndAReopen) {
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM8");
    ExpectClean(qvfault::RunUnderFaults("serial stalled write and reopen", [&]() -> std::string {
        CxSerial serial;
        if (!serial.Open(L"\\\\.\\COM8", 4)) return "";
        port.StallWrites(true);
        unsigned char data[3] = {'x', 'y', 'z'};
        int sent = serial.Send(data, 3, 20);
        port.StallWrites(false);
        port.ReleaseWrites();
        if (sent) return "a write that stalled was reported sent";
        // Open on an open object closes the first port first.
        if (serial.Open(L"COM8", 1) && !port.IsOpen()) return "the reopened port is not open";
        serial.Close();
        if (port.IsOpen()) return "the port is open after Close";
        return "";
    }));
}
