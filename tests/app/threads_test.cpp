#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "app/threads.h"

namespace {

// Runs the calling thread's message loop until done() or the time is up.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs = 5000) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

class Counter {
  public:
    void Hit() {
        ++hits;
        threadIds.push_back(GetCurrentThreadId());
    }
    void Add(int amount) {
        hits += amount;
        threadIds.push_back(GetCurrentThreadId());
    }
    int hits = 0;
    std::vector<DWORD> threadIds;
};

// Counts its own destruction, to see who frees a bind.
class TrackedBind : public mf_bind_t<Counter, Counter*, void> {
  public:
    TrackedBind(Counter* counter, int* destroyed)
        : mf_bind_t(&Counter::Hit, counter), destroyed_(destroyed) {}
    ~TrackedBind() override { ++*destroyed_; }

  private:
    int* destroyed_;
};

TEST(UIThreadWindow, CallsBeforeTheWindowExistsDoNothing) {
    DestroyUIThreadWindow();
    Counter counter;
    auto bind = Bind(&Counter::Hit, &counter);
    SendToUIThread(&bind);
    EXPECT_EQ(counter.hits, 0);
}

class UIThreadCalls : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(CreateUIThreadWindow()); }
    void TearDown() override { DestroyUIThreadWindow(); }
};

TEST_F(UIThreadCalls, SecondCreateAnswersTrueAtOnce) {
    EXPECT_TRUE(CreateUIThreadWindow());
}

TEST_F(UIThreadCalls, PostedBindRunsOnTheUIThreadAndIsFreedThere) {
    Counter counter;
    int destroyed = 0;
    PostToUIThread(new TrackedBind(&counter, &destroyed));
    EXPECT_EQ(counter.hits, 0);  // not before the loop runs
    ASSERT_TRUE(PumpUntil([&] { return destroyed == 1; }));
    EXPECT_EQ(counter.hits, 1);
}

TEST_F(UIThreadCalls, SentBindStaysWithTheSender) {
    Counter counter;
    int destroyed = 0;
    {
        TrackedBind bind(&counter, &destroyed);
        SendToUIThread(&bind);
        EXPECT_EQ(counter.hits, 1);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

// A worker thread that sends a bound call with an argument and records that it came back.
class SendingWorker : public IThreadCallback {
  public:
    explicit SendingWorker(Counter* counter) : counter_(counter) {}
    void Run(void*) override {
        auto bind = Bind(&Counter::Add, counter_, 5);
        SendToUIThread(&bind);
        returned = 1;
    }
    volatile LONG returned = 0;

  private:
    Counter* counter_;
};

TEST_F(UIThreadCalls, WorkerWaitsWhileTheUIThreadRunsItsCall) {
    Counter counter;
    SendingWorker worker(&counter);
    CXThread thread;
    ASSERT_TRUE(thread.Start(&worker, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return worker.returned != 0; }));
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(counter.hits, 5);
    ASSERT_EQ(counter.threadIds.size(), 1u);
    EXPECT_EQ(counter.threadIds[0], GetCurrentThreadId());
}

class ComProbe : public IThreadCallback {
  public:
    void Run(void* parameter) override {
        // S_FALSE: COM was already initialised on this thread by the worker.
        comAlreadyInitialised = CoInitialize(nullptr) == S_FALSE;
        CoUninitialize();
        seenParameter = parameter;
    }
    bool comAlreadyInitialised = false;
    void* seenParameter = nullptr;
};

TEST(XThread, RunsTheCallbackOnceWithComAndItsParameter) {
    ComProbe probe;
    int parameter = 0;
    CXThread thread;
    ASSERT_TRUE(thread.Start(&probe, &parameter));
    EXPECT_FALSE(thread.Start(&probe, &parameter));  // one start per thread object
    EXPECT_TRUE(thread.Stop());
    EXPECT_TRUE(probe.comAlreadyInitialised);
    EXPECT_EQ(probe.seenParameter, &parameter);
    EXPECT_FALSE(thread.IsBusy());
}

struct TimerLog {
    int calls = 0;
    UINT_PTR lastId = 0;
};

void CountCall(void* context, UINT_PTR id) {
    auto* log = static_cast<TimerLog*>(context);
    ++log->calls;
    log->lastId = id;
}

TEST(DelayCall, OneShotRunsOnceAndIsForgotten) {
    TimerLog log;
    CDelayCall& calls = CDelayCall::Instance();
    UINT_PTR id = calls.SetDelayCall(10, CountCall, &log, 0);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(PumpUntil([&] { return log.calls > 0; }));
    PumpUntil([] { return false; }, 150);  // time for a wrong second run
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastId, id);
    EXPECT_FALSE(calls.IsPending(id));
}

TEST(DelayCall, RepeatingRunsUntilKilled) {
    TimerLog log;
    CDelayCall& calls = CDelayCall::Instance();
    UINT_PTR id = calls.SetDelayCall(10, CountCall, &log, 1);
    ASSERT_TRUE(PumpUntil([&] { return log.calls >= 3; }));
    calls.KillDelayCall(id);
    EXPECT_EQ(id, 0u);
    int seen = log.calls;
    PumpUntil([] { return false; }, 150);
    EXPECT_EQ(log.calls, seen);
}

}  // namespace
