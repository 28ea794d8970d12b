#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "quorvel/quorvel.h"
#include "tests/support/close_log.h"
#include "tests/support/guarded_object.h"
#include "tests/support/wait_until.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

// Exposes what the worker keeps to itself.
struct Probe : CxThread {
    BOOL ExitRequest() const { return m_bToExit; }
    void SetExitRequest(BOOL b) { m_bToExit = b; }
    CX_THREAD_ROUTINE Routine() const { return m_pfnStartRoutine; }
};

// A manual-reset event the test sets to let a routine go on.
struct Gate {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Gate() { CloseHandle(h); }
    void Open() { SetEvent(h); }
    void Wait() { WaitForSingleObject(h, INFINITE); }
};

DWORD WINAPI ReturnAtOnce(void*) { return 42; }

// Waits on the Gate passed as parameter; never looks at the exit request.
DWORD WINAPI WaitForGate(void* pThread) {
    static_cast<Gate*>(static_cast<CxThread*>(pThread)->GetParamPtr())->Wait();
    return 7;
}

// Signals the start, then waits on the Gate.
DWORD WINAPI SignalThenWaitForGate(void* pThread) {
    auto* t = static_cast<CxThread*>(pThread);
    t->SetThreadStartedEvent();
    static_cast<Gate*>(t->GetParamPtr())->Wait();
    return 0;
}

// Polls the exit request.
DWORD WINAPI PollExit(void* pThread) {
    auto* t = static_cast<CxThread*>(pThread);
    while (!t->ToExitThread()) Sleep(1);
    return 3;
}

DWORD ExitCode(HANDLE h) {
    WaitForSingleObject(h, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    return code;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

TEST(CxThread, EndedMessageCarriesTheHandleEvenForARoutineThatReturnsAtOnce) {
    qvtest::MessageWindow window;
    const UINT kMsg = WM_APP + 5;
    for (CX_THREAD_ROUTINE routine : {static_cast<CX_THREAD_ROUTINE>(nullptr), &ReturnAtOnce}) {
        CxThread thread;
        thread.SetWndMsg(window.hwnd(), kMsg);
        ASSERT_EQ(1, thread.CreateThread(nullptr, 0, routine, nullptr, 0, 0));
        MSG msg;
        ASSERT_TRUE(window.WaitFor(kMsg, &msg));
        EXPECT_EQ(reinterpret_cast<WPARAM>(thread.GetSafeHandle()), msg.wParam);
        EXPECT_EQ(0x12, msg.lParam);
        // The exit code is the routine's result, or 1 without a routine.
        EXPECT_EQ(routine ? 42u : 1u, ExitCode(thread.GetSafeHandle()));
    }
}

TEST(CxThread, NoWindowNoMessageAndNullWindowSwitchesItOff) {
    qvtest::MessageWindow window;
    CxThread thread;
    thread.SetWndMsg(window.hwnd(), WM_APP + 6);
    thread.SetWndMsg(nullptr, WM_APP + 6);
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, nullptr, nullptr, 0, 0));
    ExitCode(thread.GetSafeHandle());
    EXPECT_FALSE(window.WaitFor(WM_APP + 6, nullptr, 200));
}

TEST(CxThread, CreateThreadOnARunningThreadChangesNothing) {
    Gate gate, other;
    Probe thread;
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &WaitForGate, &gate, 0, 0));
    void* handle = thread.GetSafeHandle();

    EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &ReturnAtOnce, &other, 0, 0));
    EXPECT_EQ(handle, thread.GetSafeHandle());
    EXPECT_EQ(&gate, thread.GetParamPtr());
    EXPECT_EQ(&WaitForGate, thread.Routine());
    EXPECT_EQ(0, thread.ExitRequest());
    EXPECT_EQ(1, thread.IsThreadRunning());

    gate.Open();
    thread.CloseThread(INFINITE);
    EXPECT_EQ(nullptr, thread.GetSafeHandle());
    EXPECT_EQ(1, thread.ExitRequest());
}

TEST(CxThread, StartWaitEndsOnTheSignalOrAfterTheWholeLimit) {
    Gate gate;
    {
        // Signals, then blocks: an unlimited wait still returns.
        CxThread thread;
        EXPECT_EQ(1, thread.CreateThread(nullptr, 0, &SignalThenWaitForGate, &gate, 0, INFINITE));
        EXPECT_EQ(1, thread.IsThreadRunning());
        gate.Open();
    }
    Gate blocked;
    {
        // Never signals: the whole limit passes, then 1.
        CxThread thread;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(1, thread.CreateThread(nullptr, 0, &WaitForGate, &blocked, 0, 300));
        EXPECT_GE(MillisecondsSince(start), 280.0);
        // A limit of 0 does not wait for a signal that never comes.
        CxThread again;
        EXPECT_EQ(1, again.CreateThread(nullptr, 0, &WaitForGate, &blocked, 0, 0));
        blocked.Open();
    }
}

TEST(CxThread, IdleAndEndedStates) {
    Probe idle;
    idle.CloseThread(INFINITE);
    EXPECT_EQ(0, idle.ExitRequest());
    idle.SetExitRequest(1);
    idle.CloseThread(0);
    EXPECT_EQ(1, idle.ExitRequest());  // nothing held: the request stays as it was
    EXPECT_EQ(0, idle.IsThreadRunning());

    // The routine has returned but the handle is still held.
    CxThread ended;
    ASSERT_EQ(1, ended.CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, 0));
    WaitForSingleObject(ended.GetSafeHandle(), INFINITE);
    EXPECT_EQ(0, ended.IsThreadRunning());
    EXPECT_NE(nullptr, ended.GetSafeHandle());

    // A suspended thread counts as running until it is resumed.
    Probe suspended;
    ASSERT_EQ(1, suspended.CreateThread(nullptr, 0, &PollExit, nullptr, CREATE_SUSPENDED, 0));
    EXPECT_EQ(1, suspended.IsThreadRunning());
    ResumeThread(suspended.GetSafeHandle());
    suspended.CloseThread(INFINITE);
}

TEST(CxThread, CreateThreadOnAnEndedThreadClosesTheOldHandle) {
    qvtest::CloseLog closed;
    CxThread thread;
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, 0));
    HANDLE first = thread.GetSafeHandle();
    WaitForSingleObject(first, INFINITE);
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, 0));
    EXPECT_EQ(1u, closed.Count(first));
    thread.CloseThread(INFINITE);
}

struct SlowCtx {
    Gate* gate;
    std::atomic<bool>* returned;
};

DWORD WINAPI WaitForGateThenReturnSlowly(void* p) {
    auto* c = static_cast<SlowCtx*>(static_cast<CxThread*>(p)->GetParamPtr());
    c->gate->Wait();
    Sleep(50);
    c->returned->store(true);
    return 0;
}

DWORD WINAPI SignalStart(void* p) {
    static_cast<CxThread*>(p)->SetThreadStartedEvent();
    return 0;
}

TEST(CxThread, DestructorWaitsForARoutineThatIgnoresTheExitRequest) {
    Gate gate;
    std::atomic<bool> returned{false};
    SlowCtx ctx{&gate, &returned};
    std::thread opener([&] {
        Sleep(200);
        gate.Open();
    });
    {
        CxThread thread;
        ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &WaitForGateThenReturnSlowly, &ctx, 0, 0));
    }
    EXPECT_TRUE(returned.load());
    opener.join();
}

TEST(CxThread, FailedEventOrThreadCreation) {
    {
        // Without a start signal the thread starts all the same, unawaited.
        Hook<os::CreateEventW> noEvent([](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return nullptr;
        });
        Gate gate;
        CxThread thread;
        EXPECT_EQ(1, thread.CreateThread(nullptr, 0, &WaitForGate, &gate, 0, INFINITE));
        EXPECT_EQ(1, thread.IsThreadRunning());
        gate.Open();
    }
    {
        // No thread: 0, no handle, the system's error kept, the signal closed.
        HANDLE started = nullptr;
        Hook<os::CreateEventW> event([&](LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCWSTR n) {
            return started = CreateEventW(a, m, i, n);
        });
        Hook<os::CreateThread> noThread([](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                           LPVOID, DWORD, LPDWORD) -> HANDLE {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        });
        qvtest::CloseLog closed;
        Probe thread;
        EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &ReturnAtOnce, &closed, 0, INFINITE));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
        EXPECT_EQ(nullptr, thread.GetSafeHandle());
        EXPECT_EQ(&closed, thread.GetParamPtr());
        EXPECT_EQ(0, thread.ExitRequest());
        ASSERT_NE(nullptr, started);
        EXPECT_EQ(1u, closed.Count(started));
    }
}

TEST(CxThread, CopiesShareTheThreadButOnlyTheOwnerStopsAndClosesIt) {
    qvtest::CloseLog closed;
    Gate gate;
    auto owner = std::make_unique<CxThread>();
    ASSERT_EQ(1, owner->CreateThread(nullptr, 0, &WaitForGate, &gate, 0, 0));
    HANDLE handle = owner->GetSafeHandle();
    {
        // A copy names the same thread; letting it go neither waits for the
        // routine (which ignores exit requests) nor closes the handle.
        CxThread copy(*owner);
        EXPECT_EQ(handle, copy.GetSafeHandle());
        EXPECT_EQ(1, copy.IsThreadRunning());
        CxThread assigned;
        assigned = *owner;
        assigned.CloseThread(INFINITE);
        EXPECT_EQ(nullptr, assigned.GetSafeHandle());
    }
    EXPECT_EQ(0u, closed.Count(handle));
    EXPECT_EQ(1, owner->IsThreadRunning());

    // The owner's exit request reaches a polling routine even with a copy alive.
    CxThread poller;
    ASSERT_EQ(1, poller.CreateThread(nullptr, 0, &PollExit, nullptr, 0, 0));
    HANDLE pollerHandle = poller.GetSafeHandle();
    CxThread survivor(poller);
    poller.CloseThread(INFINITE);
    EXPECT_EQ(0, survivor.IsThreadRunning());
    survivor.CloseThread(INFINITE);
    EXPECT_EQ(1u, closed.Count(pollerHandle));

    gate.Open();
    owner.reset();
    EXPECT_EQ(1u, closed.Count(handle));
}

DWORD WINAPI CloseItself(void* p) {
    auto* t = static_cast<CxThread*>(p);
    static_cast<Gate*>(t->GetParamPtr())->Wait();  // until the handle is stored
    t->CloseThread(INFINITE);
    return t->ToExitThread() ? 0 : 1;
}

TEST(CxThread, ARoutineThatClosesItsOwnThreadDoesNotWaitForItself) {
    qvtest::CloseLog closed;
    Gate gate;
    CxThread thread;
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &CloseItself, &gate, 0, 0));
    HANDLE handle = thread.GetSafeHandle();
    HANDLE watch = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &watch, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    gate.Open();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch, 10000));
    EXPECT_EQ(0u, ExitCode(watch));
    CloseHandle(watch);
    EXPECT_EQ(nullptr, thread.GetSafeHandle());
    EXPECT_EQ(1u, closed.Count(handle));
}

TEST(CxThread, AssigningOverAnOwnedThreadStopsIt) {
    qvtest::CloseLog closed;
    CxThread target, source;
    ASSERT_EQ(1, target.CreateThread(nullptr, 0, &PollExit, nullptr, 0, 0));
    HANDLE old = target.GetSafeHandle();
    target = source;  // PollExit only returns once asked to
    EXPECT_EQ(nullptr, target.GetSafeHandle());
    EXPECT_EQ(1u, closed.Count(old));
}

TEST(CxThread, StartSignalIsNeverSetAfterItWasReleased) {
    // Every start signal is tracked from creation to close; a SetEvent on
    // one that is already closed is a fault.
    std::mutex mutex;
    std::set<HANDLE> live;
    std::atomic<int> lateSignals{0};
    Hook<os::CreateEventW> create([&](LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCWSTR n) {
        HANDLE h = CreateEventW(a, m, i, n);
        std::lock_guard<std::mutex> lock(mutex);
        live.insert(h);
        return h;
    });
    Hook<os::SetEvent> set([&](HANDLE h) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!live.count(h)) ++lateSignals;
        return SetEvent(h);
    });
    Hook<os::CloseHandle> close([&](HANDLE h) {
        std::lock_guard<std::mutex> lock(mutex);
        live.erase(h);
        return CloseHandle(h);
    });
    for (int i = 0; i < 200; ++i) {
        CxThread thread;
        ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &SignalStart, nullptr, 0, i % 2));
        thread.CloseThread(INFINITE);
    }
    EXPECT_EQ(0, lateSignals.load());
    EXPECT_TRUE(live.empty());  // every start signal was closed, by one side or the other
}

DWORD WINAPI MarkRan(void* pThread) {
    *static_cast<std::atomic<bool>*>(static_cast<CxThread*>(pThread)->GetParamPtr()) = true;
    return 0;
}

TEST(CxThread, StartWaitEndsWithTheRoutineAndAnUnresumableThreadIsNotHeld) {
    {
        // Returns without signalling: an unlimited start wait ends with it.
        CxThread thread;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(1, thread.CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, INFINITE));
        EXPECT_LT(MillisecondsSince(start), 60000.0);
        EXPECT_EQ(42u, ExitCode(thread.GetSafeHandle()));
    }
    {
        // The new thread cannot be resumed: 0, the error kept, nothing held,
        // and the routine never runs.
        Hook<os::ResumeThread> refuse([](HANDLE) -> DWORD {
            SetLastError(ERROR_INVALID_HANDLE);
            return static_cast<DWORD>(-1);
        });
        std::atomic<bool> ran{false};
        CxThread thread;
        EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &MarkRan, &ran, 0, INFINITE));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_EQ(nullptr, thread.GetSafeHandle());
        Sleep(50);
        EXPECT_FALSE(ran.load());
    }
}

// The thread's hold on the module is taken before the thread can run (a
// host may unload the DLL right after a start that it did not wait for),
// and let go of by the thread as it ends, or by the start that failed.
TEST(CxThread, TheModuleIsHeldBeforeTheThreadRunsAndLetGoOfOnEveryPath) {
    std::atomic<int> held{0}, freed{0}, exits{0};
    Hook<os::GetModuleHandleExW> take([&](DWORD flags, LPCWSTR at, HMODULE* module) {
        BOOL ok = GetModuleHandleExW(flags, at, module);
        held += ok ? 1 : 0;
        return ok;
    });
    Hook<os::FreeLibrary> letGo([&](HMODULE module) {
        ++freed;
        return FreeLibrary(module);
    });
    Hook<os::FreeLibraryAndExitThread> leave([&](HMODULE module, DWORD code) {
        ++exits;
        FreeLibraryAndExitThread(module, code);
    });
    std::atomic<bool> ran{false};
    {
        CxThread thread;
        ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &MarkRan, &ran, CREATE_SUSPENDED, 0));
        EXPECT_EQ(1, held.load());  // before it has run a single instruction
        ResumeThread(thread.GetSafeHandle());
        thread.CloseThread(INFINITE);
        EXPECT_TRUE(ran.load());
        EXPECT_EQ(1, exits.load());
    }
    {
        Hook<os::CreateThread> noThread([](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                           LPVOID, DWORD, LPDWORD) -> HANDLE { return nullptr; });
        CxThread thread;
        EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &MarkRan, &ran, 0, 0));
    }
    {
        Hook<os::ResumeThread> refuse([](HANDLE) { return static_cast<DWORD>(-1); });
        CxThread thread;
        EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &MarkRan, &ran, 0, 0));
    }
    EXPECT_EQ(3, held.load());
    EXPECT_EQ(held.load(), freed.load() + exits.load());
}

struct SlowPoller {
    std::atomic<int> polls{0};
    std::atomic<bool> returned{false};
};

// Polls the exit request only every 300 ms.
DWORD WINAPI PollSlowly(void* pThread) {
    auto* t = static_cast<CxThread*>(pThread);
    auto* state = static_cast<SlowPoller*>(t->GetParamPtr());
    while (!t->ToExitThread()) {
        ++state->polls;
        Sleep(300);
    }
    state->returned = true;
    return 0;
}

TEST(CxThread, ARoutineLetGoOfWhileRunningKeepsItsExitRequestAndHoldsTheObject) {
    SlowPoller orphan;
    CxThread thread;
    ASSERT_EQ(1, thread.CreateThread(nullptr, 0, &PollSlowly, &orphan, 0, 0));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return orphan.polls.load() > 0; }));
    thread.CloseThread(50);  // runs out: the routine runs on without a handle
    EXPECT_EQ(nullptr, thread.GetSafeHandle());
    EXPECT_FALSE(orphan.returned.load());

    // No second routine on this object while the first still reads it; the
    // first goes on seeing its exit request and returns.
    Gate gate;
    EXPECT_EQ(0, thread.CreateThread(nullptr, 0, &WaitForGate, &gate, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    EXPECT_EQ(&orphan, thread.GetParamPtr());
    ASSERT_TRUE(qvtest::WaitUntil([&] { return orphan.returned.load(); }, 5000));
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] { return thread.CreateThread(nullptr, 0, &WaitForGate, &gate, 0, 0) == 1; }, 5000));
    EXPECT_EQ(0, thread.ToExitThread());
    gate.Open();
    thread.CloseThread(INFINITE);
}

TEST(CxThread, ASuspendedStartIsNotAwaitedEvenWithoutALimit) {
    // On a thread of its own, so that a start that waits for ever fails the
    // test instead of hanging it.
    static CxThread thread;
    std::atomic<int> created{-1};
    std::thread starter([&] {
        created = thread.CreateThread(nullptr, 0, &PollExit, nullptr, CREATE_SUSPENDED, INFINITE);
    });
    bool returned = qvtest::WaitUntil([&] { return created.load() != -1; }, 5000);
    if (!returned) {
        starter.detach();
        FAIL() << "CreateThread waits for a thread that cannot run";
    }
    starter.join();
    EXPECT_EQ(1, created.load());
    ResumeThread(thread.GetSafeHandle());
    thread.CloseThread(INFINITE);
}

struct SelfDeleting {
    qvtest::GuardedObject<CxThread>* object;
    Gate* go;
};

// Destroys its own object, whose memory then becomes inaccessible.
DWORD WINAPI DestroyOwnObject(void* pThread) {
    auto* state = static_cast<SelfDeleting*>(static_cast<CxThread*>(pThread)->GetParamPtr());
    state->go->Wait();
    state->object->Destroy();
    return 5;
}

TEST(CxThread, ARoutineMayDestroyItsObjectAndTheEndedMessageStillComes) {
    qvtest::MessageWindow window;
    const UINT kMsg = WM_APP + 7;
    Gate go;
    qvtest::GuardedObject<CxThread> thread;
    SelfDeleting state{&thread, &go};
    ASSERT_EQ(1, thread->CreateThread(nullptr, 0, &DestroyOwnObject, &state, 0, 0));
    HANDLE handle = thread->GetSafeHandle();
    HANDLE watch = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &watch, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    thread->SetWndMsg(window.hwnd(), kMsg);  // after the start: still heard
    go.Open();
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(reinterpret_cast<WPARAM>(handle), msg.wParam);
    EXPECT_EQ(0x12, msg.lParam);
    EXPECT_EQ(5u, ExitCode(watch));
    CloseHandle(watch);
}

// A start that does not wait touches its object no more once the thread
// runs: the routine may destroy the object at once (a listener's callback
// that deletes its endpoint while the host's start is still returning).
TEST(CxThread, AStartWithoutAWaitLeavesTheObjectToItsRoutine) {
    Gate go;
    go.Open();
    qvtest::GuardedObject<CxThread> thread;
    SelfDeleting state{&thread, &go};
    Hook<os::ResumeThread> resume([&](HANDLE h) {
        DWORD dwCount = ResumeThread(h);
        EXPECT_TRUE(qvtest::WaitUntil([&] { return thread.get() == nullptr; }));
        return dwCount;
    });
    EXPECT_EQ(1, thread->CreateThread(nullptr, 0, &DestroyOwnObject, &state, 0, 0));
}
