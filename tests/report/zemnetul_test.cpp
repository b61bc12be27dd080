// ZemNetUL.dll against the service double: every slot the program uses, the order of the
// notifications, the failure paths and releasing a task while its request is in flight.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/handle.h"
#include "base/path.h"
#include "report/zemnetul/http_task.h"
#include "tests/report/double_client.h"

namespace {

struct Seen {
    std::mutex lock;
    std::vector<int> statuses;
    std::vector<int> ids;
    std::vector<DWORD> threads;
    std::string body;
    int httpStatus = 0;
    base::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// Records every notification into a Seen that outlives it (shared), so that a notification
// arriving after the callback was detached would still be counted, not crash the test.
class RecordingCallback : public IHttpTaskCallback {
  public:
    explicit RecordingCallback(std::shared_ptr<Seen> seen, bool releaseOnFinal = false)
        : seen_(std::move(seen)), releaseOnFinal_(releaseOnFinal) {}

    void Notify(IHttpTask* task, const HttpTaskEvent* event) override {
        {
            std::lock_guard<std::mutex> guard(seen_->lock);
            seen_->statuses.push_back(event->status);
            seen_->ids.push_back(event->id);
            seen_->threads.push_back(GetCurrentThreadId());
            if (event->status == kHttpTaskSucceeded || event->status == kHttpTaskFailed) {
                seen_->body.assign(event->body, event->bodyLength);
                seen_->httpStatus = event->httpStatus;
            }
        }
        if (event->status == kHttpTaskSucceeded || event->status == kHttpTaskFailed) {
            // What every owner in the program does: forget and release from inside Notify.
            if (releaseOnFinal_)
                task->Release();
            SetEvent(seen_->done.Get());
        }
    }

  private:
    std::shared_ptr<Seen> seen_;
    bool releaseOnFinal_;
};

// Releases the task at scope exit, so that a failed assertion never leaves a running task
// pointing at a callback that is gone.
struct TaskReleaser {
    IHttpTask* task;
    ~TaskReleaser() {
        if (task)
            task->Release();
    }
};

class ZemNetULTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(double_client::Available()) << "run through tests/double/run_with_double.py";
        ASSERT_TRUE(double_client::Reset());
        module_.Reset(LoadLibraryW(path::Join(path::ModuleDir(), L"ZemNetUL.dll").c_str()));
        ASSERT_TRUE(module_);
        auto init = reinterpret_cast<HttpInitFn>(
            reinterpret_cast<void*>(GetProcAddress(module_.Get(), "HttpInit")));
        ASSERT_NE(init, nullptr);
        ASSERT_NE(GetProcAddress(module_.Get(), "HttpUninit"), nullptr);
        factory_ = init();
        ASSERT_NE(factory_, nullptr);
    }

    IHttpTask* NewTask() {
        IHttpTask* task = factory_->CreateTask();
        EXPECT_NE(task, nullptr);
        EXPECT_TRUE(task->SetOption("ungzip", 0));
        EXPECT_TRUE(task->SetOption("gzip", 0));
        return task;
    }

    static std::wstring Url(const wchar_t* path) { return double_client::BaseUrl() + path; }

    static bool WaitDone(Seen& seen, DWORD ms) {
        return WaitForSingleObject(seen.done.Get(), ms) == WAIT_OBJECT_0;
    }

    base::UniqueModule module_;
    IHttpTaskFactory* factory_ = nullptr;
};

TEST_F(ZemNetULTest, GetNotifiesProgressThenSuccessOnItsOwnThreadWithTheBody) {
    auto seen = std::make_shared<Seen>();
    RecordingCallback callback(seen, true);
    IHttpTask* task = NewTask();
    int id = task->Id();
    IHttpTask* other = factory_->CreateTask();
    EXPECT_NE(other->Id(), id);
    other->Release();

    task->SetCallback(&callback);
    ASSERT_TRUE(
        task->Start(kHttpGet, Url(L"/live/intf/getUninstallOptions?appver=1&pid=x").c_str()));
    ASSERT_TRUE(WaitDone(*seen, 10000));

    std::lock_guard<std::mutex> guard(seen->lock);
    ASSERT_GE(seen->statuses.size(), 2u);
    EXPECT_EQ(seen->statuses.back(), kHttpTaskSucceeded);
    for (size_t i = 0; i + 1 < seen->statuses.size(); ++i)
        EXPECT_TRUE(seen->statuses[i] == 0 || seen->statuses[i] == 1) << seen->statuses[i];
    EXPECT_EQ(seen->statuses.front(), kHttpTaskConnected);
    for (int eventId : seen->ids)
        EXPECT_EQ(eventId, id);
    for (DWORD thread : seen->threads)
        EXPECT_NE(thread, GetCurrentThreadId());
    EXPECT_EQ(seen->httpStatus, 200);
    EXPECT_EQ(seen->body, R"({"errno": 0, "data": "1,3"})");

    auto requests = double_client::WaitForRequests(
        [](const auto& r) { return r.path == "/live/intf/getUninstallOptions"; }, 1, 2000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].rawQuery, "appver=1&pid=x");
}

TEST_F(ZemNetULTest, PostSendsTheFormFieldsInOrder) {
    auto seen = std::make_shared<Seen>();
    RecordingCallback callback(seen, true);
    IHttpTask* task = NewTask();
    task->SetCallback(&callback);
    EXPECT_TRUE(task->AddFieldW(L"reason", L"11|14"));
    // 8-bit fields travel byte for byte: here already UTF-8 ("【Kesti】 a&b=c").
    EXPECT_TRUE(task->AddFieldA("suggest", "\xE3\x80\x90Kesti\xE3\x80\x91 a&b=c"));
    EXPECT_TRUE(task->AddFieldW(L"appver", L"\x58C1\x7EB8 1.0"));
    EXPECT_TRUE(task->AddFieldW(L"empty", L""));
    EXPECT_FALSE(task->AddFieldW(L"", L"nameless"));
    ASSERT_TRUE(task->Start(kHttpPost, Url(L"/live/uninstall/addUninstallReason?").c_str()));
    ASSERT_TRUE(WaitDone(*seen, 10000));
    EXPECT_EQ(seen->statuses.back(), kHttpTaskSucceeded);

    auto requests = double_client::WaitForRequests(
        [](const auto& r) { return r.path == "/live/uninstall/addUninstallReason"; }, 1, 2000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    double_client::Pairs expected = {{"reason", "11|14"},
                                     {"suggest", "\xE3\x80\x90Kesti\xE3\x80\x91 a&b=c"},
                                     {"appver", "\xE5\xA3\x81\xE7\xBA\xB8 1.0"},
                                     {"empty", ""}};
    EXPECT_EQ(requests[0].form, expected);
}

TEST_F(ZemNetULTest, OptionsAcceptOnlyNoCompression) {
    struct Case {
        const char* name;
        int value;
        int accepted;
    } cases[] = {{"ungzip", 0, 1}, {"gzip", 0, 1}, {"ungzip", 1, 0},
                 {"gzip", 1, 0},   {"zip", 0, 0},  {nullptr, 0, 0}};
    IHttpTask* task = factory_->CreateTask();
    for (const Case& c : cases)
        EXPECT_EQ(task->SetOption(c.name, c.value) != 0, c.accepted != 0)
            << (c.name ? c.name : "null");
    task->Release();
}

TEST_F(ZemNetULTest, StartRefusesWhatCannotBeSent) {
    IHttpTask* task = factory_->CreateTask();
    EXPECT_FALSE(task->Start(kHttpGet, nullptr));
    EXPECT_FALSE(task->Start(kHttpGet, L""));
    EXPECT_FALSE(task->Start(1, Url(L"/dot").c_str()));  // not a method code of ours
    task->Release();

    auto seen = std::make_shared<Seen>();
    RecordingCallback callback(seen);
    task = NewTask();
    task->SetCallback(&callback);
    ASSERT_TRUE(task->Start(kHttpGet, Url(L"/dot").c_str()));
    EXPECT_FALSE(task->Start(kHttpGet, Url(L"/dot").c_str()));  // a task runs once
    EXPECT_FALSE(task->AddFieldW(L"late", L"field"));
    ASSERT_TRUE(WaitDone(*seen, 10000));
    task->Release();
}

// Every way a request can go wrong ends in exactly one failure notification.
TEST_F(ZemNetULTest, FailuresEndInOneFailedNotification) {
    struct Case {
        const char* label;
        const char* mode;  // the double's mode for the path, or null
        std::wstring url;
    } cases[] = {
        {"server error", "fail", Url(L"/live/intf/GetConfig")},
        {"connection dropped", "drop", Url(L"/live/intf/GetConfig")},
        {"redirect refused", "redirect", Url(L"/live/intf/GetConfig")},
        {"reply too large", "big", Url(L"/live/intf/GetConfig")},
        {"unknown path", nullptr, Url(L"/no/such/path")},
        {"nobody listening", nullptr, double_client::ClosedPortUrl()},
        {"not http", nullptr, L"ftp://127.0.0.1/file"},
        {"not a url", nullptr, L"just some text"},
    };
    size_t before = double_client::Requests().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(double_client::Reset());
        if (c.mode) {
            ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", c.mode));
        }
        auto seen = std::make_shared<Seen>();
        RecordingCallback callback(seen);
        IHttpTask* task = NewTask();
        TaskReleaser releaser{task};
        task->SetCallback(&callback);
        if (task->Start(kHttpGet, c.url.c_str())) {
            ASSERT_TRUE(WaitDone(*seen, 20000));
            Sleep(100);  // room for a wrong second final notification
            std::lock_guard<std::mutex> guard(seen->lock);
            EXPECT_EQ(seen->statuses.back(), kHttpTaskFailed);
            int finals = 0;
            for (int status : seen->statuses)
                finals += status == kHttpTaskSucceeded || status == kHttpTaskFailed;
            EXPECT_EQ(finals, 1);
            EXPECT_TRUE(seen->body.empty());
        }
    }
    // The refused redirect was not followed.
    auto requests = double_client::Requests();
    for (size_t i = before; i < requests.size(); ++i)
        EXPECT_NE(requests[i].path, "/dot");
}

TEST_F(ZemNetULTest, TimeoutEndsAHangingRequest) {
    ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", "hang:20"));
    auto seen = std::make_shared<Seen>();
    RecordingCallback callback(seen);
    IHttpTask* task = NewTask();
    TaskReleaser releaser{task};
    task->SetTimeout(1000);
    task->SetCallback(&callback);
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(task->Start(kHttpGet, Url(L"/live/intf/GetConfig").c_str()));
    ASSERT_TRUE(WaitDone(*seen, 15000));
    EXPECT_LT(GetTickCount64() - start, 15000u);
    EXPECT_EQ(seen->statuses.back(), kHttpTaskFailed);
}

// Releasing a task (and even unloading the library) while its request is still waiting for the
// server: no notification reaches the detached callback, nothing crashes when the reply comes.
TEST_F(ZemNetULTest, ReleaseWhileInFlightSilencesTheTask) {
    ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", "hang:2"));
    auto seen = std::make_shared<Seen>();
    size_t seenAtRelease = 0;
    {
        auto callback = std::make_unique<RecordingCallback>(seen);
        IHttpTask* task = NewTask();
        task->SetCallback(callback.get());
        ASSERT_TRUE(task->Start(kHttpGet, Url(L"/live/intf/GetConfig?inflight=1").c_str()));
        auto arrived = double_client::WaitForRequests(
            [](const auto& r) { return r.rawQuery == "inflight=1"; }, 1, 10000);
        ASSERT_EQ(arrived.size(), 1u);
        task->Release();
        std::lock_guard<std::mutex> guard(seen->lock);
        seenAtRelease = seen->statuses.size();
    }  // the callback object is gone
    module_.Reset();
    Sleep(4000);  // past the double's answer
    std::lock_guard<std::mutex> guard(seen->lock);
    EXPECT_EQ(seen->statuses.size(), seenAtRelease);
    for (int status : seen->statuses)
        EXPECT_TRUE(status == kHttpTaskConnected || status == kHttpTaskReceiving);
}

TEST_F(ZemNetULTest, CancelEndsTheRequestWithAFailure) {
    ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", "hang:20"));
    auto seen = std::make_shared<Seen>();
    RecordingCallback callback(seen);
    IHttpTask* task = NewTask();
    TaskReleaser releaser{task};
    task->SetCallback(&callback);
    ASSERT_TRUE(task->Start(kHttpGet, Url(L"/live/intf/GetConfig?cancel=1").c_str()));
    ASSERT_EQ(double_client::WaitForRequests([](const auto& r) { return r.rawQuery == "cancel=1"; },
                                             1, 10000)
                  .size(),
              1u);
    task->Cancel();
    ASSERT_TRUE(WaitDone(*seen, 15000));
    EXPECT_EQ(seen->statuses.back(), kHttpTaskFailed);
}

}  // namespace
