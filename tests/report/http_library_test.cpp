// The binding of ZemNetUL.dll (signature first), the blocking POST and the uninstall-information
// report, against the service double.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"
#include "report/http_library.h"
#include "report/statistic.h"
#include "report/uninstall_info.h"
#include "sysinfo/machine_id.h"
#include "tests/report/double_client.h"
#include "tests/report/report_fixtures.h"
#include "tests/support/temp_folder.h"

namespace {

using double_client::RecordedRequest;
using test_support::TempFolder;

constexpr char kReportKey[] = "e4a71d05-6b3c-4f82-8d19-07c3fb52e6a8";

std::wstring BuiltLibrary() {
    return path::Join(path::ModuleDir(), L"ZemNetUL.dll");
}

std::string ReadAll(const std::wstring& file) {
    std::string bytes;
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(handle, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(handle);
    return bytes;
}

std::vector<RecordedRequest> ReportRequests() {
    return double_client::WaitForRequests(
        [](const RecordedRequest& r) { return r.path == "/pc/udda/dogsun"; }, 0, 0);
}

class HttpLibraryTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(double_client::Available()) << "run through tests/double/run_with_double.py";
        ASSERT_TRUE(double_client::Reset());
        report_test::UseDouble();
        HttpLibrary().Unload();
        ASSERT_TRUE(HttpLibrary().Load(BuiltLibrary()));
    }
    void TearDown() override { HttpLibrary().Unload(); }

    static std::wstring Url(const wchar_t* path) { return double_client::BaseUrl() + path; }
};

// Only the signed library is bound; anything else leaves the holder empty and every request
// fails at once without reaching the network.
TEST_F(HttpLibraryTest, OnlyASignedLibraryIsBound) {
    GetMid();  // the identifiers' first computation may take a while: not part of the timing
    GetMid2();
    TempFolder scratch;
    std::string genuine = ReadAll(BuiltLibrary());
    ASSERT_GT(genuine.size(), 4096u);
    std::string tampered = genuine;
    tampered[tampered.size() / 3] ^= 0x5A;  // inside the signed image
    struct Case {
        const char* label;
        std::wstring path;
        bool loads;
    } cases[] = {
        {"missing", path::Join(path::TempDir(), L"no-such-dir\\ZemNetUL.dll"), false},
        {"unsigned", scratch.File(L"unsigned.dll", ReadAll(path::ModulePath())), false},
        {"tampered", scratch.File(L"tampered.dll", tampered), false},
        {"signed", BuiltLibrary(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpLibrary().Unload();
        size_t before = double_client::Requests().size();
        EXPECT_EQ(HttpLibrary().Load(c.path), c.loads);
        EXPECT_EQ(HttpLibrary().Factory() != nullptr, c.loads);
        if (c.loads)
            continue;
        ULONGLONG start = GetTickCount64();
        std::wstring reply;
        EXPECT_FALSE(PostForm(Url(L"/live/uninstall/addFeedback?"), L"phone", L"1", reply, 5000));
        EXPECT_EQ(ReportUninstallInfo("set", L"bird", L"1.0.0.1"), 1u);  // the preliminary result
        EXPECT_EQ(ReportUninstallInfo("set", L"other", L"1.0.0.1"), 0u);
        CPendingHttpTask pending;
        EXPECT_FALSE(StartHttpRequest(pending, nullptr, kHttpGet, Url(L"/dot")));
        EXPECT_LT(GetTickCount64() - start, 1000u);
        Sleep(200);
        EXPECT_EQ(double_client::Requests().size(), before);
    }
}

TEST_F(HttpLibraryTest, PostFormDeliversTheReplyOfASuccess) {
    std::wstring reply;
    ASSERT_TRUE(
        PostForm(Url(L"/live/uninstall/addFeedback?"), L"phone", L"138 0000\x58C1", reply, 10000));
    EXPECT_EQ(reply, L"{\"errno\": 0, \"msg\": \"ok\"}");
    auto requests = double_client::WaitForRequests(
        [](const RecordedRequest& r) { return r.path == "/live/uninstall/addFeedback"; }, 1, 2000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].form, (double_client::Pairs{{"phone", "138 0000\xE5\xA3\x81"}}));
}

TEST_F(HttpLibraryTest, PostFormFailures) {
    struct Case {
        const char* label;
        const char* mode;
        DWORD timeoutMs;
        bool sent;  // whether the request reaches the double
    } cases[] = {
        {"timeout 0 sends nothing", nullptr, 0, false},
        {"server error", "fail", 10000, true},
        {"connection dropped", "drop", 10000, true},
        {"too slow", "hang:3", 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(double_client::Reset());
        if (c.mode) {
            ASSERT_TRUE(double_client::SetMode("/live/uninstall/sendSmsCode", c.mode));
        }
        size_t before = double_client::Requests().size();
        std::wstring reply = L"untouched";
        ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(
            PostForm(Url(L"/live/uninstall/sendSmsCode?"), L"phone", L"1", reply, c.timeoutMs));
        EXPECT_LT(GetTickCount64() - start, c.timeoutMs + 1500u);
        EXPECT_EQ(reply, L"untouched");
        Sleep(300);
        EXPECT_EQ(double_client::Requests().size() > before, c.sent);
    }
    // The slow reply arrives after its adapter is gone: nothing may notice.
    Sleep(3000);
}

TEST_F(HttpLibraryTest, PostFormStopsWhenTheExtraHandleIsSignalled) {
    ASSERT_TRUE(double_client::SetMode("/live/uninstall/sendSmsCode", "hang:3"));
    base::UniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    std::wstring reply;
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(
        PostForm(Url(L"/live/uninstall/sendSmsCode?"), L"phone", L"1", reply, 20000, stop.Get()));
    EXPECT_LT(GetTickCount64() - start, 2000u);
    Sleep(3500);  // past the late reply
}

// The report as the host receives it: "data" decrypts, with the report key and this test's own
// reading of it, to the record with its members in order.
TEST_F(HttpLibraryTest, UninstallInfoCarriesTheEncryptedRecord) {
    EXPECT_EQ(ReportUninstallInfo("set", L"channel_9", L"1.2.3.4"), 1u);
    auto requests = ReportRequests();
    ASSERT_FALSE(requests.empty());
    const RecordedRequest& request = requests.back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(double_client::Keys(request.form), std::vector<std::string>{"data"});

    std::wstring modver;
    report::FileVersionText(path::ModulePath(), modver);  // empty: tests carry no version
    std::string expected = "{\"type\":\"set\",\"pid\":\"channel_9\",\"mid\":\"" +
                           base::ToUtf8(GetMid()) + "\",\"mid2\":\"" + base::ToUtf8(GetMid2()) +
                           "\",\"appver\":\"1.2.3.4\",\"modver\":\"" + base::ToUtf8(modver) +
                           "\",\"appname\":\"kesti\"}";
    std::string encrypted;
    ASSERT_TRUE(crypto::Base64Decode(request.Field("data"), encrypted));
    ASSERT_EQ(encrypted.size() % 8, 0u);
    std::string plain = crypto::BlowfishDecrypt(kReportKey, encrypted);
    EXPECT_EQ(crypto::StripTrailingZeros(plain), expected);
    EXPECT_EQ(encrypted.size(), (expected.size() + 7) / 8 * 8);
    ASSERT_TRUE(request.hasDecoded);  // the double's independent decryption agrees
    EXPECT_EQ(request.decoded, expected);
}

TEST_F(HttpLibraryTest, UninstallInfoEncryptionAddsNoBlockToWholeBlocks) {
    for (size_t length : {7u, 8u, 9u, 16u}) {
        std::string text(length, 'j');
        std::string encrypted;
        ASSERT_TRUE(crypto::Base64Decode(report::EncryptUninstallInfo(text), encrypted));
        EXPECT_EQ(encrypted.size(), (length + 7) / 8 * 8) << length;
        std::string plain;
        ASSERT_TRUE(report::DecryptUninstallReply(report::EncryptUninstallInfo(text), plain));
        EXPECT_EQ(plain, text);
    }
}

// What the report host answers, against the result: the host must echo `mid2` (after the first
// character) in a reply encrypted like the record; a failed post keeps the preliminary result.
TEST_F(HttpLibraryTest, UninstallInfoResultFollowsTheReply) {
    std::string mid2 = base::ToUtf8(GetMid2());
    auto encrypted = [](const std::string& text) {
        return crypto::Base64Encode(crypto::BlowfishEncrypt(kReportKey, text));
    };
    struct Case {
        const char* label;
        std::string mode;
        const wchar_t* pid;
        DWORD expected;
    } cases[] = {
        {"confirmed", "normal", L"other", 1},
        {"garbage reply", "garbage", L"bird", 0},
        {"Base64 of no whole block", "body:QUJD", L"bird", 0},
        {"reply without mid2", "body:" + encrypted("{\"ret\":1}"), L"Zemsafe", 0},
        {"mid2 at the very start does not count", "body:" + encrypted(mid2 + "x"), L"softmgr", 0},
        {"mid2 inside", "body:" + encrypted("{\"m\":\"" + mid2 + "\"}"), L"other", 1},
        {"server error keeps the preliminary 1", "fail", L"SystemTools", 1},
        {"server error keeps the preliminary 0", "fail", L"other", 0},
        {"dropped connection", "drop", L"bizhi_home", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(double_client::Reset());
        ASSERT_TRUE(double_client::SetMode("/pc/udda/dogsun", c.mode));
        EXPECT_EQ(ReportUninstallInfo("set", c.pid, L"1.0.0.1"), c.expected);
    }
}

TEST_F(HttpLibraryTest, PreliminaryResultOfTheChannels) {
    struct Case {
        const wchar_t* pid;
        DWORD expected;
    } cases[] = {{L"bizhi_home", 1}, {L"ZEMSAFE", 1}, {L"bird", 1},    {L"softmgr", 1},
                 {L"Zemse", 1},      {L"system", 1},  {L"systemX", 1}, {L"mysystem", 0},
                 {L"birds", 0},      {L"", 0},        {nullptr, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(report::PreliminaryUninstallInfoResult(c.pid), c.expected)
            << (c.pid ? "" : "null");
}

// A report host that never answers: the caller is back within the 30 s allowance, and the late
// reply, when it comes, finds nothing freed to touch.
TEST_F(HttpLibraryTest, HangingReportHostReleasesTheCaller) {
    ASSERT_TRUE(double_client::SetMode("/pc/udda/dogsun", "hang:34"));
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(ReportUninstallInfo("set", L"bird", L"1.0.0.1"), 1u);
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, report::kUninstallInfoTimeoutMs - 500);
    EXPECT_LT(elapsed, report::kUninstallInfoTimeoutMs + 3000);
    Sleep(5000);  // the double answers meanwhile
}

// An asynchronous owner that cancels: a reply that arrives later is not delivered.
class CountingOwner : public IHttpTaskCallback {
  public:
    void Notify(IHttpTask* task, const HttpTaskEvent* event) override {
        if (event->status != kHttpTaskSucceeded && event->status != kHttpTaskFailed)
            return;
        HttpTaskPtr mine = pending.TakeIf(task);
        if (!mine)
            return;
        finals.fetch_add(1);
        SetEvent(done.Get());
    }
    CPendingHttpTask pending;
    std::atomic<int> finals{0};
    base::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(HttpLibraryTest, AsynchronousOwnerHearsOnceAndNothingAfterCancelling) {
    CountingOwner owner;
    std::vector<HttpField> fields = {
        HttpField::Wide(L"reason", L"12|15"),
        HttpField::Narrow(L"suggest", "\xE3\x80\x90Kesti\xE3\x80\x91")};
    ASSERT_TRUE(StartHttpRequest(owner.pending, &owner, kHttpPost,
                                 Url(L"/live/uninstall/addUninstallReason?"), fields));
    ASSERT_EQ(WaitForSingleObject(owner.done.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(owner.finals.load(), 1);
    EXPECT_FALSE(owner.pending.IsPending());
    auto requests = double_client::WaitForRequests(
        [](const RecordedRequest& r) { return r.path == "/live/uninstall/addUninstallReason"; }, 1,
        2000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0].form,
        (double_client::Pairs{{"reason", "12|15"}, {"suggest", "\xE3\x80\x90Kesti\xE3\x80\x91"}}));

    ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", "hang:2"));
    ResetEvent(owner.done.Get());
    ASSERT_TRUE(
        StartHttpRequest(owner.pending, &owner, kHttpGet, Url(L"/live/intf/GetConfig?x=1")));
    owner.pending.Reset();
    EXPECT_EQ(WaitForSingleObject(owner.done.Get(), 3500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(owner.finals.load(), 1);
}

}  // namespace
