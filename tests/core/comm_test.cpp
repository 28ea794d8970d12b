#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quorvel/quorvel.h"

namespace {

struct Probe : CxComm {
    Target Read() const { return GetTarget(); }
};

long CALLBACK ProcA(void*, unsigned int, long) { return 0; }
long CALLBACK ProcB(void*, unsigned int, long) { return 0; }
int g_paramA, g_paramB;

}  // namespace

TEST(CxComm, BaseOperationsFailAndCopiesKeepTheTarget) {
    CxComm comm;
    unsigned char byte = 0;
    EXPECT_EQ(nullptr, comm.GetSafeHandle());
    EXPECT_EQ(0, comm.Send(&byte, 1, 0));
    EXPECT_EQ(0, comm.Recv(&byte, 1, 0));

    Probe original;
    HWND hwnd = reinterpret_cast<HWND>(0x1234);
    original.SetWndMsgProc(hwnd, WM_APP + 1, &ProcA, &g_paramA);
    Probe copy(original);
    Probe assigned;
    assigned = original;
    for (const Probe* p : {&copy, &assigned}) {
        auto t = p->Read();
        EXPECT_EQ(hwnd, t.hWnd);
        EXPECT_EQ(static_cast<UINT>(WM_APP + 1), t.uMsg);
        EXPECT_EQ(&ProcA, t.pfnProc);
        EXPECT_EQ(&g_paramA, t.pParam);
    }

    original.SetWndMsgProc(nullptr, 0, nullptr, nullptr);
    auto cleared = original.Read();
    EXPECT_EQ(nullptr, cleared.hWnd);
    EXPECT_EQ(0u, cleared.uMsg);
    EXPECT_EQ(nullptr, cleared.pfnProc);
    EXPECT_EQ(nullptr, cleared.pParam);
    EXPECT_EQ(&ProcA, copy.Read().pfnProc);  // copies are independent afterwards
}

TEST(CxComm, AReaderNeverSeesOneCallbackWithAnotherCallbacksUserPointer) {
    Probe comm;
    comm.SetWndMsgProc(nullptr, 1, &ProcA, &g_paramA);
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0}, reads{0};
    std::thread reader([&] {
        while (!stop) {
            auto t = comm.Read();
            bool a = t.pfnProc == &ProcA && t.pParam == &g_paramA && t.uMsg == 1;
            bool b = t.pfnProc == &ProcB && t.pParam == &g_paramB && t.uMsg == 2;
            if (!a && !b) ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 200000 || reads < 1000; ++i) {
        if (i & 1) {
            comm.SetWndMsgProc(nullptr, 1, &ProcA, &g_paramA);
        } else {
            comm.SetWndMsgProc(nullptr, 2, &ProcB, &g_paramB);
        }
    }
    stop = true;
    reader.join();
    EXPECT_EQ(0, torn.load());
}
