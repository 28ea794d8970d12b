#include "tests/support/message_window.h"

namespace qvtest {
namespace {

const wchar_t kClassName[] = L"quorvel-test-window";

ATOM RegisterOnce() {
    static ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassW(&wc);
    }();
    return atom;
}

}  // namespace

MessageWindow::MessageWindow() {
    RegisterOnce();
    m_hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
}

MessageWindow::~MessageWindow() {
    if (m_hwnd) DestroyWindow(m_hwnd);
}

void MessageWindow::Pump() {
    MSG msg;
    while (PeekMessageW(&msg, m_hwnd, 0, 0, PM_REMOVE)) m_seen.push_back(msg);
}

bool MessageWindow::WaitFor(UINT number, MSG* out, unsigned ms) {
    DWORD start = GetTickCount();
    for (;;) {
        Pump();
        for (auto it = m_seen.begin(); it != m_seen.end(); ++it) {
            if (it->message == number) {
                if (out) *out = *it;
                m_seen.erase(it);
                return true;
            }
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_POSTMESSAGE);
    }
}

std::vector<MSG> MessageWindow::Drain(UINT number) {
    Pump();
    std::vector<MSG> taken, kept;
    for (const MSG& m : m_seen) (m.message == number ? taken : kept).push_back(m);
    m_seen = kept;
    return taken;
}

}  // namespace qvtest
