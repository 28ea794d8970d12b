// A TCP echo server driven by window messages and a client that hears the
// echo through the listener callback.
//
//   tcp_echo server PORT               echo for every client, until Ctrl+C
//   tcp_echo client ADDRESS PORT TEXT  send TEXT, print the echo
//   tcp_echo demo [PORT]               both in one process over loopback
//
// A message is one length byte and that many bytes of text.
#include <quorvel/quorvel.h>  // before <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const UINT WM_SERVER = WM_APP + 1;  // events of the listening socket
const UINT WM_PEER = WM_APP + 2;    // events of the accepted connections

std::vector<std::unique_ptr<CxClientSocket>> g_peers;
CxServerSocket g_server;

// One framed message from a connection; false when the connection is gone.
bool ReadMessage(CxClientSocket& socket, char* text) {
    unsigned char length = 0;
    if (!socket.Recv(&length, 1, 0)) return false;
    if (length && !socket.Recv(reinterpret_cast<unsigned char*>(text), length, 0)) return false;
    text[length] = '\0';
    return true;
}

LRESULT CALLBACK ServerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SERVER && WSAGETSELECTEVENT(lParam) == CX_SOCKET_ACCEPT) {
        SOCKET s = g_server.AcceptConnection();
        if (s == INVALID_SOCKET) return 0;
        auto peer = std::make_unique<CxClientSocket>();
        peer->Attach(s);  // the server hands over a raw socket; the object owns it now
        peer->SetWndMsgProc(hwnd, WM_PEER, nullptr, nullptr);
        peer->SelectEvent(CX_SOCKET_READ | CX_SOCKET_CLOSE);
        g_peers.push_back(std::move(peer));
        return 0;
    }
    if (msg == WM_PEER) {
        for (size_t i = 0; i < g_peers.size(); ++i) {
            CxClientSocket& peer = *g_peers[i];
            if (peer.GetSocket() != static_cast<SOCKET>(wParam)) continue;
            char text[256];
            if (WSAGETSELECTEVENT(lParam) == CX_SOCKET_READ && ReadMessage(peer, text)) {
                unsigned char length = static_cast<unsigned char>(std::strlen(text));
                peer.Send(&length, 1, 0);
                peer.Send(reinterpret_cast<unsigned char*>(text), length, 0);
            } else if (WSAGETSELECTEVENT(lParam) == CX_SOCKET_CLOSE) {
                peer.DisConnect();
                g_peers.erase(g_peers.begin() + i);
            }
            return 0;
        }
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Runs the echo server's message loop until WM_QUIT.
int Serve(int port, HANDLE ready) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ServerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"tcp_echo";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    g_server.SetWndMsgProc(hwnd, WM_SERVER, nullptr, nullptr);  // before listening
    if (!g_server.ListenConnection(L"127.0.0.1", port)) {
        std::fprintf(stderr, "tcp_echo: cannot listen on port %d: error %lu\n", port,
                     SocketGetLastError());
        if (ready) SetEvent(ready);
        return 1;
    }
    std::printf("echo server on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    if (ready) SetEvent(ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    for (auto& peer : g_peers) peer->DisConnect();
    g_peers.clear();
    g_server.DisListenConnection();
    DestroyWindow(hwnd);
    return 0;
}

struct Reply {
    CxClientSocket* socket;
    HANDLE done;
    char text[256];
};

// Runs on the client's listener thread when the echo has arrived.
long CALLBACK OnEcho(void* pParam, unsigned int, long lEvent) {
    Reply* reply = static_cast<Reply*>(pParam);
    if (lEvent == CX_EVENT_DATA_READY && ReadMessage(*reply->socket, reply->text)) {
        SetEvent(reply->done);
    }
    return 0;
}

int Client(const wchar_t* address, int port, const char* text) {
    CxClientSocket client;
    Reply reply = {&client, CreateEventW(nullptr, FALSE, FALSE, nullptr), ""};
    client.SetWndMsgProc(nullptr, 0, &OnEcho, &reply);
    if (!client.Connect(address, port, 1)) {  // 1: the listener calls OnEcho
        std::fprintf(stderr, "tcp_echo: cannot connect: error %lu\n", SocketGetLastError());
        return 1;
    }
    unsigned char length = static_cast<unsigned char>(std::strlen(text) > 255 ? 255 : std::strlen(text));
    int sent = client.Send(&length, 1, 0) &&
               client.Send(reinterpret_cast<unsigned char*>(const_cast<char*>(text)), length, 0);
    bool echoed = sent && WaitForSingleObject(reply.done, 10000) == WAIT_OBJECT_0;
    client.DisConnect();  // closes the socket, which also ends the listener
    CloseHandle(reply.done);
    if (!echoed) {
        std::fprintf(stderr, "tcp_echo: no echo\n");
        return 1;
    }
    std::printf("echoed: %s\n", reply.text);
    return 0;
}

struct DemoServer {
    int port;
    HANDLE ready;
};

DWORD WINAPI ServeThread(void* p) {
    DemoServer* demo = static_cast<DemoServer*>(p);
    return static_cast<DWORD>(Serve(demo->port, demo->ready));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tcp_echo server PORT | client ADDRESS PORT TEXT | demo [PORT]\n");
        return 2;
    }
    if (!SocketInit()) {
        std::fprintf(stderr, "tcp_echo: Windows Sockets cannot start\n");
        return 1;
    }
    int result = 2;
    if (!std::strcmp(argv[1], "server") && argc > 2) {
        result = Serve(std::atoi(argv[2]), nullptr);
    } else if (!std::strcmp(argv[1], "client") && argc > 4) {
        wchar_t address[64];
        MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, address, 64);
        address[63] = L'\0';
        result = Client(address, std::atoi(argv[3]), argv[4]);
    } else if (!std::strcmp(argv[1], "demo")) {
        DemoServer demo = {argc > 2 ? std::atoi(argv[2]) : 47999,
                           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        DWORD serverThreadId = 0;
        HANDLE server = CreateThread(nullptr, 0, &ServeThread, &demo, 0, &serverThreadId);
        WaitForSingleObject(demo.ready, 10000);
        result = Client(L"127.0.0.1", demo.port, "hello over loopback");
        PostThreadMessageW(serverThreadId, WM_QUIT, 0, 0);
        WaitForSingleObject(server, 10000);
        CloseHandle(server);
        CloseHandle(demo.ready);
    }
    SocketUnInit();
    return result;
}
