// Reaches the library only through quorvel.dll and its import library.
#include <gtest/gtest.h>

#include <vector>

#include "quorvel/quorvel.h"
#include "tests/support/message_window.h"

namespace {

DWORD WINAPI PollExit(void* pThread) {
    auto* thread = static_cast<CxThread*>(pThread);
    thread->SetThreadStartedEvent();
    while (!thread->ToExitThread()) Sleep(1);
    return 9;
}

// More than the DLL's heap can give. On x64, far more than the whole user
// address space, so that the system refuses at once: a size just below it
// has Wine search the address space for room, for minutes at times.
constexpr size_t kTooBig =
    sizeof(void*) == 4 ? 0x7FF00000u : static_cast<size_t>(0x4000000000000000ull);
struct HugeThread : CxThread {
    char pad[kTooBig];
};

}  // namespace

TEST(Dll, IsLoadedFromItsOwnModule) {
    EXPECT_NE(nullptr, GetModuleHandleW(L"quorvel.dll"));
}

TEST(Dll, VersionResourceNamesTheLicence) {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(GetModuleHandleW(L"quorvel.dll"), path, MAX_PATH));
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_NE(0u, size);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\LegalCopyright",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"Copyright (c) 2026 the quorvel developers; MIT License", text);
}

// The DLL's runtime cannot throw into this program's frames: new of a
// library class yields NULL, and the constructor never runs on it.
TEST(Dll, NewOfALibraryClassYieldsNullWhenMemoryRunsOut) {
    EXPECT_EQ(nullptr, CxThread::operator new(kTooBig));
    EXPECT_EQ(nullptr, CxSerial::operator new[](kTooBig));
    HugeThread* huge = new HugeThread;
    EXPECT_EQ(nullptr, huge);
    CxSerial* ports = new CxSerial[2];
    ASSERT_NE(nullptr, ports);
    delete[] ports;
}

TEST(Dll, ThreadStartsStopsAndTellsTheWindow) {
    qvtest::MessageWindow window;
    CxThread thread;
    thread.SetWndMsg(window.hwnd(), WM_APP + 9);
    int value = 5;
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &PollExit, &value, 0, INFINITE));
    EXPECT_EQ(&value, thread.GetParamPtr());
    EXPECT_EQ(1, thread.IsThreadRunning());
    HANDLE handle = thread.GetSafeHandle();
    CxThread copy(thread);
    EXPECT_EQ(handle, copy.GetSafeHandle());

    thread.CloseThread(INFINITE);
    EXPECT_EQ(nullptr, thread.GetSafeHandle());
    EXPECT_EQ(0, copy.IsThreadRunning());
    MSG msg;
    ASSERT_TRUE(window.WaitFor(WM_APP + 9, &msg));
    EXPECT_EQ(reinterpret_cast<WPARAM>(handle), msg.wParam);
    EXPECT_EQ(CX_EVENT_THREAD_ENDED, msg.lParam);
}

TEST(Dll, EndpointBaseThroughTheExportedInterface) {
    CxComm comm;
    comm.SetWndMsgProc(nullptr, 0, nullptr, nullptr);
    CxComm copy(comm);
    CxComm* endpoint = &copy;
    unsigned char byte = 0;
    EXPECT_EQ(nullptr, endpoint->GetSafeHandle());
    EXPECT_EQ(0, endpoint->Send(&byte, 1, 0));
    EXPECT_EQ(0, endpoint->Recv(&byte, 1, 0));
}

TEST(Dll, SerialPortRefusesWhatItCannotOpen) {
    CxSerial port;
    EXPECT_EQ(0, port.Open(L"\\\\.\\quorvel-no-such-port", 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    wchar_t path[260] = L"junk";
    port.GetDevPath(path);
    EXPECT_STREQ(L"", path);
    CxSerial copy(port);
    unsigned char byte = 0;
    EXPECT_EQ(0, copy.Send(&byte, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0, copy.Close());
    EXPECT_EQ(1, port.GetRThreshold());
}
