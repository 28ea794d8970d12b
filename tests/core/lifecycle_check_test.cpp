// The lifecycle checks that the test builds carry stop a process at a broken
// rule, naming the rule, the kind of endpoint and the place: a listener that
// keeps its hold on its record, and a close whose end-game finds a call
// still counted. Each runs in a child process (a death test).
#include <gtest/gtest.h>

#include "core/lifecycle_check.h"
#include "core/listener.h"
#include "core/shared_link.h"

namespace {

namespace listener = quorvel::listener;
using quorvel::SharedLink;

// A listener through the engine that lets go of its hold, or keeps it.
struct TestEndpoint {
    bool bDropsHold;
    CxThread thread;

    void Listen(CxThread* pThread) {
        pThread->SetThreadStartedEvent();
        if (bDropsHold) listener::DropHold(quorvel::ThreadAccess::RecordOf(pThread));
    }
    static unsigned long WINAPI Proc(void* pThread) {
        return listener::Enter(pThread, &TestEndpoint::Listen, "test endpoint");
    }
    // Starts the listener with a hold on a record of its own and waits for
    // its end.
    bool RunOnce() {
        SharedLink* hold = SharedLink::Create(this);
        if (!hold || !listener::Start(thread, &TestEndpoint::Proc, this, 0, hold)) return false;
        thread.CloseThread(INFINITE);
        return true;
    }
};

TEST(LifecycleCheck, BrokenRulesStopTheProcessAtTheirCause) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestEndpoint good{true, CxThread()};
    ASSERT_TRUE(good.RunOnce()) << "the listener could not start";

    auto keepHold = [] {
        TestEndpoint leaky{false, CxThread()};
        leaky.RunOnce();
    };
    EXPECT_DEATH(keepHold(),
                 "lifecycle rule broken: a listener lets go of its record when it ends "
                 "\\(test endpoint, at core.listener\\.h:\\d+\\)");

    auto closeUnderCall = [] {
        SharedLink* link = SharedLink::Create(nullptr);
        quorvel::CallGuard call(link);
        QV_CHECK_CLOSE_CALLS(link, "test endpoint");
    };
    EXPECT_DEATH(closeUnderCall(),
                 "lifecycle rule broken: a close ends with no call counted \\(test endpoint, "
                 "at core.lifecycle_check_test\\.cpp:\\d+\\)");
}

}  // namespace
