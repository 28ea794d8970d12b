// The failure rule of include/quorvel/core.h, across every exported class:
// an operation that needs an open object, called on one that was never
// opened, on one its close operation closed, and on a copy whose owner has
// closed, returns its failure value and leaves ERROR_INVALID_HANDLE
// (WSAENOTSOCK for the socket classes) as the last error, whatever error
// was there before. Where a class can be opened with nothing outside this
// process (an empty device set, a loopback socket), it is also opened first.
//
// Not rows: predicates that answer a question (IsConnected, IsBinded,
// IsListening, ...), getters, close operations of the socket classes (closing
// nothing succeeds), and operations documented to work without an open object
// (CxBthRadio's thin operations and device search use every radio then;
// CxBthAuthenResponse::UnregisterAuthentication hands the platform NULL and
// returns its answer). CxThread has no operation that fails for want of a
// thread.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/support/os_hook.h"
#include "tests/support/trace_capture.h"

namespace {

using Result = unsigned long long;
constexpr DWORD kStale = 0x2000DEAD;  // an error no operation sets
constexpr Result kInvalidSocket = static_cast<Result>(INVALID_SOCKET);

template <class T>
struct Op {
    const char* name;
    Result failure;
    std::function<Result(T&)> call;
};

template <class T>
struct ClassRows {
    const char* name;
    bool bSockets;                 // Windows Sockets errors
    std::function<void(T&)> open;  // with nothing outside the process; may fail; may be empty
    std::function<void(T&)> close;
    std::vector<Op<T>> ops;
    bool bCopiesShare = true;  // false: a copy holds a list of its own, and closes it itself
};

unsigned char g_byte[4];
wchar_t g_text[QV_DEVICE_TEXT_CCH];
unsigned long g_ul1, g_ul2;

// One failure per row, naming each state in which it broke the rule.
template <class T>
void Check(const ClassRows<T>& rows) {
    const DWORD dwExpected = rows.bSockets ? WSAENOTSOCK : ERROR_INVALID_HANDLE;
    for (const Op<T>& op : rows.ops) {
        std::ostringstream broken;
        auto expect = [&](T& object, const char* state) {
            SetLastError(kStale);
            Result result = op.call(object);
            DWORD dwError = rows.bSockets ? SocketGetLastError() : GetLastError();
            if (result != op.failure || dwError != dwExpected) {
                broken << "\n  " << state << ": result " << static_cast<long long>(result)
                       << ", last error " << dwError;
            }
        };
        {
            T object;
            expect(object, "never opened");
            T copy(object);
            expect(copy, "copy of a never-opened object");
        }
        {
            T object;
            rows.close(object);
            expect(object, "closed without being opened");
        }
        if (rows.open) {
            T object;
            rows.open(object);
            rows.close(object);
            expect(object, "opened, then closed");
            T owner;
            rows.open(owner);
            T copy(owner);
            rows.close(rows.bCopiesShare ? owner : copy);
            expect(copy, rows.bCopiesShare ? "copy whose owner closed" : "copy, closed");
            rows.close(copy);
        }
        EXPECT_TRUE(broken.str().empty())
            << rows.name << "::" << op.name << " should fail with "
            << static_cast<long long>(op.failure) << " and last error " << dwExpected
            << broken.str();
    }
}

class FailureRule : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, SocketInit());
        // A loopback listener for the TCP client to reach.
        ASSERT_EQ(1, m_server.ListenConnection(L"127.0.0.1", 0));
        SOCKADDR_IN addr = {};
        int nLength = sizeof addr;
        ASSERT_EQ(0, getsockname(m_server.GetSocket(), reinterpret_cast<SOCKADDR*>(&addr),
                                 &nLength));
        s_nPort = ntohs(addr.sin_port);
    }
    void TearDown() override {
        m_server.DisListenConnection();
        SocketUnInit();
    }

    static int s_nPort;

private:
    CxServerSocket m_server;
};

int FailureRule::s_nPort = 0;

GUID g_comport = QV_GUID_DEVINTERFACE_COMPORT;

}  // namespace

TEST_F(FailureRule, EndpointsFailAsClosed) {
    Check<CxComm>({"CxComm", false, nullptr, [](CxComm&) {},
                   {{"Send", 0, [](CxComm& o) -> Result { return o.Send(g_byte, 1, 0); }},
                    {"Recv", 0, [](CxComm& o) -> Result { return o.Recv(g_byte, 1, 0); }}}});

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    Check<CxSerial>(
        {"CxSerial",
         false,
         nullptr,
         [](CxSerial& o) { o.Close(); },
         {{"Close", 0, [](CxSerial& o) -> Result { return o.Close(); }},
          {"GetSettings", 0, [&](CxSerial& o) -> Result { return o.GetSettings(&dcb); }},
          {"SetSettings", 0, [&](CxSerial& o) -> Result { return o.SetSettings(&dcb); }},
          {"SetBufferSize", 0, [](CxSerial& o) -> Result { return o.SetBufferSize(4096, 4096); }},
          {"GetBufferSize", 0,
           [](CxSerial& o) -> Result { return o.GetBufferSize(&g_ul1, &g_ul2); }},
          {"GetBufferCount", 0,
           [](CxSerial& o) -> Result { return o.GetBufferCount(&g_ul1, &g_ul2); }},
          {"ClearBuffer", 0, [](CxSerial& o) -> Result { return o.ClearBuffer(1); }},
          {"SetLineErrorEvent", 0, [](CxSerial& o) -> Result { return o.SetLineErrorEvent(1); }},
          {"GetLineError", 0,
           [](CxSerial& o) -> Result { return o.GetLineError(&g_ul1, &g_ul2); }},
          {"SetRemovalEvent", 0, [](CxSerial& o) -> Result { return o.SetRemovalEvent(1); }},
          {"Send", 0, [](CxSerial& o) -> Result { return o.Send(g_byte, 1, 0); }},
          {"Recv", 0, [](CxSerial& o) -> Result { return o.Recv(g_byte, 1, 0); }}}});

    Check<CxSocket>({"CxSocket", true, nullptr, [](CxSocket& o) { o.CloseSocket(); },
                     {{"SelectEvent", 0, [](CxSocket& o) -> Result {
                           return o.SelectEvent(CX_SOCKET_READ);
                       }}}});

    Check<CxClientSocket>(
        {"CxClientSocket",
         true,
         [](CxClientSocket& o) { EXPECT_EQ(1, o.Connect(L"127.0.0.1", s_nPort, 0)); },
         [](CxClientSocket& o) { o.DisConnect(); },
         {{"Send", 0, [](CxClientSocket& o) -> Result { return o.Send(g_byte, 1, 0); }},
          {"Recv", 0, [](CxClientSocket& o) -> Result { return o.Recv(g_byte, 1, 0); }},
          {"GetPeerAddress", 0,
           [](CxClientSocket& o) -> Result { return o.GetPeerAddress(g_text); }},
          {"GetSockAddress", 0,
           [](CxClientSocket& o) -> Result { return o.GetSockAddress(g_text); }},
          {"SelectEvent", 0,
           [](CxClientSocket& o) -> Result { return o.SelectEvent(CX_SOCKET_READ); }}}});

    Check<CxServerSocket>(
        {"CxServerSocket",
         true,
         [](CxServerSocket& o) { EXPECT_EQ(1, o.ListenConnection(L"127.0.0.1", 0)); },
         [](CxServerSocket& o) { o.DisListenConnection(); },
         {{"AcceptConnection", kInvalidSocket,
           [](CxServerSocket& o) -> Result { return o.AcceptConnection(); }},
          {"Send", 0, [](CxServerSocket& o) -> Result { return o.Send(g_byte, 1, 0); }},
          {"Recv", 0, [](CxServerSocket& o) -> Result { return o.Recv(g_byte, 1, 0); }}}});

    Check<CxUdpSocket>(
        {"CxUdpSocket",
         true,
         [](CxUdpSocket& o) {
             EXPECT_EQ(1, o.Bind(0, 0));
             o.SetPeerAddress(L"127.0.0.1");
         },
         [](CxUdpSocket& o) { o.Disbind(); },
         {{"Send", 0, [](CxUdpSocket& o) -> Result { return o.Send(g_byte, 1, 0); }},
          {"SendTo", 0,
           [](CxUdpSocket& o) -> Result { return o.SendTo(L"127.0.0.1", g_byte, 1); }},
          {"Recv", 0, [](CxUdpSocket& o) -> Result { return o.Recv(g_byte, 1, 0); }},
          {"RecvFrom", 0,
           [](CxUdpSocket& o) -> Result { return o.RecvFrom(g_text, g_byte, 1); }}}});

    Check<CxBthClientSocket>(
        {"CxBthClientSocket",
         true,
         nullptr,
         [](CxBthClientSocket& o) { o.DisConnect(); },
         {{"Send", 0, [](CxBthClientSocket& o) -> Result { return o.Send(g_byte, 1, 0); }},
          {"Recv", 0, [](CxBthClientSocket& o) -> Result { return o.Recv(g_byte, 1, 0); }},
          {"GetPeerAddress", 0,
           [](CxBthClientSocket& o) -> Result { return o.GetPeerAddress(g_text); }},
          {"GetSockAddress", 0,
           [](CxBthClientSocket& o) -> Result { return o.GetSockAddress(g_text); }}}});

    Check<CxBthServerSocket>(
        {"CxBthServerSocket",
         true,
         nullptr,
         [](CxBthServerSocket& o) { o.DisListenConnection(); },
         {{"AcceptConnection", kInvalidSocket,
           [](CxBthServerSocket& o) -> Result { return o.AcceptConnection(); }}}});
}

TEST_F(FailureRule, FindersFailAsClosedOutsideAWalk) {
    Check<CxDeviceFind>(
        {"CxDeviceFind", false, [](CxDeviceFind& o) { o.FindDevice(&g_comport); },
         [](CxDeviceFind& o) { o.Close(); },
         {{"FindNextDevice", 0, [](CxDeviceFind& o) -> Result { return o.FindNextDevice(); }}}});
    Check<CxDeviceMapFind>(
        {"CxDeviceMapFind", false, [](CxDeviceMapFind& o) { o.FindDeviceMap(&g_comport); },
         [](CxDeviceMapFind& o) { o.Close(); },
         {{"FindNextDeviceMap", 0,
           [](CxDeviceMapFind& o) -> Result { return o.FindNextDeviceMap(); }}}});
    Check<CxLocalHostIPAddrFind>(
        {"CxLocalHostIPAddrFind", false, nullptr,
         [](CxLocalHostIPAddrFind& o) { o.FindIPAddrClose(); },
         {{"FindNextIPAddr", 0,
           [](CxLocalHostIPAddrFind& o) -> Result { return o.FindNextIPAddr(); }}}});
    Check<CxAdapterFind>(
        {"CxAdapterFind", false, [](CxAdapterFind& o) { o.FindAdapter(); },
         [](CxAdapterFind& o) { o.FindAdapterClose(); },
         {{"FindNextAdapter", 0, [](CxAdapterFind& o) -> Result { return o.FindNextAdapter(); }}}});
    // Never scanned here: a scan would probe the machine's own subnet.
    Check<CxNetworkHostFind>(
        {"CxNetworkHostFind", false, nullptr, [](CxNetworkHostFind& o) { o.FindHostClose(); },
         {{"FindNextHost", 0, [](CxNetworkHostFind& o) -> Result { return o.FindNextHost(); }}}});
    Check<CxSerialPortFind>(
        {"CxSerialPortFind", false, [](CxSerialPortFind& o) { o.FindPort(); },
         [](CxSerialPortFind& o) { o.Close(); },
         {{"FindNextPort", 0, [](CxSerialPortFind& o) -> Result { return o.FindNextPort(); }}},
         false});
}

TEST_F(FailureRule, BluetoothObjectsFailAsClosed) {
    Check<CxBthRadioFind>(
        {"CxBthRadioFind", false, [](CxBthRadioFind& o) { o.FindRadio(0); },
         [](CxBthRadioFind& o) { o.FindRadioClose(); },
         {{"FindNextRadio(0)", 0, [](CxBthRadioFind& o) -> Result { return o.FindNextRadio(0); }},
          {"FindNextRadio(1)", 0,
           [](CxBthRadioFind& o) -> Result { return o.FindNextRadio(1); }}}});
    // No device search is started: on a machine with a radio it would be a
    // real inquiry. The SPP operations need the radio that Open opened.
    Check<CxBthRadio>(
        {"CxBthRadio",
         false,
         nullptr,
         [](CxBthRadio& o) {
             o.FindRemoteDeviceClose();
             o.Close();
         },
         {{"FindNextRemoteDevice", 0,
           [](CxBthRadio& o) -> Result { return o.FindNextRemoteDevice(); }},
          {"InstallRemoteDeviceSPPService", 0,
           [](CxBthRadio& o) -> Result { return o.InstallRemoteDeviceSPPService(); }}}});
    Check<CxBthRemoteDeviceFind>(
        {"CxBthRemoteDeviceFind", false, nullptr, [](CxBthRemoteDeviceFind& o) { o.Close(); },
         {{"FindNextDevice", 0,
           [](CxBthRemoteDeviceFind& o) -> Result { return o.FindNextDevice(); }}}});
}

// Free functions hold nothing open; each refuses what it cannot use with the
// code named at it, over whatever error was there before.
TEST_F(FailureRule, FreeFunctionsNameTheirRefusal) {
    struct Row {
        const char* name;
        DWORD dwError;
        std::function<Result()> call;
    };
    wchar_t a[48], b[48];
    unsigned char status = 0;
    const Row rows[] = {
        {"GetIPAddrByDomainName(NULL)", WSAEINVAL,
         [&] { return static_cast<Result>(GetIPAddrByDomainName(nullptr, a)); }},
        {"GetFirstValidIPAddress(NULL)", ERROR_INVALID_PARAMETER,
         [] { return static_cast<Result>(GetFirstValidIPAddress(nullptr)); }},
        {"BthAuthenDevice(NULL)", ERROR_INVALID_PARAMETER,
         [&] { return static_cast<Result>(BthAuthenDevice(nullptr, b, L"1234")); }},
        {"BthFindDevice(NULL)", ERROR_INVALID_PARAMETER,
         [&] { return static_cast<Result>(BthFindDevice(nullptr, a, b, 0xFF, 0, &status)); }},
    };
    for (const Row& row : rows) {
        SetLastError(kStale);
        EXPECT_EQ(0u, row.call()) << row.name;
        EXPECT_EQ(row.dwError, GetLastError()) << row.name;
    }
}

// A step that fails and then lets go of what it held reports the step's
// error, even where releasing writes an error of its own: a bind with a
// listener whose wake cannot connect releases the wake (a scoped owner) and
// then the endpoint's socket (a shared one).
TEST(FailureCleanUp, ReleasesKeepTheFailedStepsError) {
    ASSERT_EQ(1, SocketInit());
    {
        qvtest::Hook<quorvel::os::connect> refuse([](SOCKET, const sockaddr*, int) {
            WSASetLastError(WSAENETUNREACH);
            return SOCKET_ERROR;
        });
        auto closeReal = quorvel::os::closesocket;
        qvtest::Hook<quorvel::os::closesocket> close([closeReal](SOCKET s) {
            int nResult = closeReal(s);
            WSASetLastError(WSAEWOULDBLOCK);  // as a system that writes it on success
            return nResult;
        });
        CxUdpSocket udp;
        EXPECT_EQ(0, udp.Bind(0, 1));
        EXPECT_EQ(WSAENETUNREACH, SocketGetLastError());
        EXPECT_EQ(INVALID_SOCKET, udp.GetSocket());
    }
    SocketUnInit();
}

// A build with QV_TRACE_FAILURES traces a reported failure with the call,
// its error and its place; the product's build writes no such line.
TEST(FailureTrace, TracedOnlyWhereTheBuildAsks) {
    qvtest::TraceCapture trace;
    CxSerial serial;
    ASSERT_EQ(0, serial.Open(L"\\\\.\\QVNOSUCHPORT", 0));
    const std::string error = "error " + std::to_string(GetLastError()) + " ";
#ifdef QV_TRACE_FAILURES
    std::vector<std::string> lines = trace.Matching("Failed: CreateFileW, " + error);
    ASSERT_EQ(1u, lines.size()) << error;
    EXPECT_NE(std::string::npos, lines[0].find("in Open at serial/serial.cpp:")) << lines[0];
#else
    EXPECT_TRUE(trace.Matching("Failed: ").empty()) << trace.Matching("Failed: ")[0];
#endif
}
