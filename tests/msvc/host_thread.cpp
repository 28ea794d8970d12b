// CxThread from a Visual C++ host: a WINAPI routine that signals its start,
// reads its parameter and polls the exit request; the thread-ended message
// to a window; a routine that returns at once.
#include "host.h"

namespace {

volatile LONG g_nRuns = 0;

DWORD WINAPI Worker(void* pThread) {
    CxThread* pSelf = static_cast<CxThread*>(pThread);
    volatile LONG* pCounter = static_cast<volatile LONG*>(pSelf->GetParamPtr());
    InterlockedIncrement(pCounter);
    pSelf->SetThreadStartedEvent();
    while (!pSelf->ToExitThread()) Sleep(1);
    return 7;
}

DWORD WINAPI Quick(void* pThread) {
    static_cast<CxThread*>(pThread)->SetThreadStartedEvent();
    InterlockedIncrement(&g_nRuns);
    return 0;
}

}  // namespace

int HostMain() {
    volatile LONG nCounter = 0;
    CxThread thread;
    CHECK(thread.GetSafeHandle() == NULL);
    CHECK(thread.CreateThread(NULL, 0, &Worker, const_cast<LONG*>(&nCounter), 0, 10000) == 1);
    CHECK(nCounter == 1);
    CHECK(thread.IsThreadRunning() != 0);
    CHECK(thread.GetParamPtr() == &nCounter);
    HANDLE hThread = thread.GetSafeHandle();
    CHECK(hThread != NULL);
    {
        CxThread copy(thread);  // a copy names the same thread but does not own it
        CHECK(copy.GetSafeHandle() == hThread);
        copy.CloseThread(0);
    }
    CHECK(thread.IsThreadRunning() != 0);
    thread.CloseThread(INFINITE);
    CHECK(thread.IsThreadRunning() == 0);
    CHECK(thread.GetSafeHandle() == NULL);

    // The thread-ended message reaches a message-only window's queue.
    HWND hWnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    CHECK(hWnd != NULL);
    CxThread quick;
    quick.SetWndMsg(hWnd, WM_APP + 5);
    CHECK(quick.CreateThread(NULL, 0, &Quick, NULL, 0, 10000) == 1);
    HANDLE hQuick = quick.GetSafeHandle();
    MSG msg;
    bool bEnded = false;
    DWORD dwStart = GetTickCount();
    while (!bEnded && GetTickCount() - dwStart < 10000) {
        if (PeekMessageW(&msg, hWnd, WM_APP + 5, WM_APP + 5, PM_REMOVE)) {
            bEnded = msg.lParam == CX_EVENT_THREAD_ENDED &&
                     reinterpret_cast<HANDLE>(msg.wParam) == hQuick;
        } else {
            Sleep(1);
        }
    }
    CHECK(bEnded);
    CHECK(g_nRuns == 1);
    quick.CloseThread(INFINITE);
    DestroyWindow(hWnd);

    // Many starts and stops in a row keep the stack balanced across the
    // WINAPI routine (a wrong convention would corrupt it on 32-bit x86).
    for (int i = 0; i < 50; ++i) {
        CxThread* pThread = new CxThread;
        CHECK(pThread->CreateThread(NULL, 0, &Worker, const_cast<LONG*>(&nCounter), 0, 10000));
        delete pThread;  // CloseThread(INFINITE)
    }
    CHECK(nCounter == 51);
    return 0;
}
