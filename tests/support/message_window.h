// A message-only window owned by the test's thread, for notifications that
// the library posts.
#pragma once

#include <windows.h>

#include <vector>

namespace qvtest {

class MessageWindow {
public:
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND hwnd() const { return m_hwnd; }
    // Waits up to ms milliseconds for a message with this number posted to
    // the window; false if none came. Other messages are kept for later.
    bool WaitFor(UINT msg, MSG* out, unsigned ms = 10000);
    // Takes every message with this number that has arrived by now.
    std::vector<MSG> Drain(UINT msg);

private:
    void Pump();

    HWND m_hwnd;
    std::vector<MSG> m_seen;
};

}  // namespace qvtest
