// The statistics reporter: the URL it builds, what reaches the service double, the network
// test of asynchronous sends, the cut of long URLs, and the OEM host override.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "base/handle.h"
#include "base/strings.h"
#include "report/oem_url_config.h"
#include "report/statistic.h"
#include "sysinfo/machine_id.h"
#include "tests/report/double_client.h"
#include "tests/report/report_fixtures.h"

namespace {

using double_client::RecordedRequest;

constexpr wchar_t kPidKey[] = L"Software\\KestiWallPaper";
constexpr wchar_t kOemParentKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Zemwpapp.exe";
constexpr wchar_t kOemKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Zemwpapp.exe\\oemconfig";

std::wstring KernelPath() {
    wchar_t dir[MAX_PATH] = {};
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\kernel32.dll";
}

// Sends nothing: records what would have been downloaded.
class CapturingStatistic : public CStatistic {
  public:
    int Download(const wchar_t* url, const wchar_t* file, bool async, int reserved,
                 const StatisticCallback&) override {
        urls.push_back(url ? url : L"<null>");
        files.push_back(file != nullptr);
        asyncs.push_back(async);
        reserveds.push_back(reserved);
        return 1;
    }
    std::vector<std::wstring> urls;
    std::vector<bool> files, asyncs;
    std::vector<int> reserveds;
};

// A reporter on a machine without a network connection.
class OfflineStatistic : public CStatistic {
  public:
    int IsNetworkConnected() override { return 0; }
};

std::vector<RecordedRequest> DotRequestsFor(const std::string& action, size_t count,
                                            unsigned timeoutMs) {
    return double_client::WaitForRequests(
        [&](const RecordedRequest& r) {
            return r.path == "/dot" && r.QueryValue("action") == action;
        },
        count, timeoutMs);
}

// The encoding a partner's installer uses for the override values.
std::wstring OemEncode(const std::wstring& text) {
    return base::FromUtf8(crypto::Base64Encode(
        crypto::BlowfishEncrypt("3E1D0C5A-9B2F-4C61-8A07-D4E2B9C1F05B", base::ToUtf8(text))));
}

class StatisticTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(double_client::Available()) << "run through tests/double/run_with_double.py";
        ASSERT_TRUE(double_client::Reset());
        report_test::UseDouble();
    }

    // A reporter with a version, as in the field.
    template <typename T>
    static void Prepare(T& statistic) {
        statistic.SetType(L"bizhi");
        statistic.SetVersionFile(KernelPath().c_str());
    }
};

TEST_F(StatisticTest, UrlFollowsTheTemplateWithEveryValueFilled) {
    report_test::ScopedRegString pid(HKEY_CURRENT_USER, kPidKey, L"pid", L"channel_7");
    CapturingStatistic statistic;
    statistic.SetType(L"bizhi");
    statistic.SetVersionFile(KernelPath().c_str());
    wchar_t ver[260] = {};
    ASSERT_EQ(statistic.GetFileVersion(KernelPath().c_str(), ver, 260), 1);

    ASSERT_EQ(statistic.Report(L"uninstall_1", nullptr, false), 1);
    ASSERT_EQ(statistic.Report(L"uninstall_2", L"&ex1=3&ex2=2024-01-02%2003:04:05", true), 1);

    std::wstring start = L"http://" + double_client::HostAndPort() +
                         L"/dot?ptype=kestipaper&pid=channel_7&type=bizhi&action=";
    std::wstring tail =
        std::wstring(L"&appver=") + ver + L"&mid=" + GetMid() + L"&mid2=" + GetMid2();
    ASSERT_EQ(statistic.urls.size(), 2u);
    EXPECT_EQ(statistic.urls[0], start + L"uninstall_1" + tail);
    EXPECT_EQ(statistic.urls[1],
              start + L"uninstall_2" + tail + L"&ex1=3&ex2=2024-01-02%2003:04:05");
    EXPECT_EQ(statistic.asyncs, (std::vector<bool>{true, false}));
    EXPECT_EQ(statistic.files, (std::vector<bool>{false, false}));
    EXPECT_EQ(statistic.reserveds, (std::vector<int>{0, 0}));
}

TEST_F(StatisticTest, ValuesAreInsertedUnescaped) {
    report_test::ScopedRegString pid(HKEY_CURRENT_USER, kPidKey, L"pid", nullptr);
    CapturingStatistic statistic;
    statistic.SetType(L"bizhi");
    ASSERT_EQ(statistic.Report(L"a&b c", L"&note=\x58C1\x7EB8 x", false), 1);
    ASSERT_EQ(statistic.urls.size(), 1u);
    const std::wstring& url = statistic.urls[0];
    EXPECT_NE(url.find(L"&pid=&type=bizhi&action=a&b c&appver="), std::wstring::npos) << url;
    EXPECT_EQ(url.substr(url.size() - 10), L"&note=\x58C1\x7EB8 x");
}

TEST_F(StatisticTest, NothingIsSentWithoutActionOrType) {
    struct Case {
        const wchar_t* type;
        const wchar_t* action;
    } cases[] = {
        {nullptr, L"uninstall_1"}, {L"", L"uninstall_1"}, {L"bizhi", L""}, {L"bizhi", nullptr}};
    for (const Case& c : cases) {
        CapturingStatistic statistic;
        if (c.type)
            statistic.SetType(c.type);
        EXPECT_EQ(statistic.Report(c.action, nullptr, true), 0);
        EXPECT_TRUE(statistic.urls.empty());
    }
}

// What reaches the double: exactly the template's keys in order, with the identifiers filled.
TEST_F(StatisticTest, TheDoubleReceivesTheKeysInOrder) {
    report_test::ScopedRegString pid(HKEY_CURRENT_USER, kPidKey, L"pid", L"unit_pid");
    CStatistic statistic;
    statistic.SetType(L"bizhi");
    statistic.SetVersionFile(KernelPath().c_str());
    ASSERT_EQ(statistic.Report(L"keys_async", nullptr, false), 1);
    ASSERT_EQ(statistic.Report(L"keys_sync", L"&ex1=a&ex2=b", true), 1);

    auto sync = DotRequestsFor("keys_sync", 1, 0);  // already there: the call waited
    ASSERT_EQ(sync.size(), 1u);
    auto async = DotRequestsFor("keys_async", 1, 10000);
    ASSERT_EQ(async.size(), 1u);

    std::vector<std::string> keys = {"ptype", "pid", "type", "action", "appver", "mid", "mid2"};
    EXPECT_EQ(double_client::Keys(async[0].query), keys);
    keys.insert(keys.end(), {"ex1", "ex2"});
    EXPECT_EQ(double_client::Keys(sync[0].query), keys);
    for (const RecordedRequest* r : {&async[0], &sync[0]}) {
        EXPECT_EQ(r->method, "GET");
        EXPECT_EQ(r->QueryValue("ptype"), "kestipaper");
        EXPECT_EQ(r->QueryValue("pid"), "unit_pid");
        EXPECT_EQ(r->QueryValue("type"), "bizhi");
        EXPECT_EQ(r->QueryValue("mid"), base::ToUtf8(GetMid()));
        EXPECT_EQ(r->QueryValue("mid2"), base::ToUtf8(GetMid2()));
        EXPECT_EQ(r->QueryValue("mid").size(), 32u);
        EXPECT_EQ(r->QueryValue("mid2").size(), 44u);
        std::wstring ver;
        ASSERT_TRUE(report::FileVersionText(KernelPath(), ver));
        EXPECT_EQ(r->QueryValue("appver"), base::ToUtf8(ver));
    }
}

TEST_F(StatisticTest, CallbackHearsTheOutcomeOnce) {
    CStatistic statistic;
    Prepare(statistic);
    std::atomic<int> calls{0};
    std::atomic<bool> result{false};
    base::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    StatisticCallback callback = [&](bool ok) {
        result = ok;
        ++calls;
        SetEvent(done.Get());
    };
    ASSERT_EQ(statistic.Report(L"callback_async", nullptr, false, callback), 1);
    ASSERT_EQ(WaitForSingleObject(done.Get(), 10000), WAIT_OBJECT_0);
    Sleep(200);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(result.load());

    // A synchronous send to a port where nobody listens fails, and says so.
    report::SetEndpointsForTesting(double_client::ClosedPortUrl().substr(7, std::wstring::npos),
                                   L"", L"");
    calls = 0;
    std::wstring host = report::StatisticsHost();
    ASSERT_FALSE(host.empty());
    EXPECT_EQ(statistic.Report(L"callback_sync", nullptr, true, callback), 0);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(result.load());
}

TEST_F(StatisticTest, OfflineAsynchronousSendsFetchNothingSynchronousOnesStillTry) {
    OfflineStatistic statistic;
    Prepare(statistic);
    ASSERT_EQ(statistic.Report(L"offline_async", nullptr, false), 1);  // queued, then dropped
    ASSERT_EQ(statistic.Report(L"offline_sync", nullptr, true), 1);
    EXPECT_EQ(DotRequestsFor("offline_sync", 1, 0).size(), 1u);
    Sleep(1500);
    EXPECT_TRUE(DotRequestsFor("offline_async", 1, 0).empty());
}

// No value with a dot: the URL's last dot is in the host, which some cache implementations
// cannot name a file after. The event must still go out.
TEST_F(StatisticTest, UrlWithoutAnyDottedValueIsSent) {
    report_test::ScopedRegString pid(HKEY_CURRENT_USER, kPidKey, L"pid", nullptr);
    CStatistic statistic;
    statistic.SetType(L"bizhi");  // no version file: appver stays empty
    EXPECT_EQ(statistic.Report(L"no_dot_sync", nullptr, true), 1);
    EXPECT_EQ(statistic.Report(L"no_dot_async", nullptr, false), 1);
    EXPECT_EQ(DotRequestsFor("no_dot_sync", 1, 0).size(), 1u);
    auto async = DotRequestsFor("no_dot_async", 1, 10000);
    ASSERT_EQ(async.size(), 1u);
    EXPECT_EQ(async[0].QueryValue("appver"), "");
    EXPECT_EQ(async[0].QueryValue("pid"), "");
}

TEST_F(StatisticTest, RepeatedEventReachesTheServerEachTime) {
    CStatistic statistic;
    Prepare(statistic);
    EXPECT_EQ(statistic.Report(L"repeated", nullptr, true), 1);
    EXPECT_EQ(statistic.Report(L"repeated", nullptr, true), 1);
    EXPECT_EQ(DotRequestsFor("repeated", 2, 0).size(), 2u);
}

TEST_F(StatisticTest, LongAsynchronousUrlIsCutAt2047Characters) {
    CStatistic statistic;
    statistic.SetType(L"bizhi");
    // Dots throughout the padding: Wine's urlmon names the cache file after the text behind
    // the URL's last dot and crashes when that text is very long.
    std::wstring extra = L"&pad=";
    for (int i = 0; i < 1000; ++i)
        extra += L"pp.";
    std::wstring full = statistic.BuildUrl(L"long_url", extra.c_str());
    ASSERT_GT(full.size(), 2047u);
    ASSERT_EQ(statistic.Report(L"long_url", extra.c_str(), false), 1);
    auto requests = DotRequestsFor("long_url", 1, 10000);
    ASSERT_EQ(requests.size(), 1u);
    std::string received =
        "http://" + requests[0].host + requests[0].path + "?" + requests[0].rawQuery;
    EXPECT_EQ(received, base::ToUtf8(full.substr(0, 2047)));
}

TEST_F(StatisticTest, UninstallFromIsSentBeforeTheCallReturns) {
    Prepare(*CStatistic::Instance());
    EXPECT_EQ(report::ReportUninstallFrom(L"explorer", L"6.1"), 1);
    auto requests = DotRequestsFor("uninstall_from", 1, 0);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].QueryValue("ex1"), "explorer");
    EXPECT_EQ(requests[0].QueryValue("ex2"), "6.1");

    EXPECT_EQ(report::ReportPreInitCheckFailed(-3), 1);
    EXPECT_EQ(report::ReportInitConfigFailed(), 1);
    auto failures = DotRequestsFor("unist_init_fail", 2, 10000);
    ASSERT_EQ(failures.size(), 2u);
    std::multiset<std::string> extras;
    for (const auto& r : failures)
        extras.insert(r.QueryValue("{720260B5-154E-483f-A485-0B46C3D6C50D}"));
    EXPECT_EQ(extras, (std::multiset<std::string>{"InitConfigFaile", "PreInitCheck:-3"}));
}

TEST(StatisticEscaping, KeepsTheUnreservedSetAndEscapesTheRestLowerCase) {
    struct Case {
        const wchar_t* text;
        const wchar_t* escaped;
    } cases[] = {
        {L"2024-01-02 03:04:05", L"2024-01-02%2003:04:05"},
        {L"azAZ09!'()*-./:_~%", L"azAZ09!'()*-./:_~%"},
        {L"a&b=c?d#e+f", L"a%26b%3dc%3fd%23e%2bf"},
        {L"\x58C1", L"%e5%a3%81"},
        {L"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(report::EscapeStatisticValue(c.text), c.escaped);
}

TEST_F(StatisticTest, UninstallFinishedCarriesDaysAndTheEscapedDate) {
    Prepare(*CStatistic::Instance());
    EXPECT_EQ(report::ReportUninstallFinished(12, L"2024-01-02 03:04:05"), 1);
    auto requests = DotRequestsFor("uninstall_2", 1, 10000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].rawQuery.find("&ex1=12&ex2=2024-01-02%2003:04:05"), std::string::npos)
        << requests[0].rawQuery;
}

// The override as a partner installs it, against what it does to a URL.
class OemOverrideTest : public StatisticTest {
  protected:
    void SetUp() override {
        StatisticTest::SetUp();
        base::RegKey existing;
        if (existing.Open(HKEY_LOCAL_MACHINE, kOemParentKey, KEY_READ, base::RegView::k32))
            GTEST_SKIP() << "this machine has an OEM configuration of its own";
    }

    void TearDown() override {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kOemKey, KEY_WOW64_32KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kOemParentKey, KEY_WOW64_32KEY, 0);
    }

    static void Install(const wchar_t* flag, const std::map<std::wstring, std::wstring>& entries) {
        base::RegKey parent, config;
        ASSERT_TRUE(
            parent.Create(HKEY_LOCAL_MACHINE, kOemParentKey, KEY_SET_VALUE, base::RegView::k32));
        if (flag) {
            ASSERT_TRUE(parent.SetString(L"oem_f", flag));
        }
        ASSERT_TRUE(config.Create(HKEY_LOCAL_MACHINE, kOemKey, KEY_SET_VALUE, base::RegView::k32));
        for (const auto& [name, value] : entries)
            ASSERT_TRUE(config.SetString(OemEncode(name).c_str(), OemEncode(value)));
        // Values a partner's tools never write, which must be skipped or read safely: the wrong
        // type, a name that is not Base64, and a text stored without its terminator (which the
        // system may or may not hand back terminated).
        DWORD number = 7;
        RegSetValueExW(config.Get(), OemEncode(L"number").c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&number), sizeof(number));
        std::wstring other = OemEncode(L"other.example");
        RegSetValueExW(config.Get(), L"not base64!", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(other.c_str()),
                       static_cast<DWORD>((other.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(config.Get(), OemEncode(L"unterminated").c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(other.c_str()),
                       static_cast<DWORD>(other.size() * sizeof(wchar_t)));
    }
};

TEST_F(OemOverrideTest, RewritesOnlyWhenEnabledAndTheServiceHasAPlainHost) {
    const std::wstring url = L"http://127.0.0.1:18480/dot?ptype=kestipaper&back=127.0.0.1";
    struct Case {
        const char* label;
        const wchar_t* flag;
        std::map<std::wstring, std::wstring> entries;
        std::wstring url;
        std::wstring expected;
    } cases[] = {
        {"no flag", nullptr, {{L"statis", L"stats.example"}}, url, url},
        {"flag 0", L"0", {{L"statis", L"stats.example"}}, url, url},
        {"no statis entry", L"1", {{L"config", L"stats.example"}}, url, url},
        {"every occurrence of the host, port kept",
         L"1",
         {{L"statis", L"stats.example"}, {L"config", L"config.example"}},
         url,
         L"http://stats.example:18480/dot?ptype=kestipaper&back=stats.example"},
        {"host without a path",
         L"1",
         {{L"statis", L"stats.example"}},
         L"http://127.0.0.1:18480",
         L"http://stats.example:18480"},
        {"a value that is no plain host", L"1", {{L"statis", L"evil.example/x?"}}, url, url},
        {"a value with a user part", L"1", {{L"statis", L"user@evil.example"}}, url, url},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        Install(c.flag, c.entries);
        COemUrlConfig config(L"bizhi");
        EXPECT_EQ(config.IsEnabled(), c.flag && std::wstring(c.flag) == L"1");
        EXPECT_EQ(config.RewriteUrl(c.url, L"statis"), c.expected);
        if (config.IsEnabled()) {
            EXPECT_TRUE(config.HostFor(L"number").empty());
        }
    }
    // Another product key reads another place, or none at all.
    TearDown();
    Install(L"1", {{L"statis", L"stats.example"}});
    EXPECT_FALSE(COemUrlConfig(L"unknown").IsEnabled());
    EXPECT_EQ(COemUrlConfig(L"unknown").RewriteUrl(url, L"statis"), url);
}

TEST_F(OemOverrideTest, TheReporterSendsToTheOverriddenHost) {
    Install(L"1", {{L"statis", L"localhost"}});
    CStatistic statistic;  // reads the override when it is made
    Prepare(statistic);
    ASSERT_EQ(statistic.Report(L"oem_host", nullptr, true), 1);
    auto requests = DotRequestsFor("oem_host", 1, 0);
    ASSERT_EQ(requests.size(), 1u);
    std::string port = base::ToUtf8(double_client::HostAndPort());
    port = port.substr(port.find(':'));
    EXPECT_EQ(requests[0].host, "localhost" + port);
}

}  // namespace

namespace {

// A reporter whose connection test takes a while, as a slow network does; its jobs then stay
// running for that long.
class SlowStatistic : public CStatistic {
  public:
    explicit SlowStatistic(DWORD delayMs) : delayMs_(delayMs) {}
    int IsNetworkConnected() override {
        Sleep(delayMs_);
        return 0;  // nothing is fetched: the test needs no server
    }

  private:
    DWORD delayMs_;
};

TEST(StatisticPendingJobs, WaitReturnsOnceTheJobsEndedOrTheTimeIsUp) {
    static SlowStatistic slow(400);              // outlives its detached jobs
    EXPECT_TRUE(slow.WaitForPendingReports(0));  // nothing running
    ASSERT_EQ(slow.Download(L"http://127.0.0.1:9/dot", nullptr, true, 0, {}), 1);
    ASSERT_EQ(slow.Download(L"http://127.0.0.1:9/dot", nullptr, true, 0, {}), 1);
    EXPECT_FALSE(slow.WaitForPendingReports(50));
    DWORD start = GetTickCount();
    EXPECT_TRUE(slow.WaitForPendingReports(5000));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(slow.WaitForPendingReports(0));
}

}  // namespace
