// A serial terminal with a message loop: received bytes arrive as window
// messages and are printed; lines typed on the console are sent.
//
//   serial_terminal COM3 [baud]
//
// The port's notifications go to a message-only window of the main thread,
// so the window procedure does the reading and no lock is needed. A second
// thread reads the console and sends: one Send beside one Recv is allowed.
#include <quorvel/quorvel.h>  // before <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const UINT WM_SERIAL = WM_APP + 1;  // the port's notifications
CxSerial g_port;
HWND g_window = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SERIAL && lParam == CX_EVENT_DATA_READY) {
        unsigned long waiting = 0, outgoing = 0;
        unsigned char data[512];
        while (g_port.GetBufferCount(&waiting, &outgoing) && waiting) {
            unsigned long n = waiting < sizeof data ? waiting : sizeof data;
            if (!g_port.Recv(data, n, 1000)) break;
            std::fwrite(data, 1, n, stdout);
        }
        std::fflush(stdout);
        return 0;
    }
    if (msg == WM_SERIAL && lParam == CX_EVENT_DEVICE_REMOVED) {
        std::fprintf(stderr, "serial_terminal: the device was removed\n");
        DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Sends each console line (with CR LF) until end of input, then ends the loop.
DWORD WINAPI ConsoleToPort(void*) {
    char line[512];
    while (std::fgets(line, sizeof line, stdin)) {
        size_t n = std::strcspn(line, "\r\n");
        std::memcpy(line + n, "\r\n", 3);
        if (!g_port.Send(reinterpret_cast<unsigned char*>(line), static_cast<unsigned long>(n + 2),
                         5000)) {
            std::fprintf(stderr, "serial_terminal: send failed: error %lu\n", GetLastError());
        }
    }
    PostMessageW(g_window, WM_CLOSE, 0, 0);
    return 0;
}

BOOL WINAPI OnCtrlC(DWORD) {
    PostMessageW(g_window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: serial_terminal PORT [BAUD]\n");
        return 2;
    }
    wchar_t path[64];
    if (MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, path, 64) == 0) {
        std::fprintf(stderr, "serial_terminal: port name too long\n");
        return 2;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"serial_terminal";
    RegisterClassW(&wc);
    g_window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);

    // The target first, so that no notification is missed.
    g_port.SetWndMsgProc(g_window, WM_SERIAL, nullptr, nullptr);
    if (!g_port.Open(path, 1)) {
        std::fprintf(stderr, "serial_terminal: cannot open %s: error %lu\n", argv[1],
                     GetLastError());
        DestroyWindow(g_window);
        return 1;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (g_port.GetSettings(&dcb)) {
        dcb.BaudRate = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!g_port.SetSettings(&dcb)) {
            std::fprintf(stderr, "serial_terminal: cannot set %lu baud\n", dcb.BaudRate);
        }
    }
    std::fprintf(stderr, "serial_terminal: %s open; type lines to send, end input to quit\n",
                 argv[1]);
    SetConsoleCtrlHandler(&OnCtrlC, TRUE);
    HANDLE console = CreateThread(nullptr, 0, &ConsoleToPort, nullptr, 0, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // Close before the object goes away: the listener stops, then the port.
    g_port.Close();
    if (console) CloseHandle(console);  // the console thread ends with the process
    return 0;
}
