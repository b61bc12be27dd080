// The server uninstall configuration: reply parsing rules, and both fetches against the
// service double, its failures and its silence.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/path.h"
#include "base/strings.h"
#include "report/http_library.h"
#include "report/uninstall_config.h"
#include "tests/report/double_client.h"
#include "tests/report/report_fixtures.h"

namespace {

using double_client::RecordedRequest;

TEST(UninstallConfigParsing, OptionsReply) {
    const std::vector<int> untouched = {9};
    struct Case {
        const char* reply;
        bool parsed;
        std::vector<int> options;
    } cases[] = {
        {R"({"errno":0,"data":"1,3"})", true, {1, 3}},
        {R"({"errno":0,"data":"4"})", true, {4}},
        {R"({"errno":0,"data":"2,,3"})", true, {2, 0, 3}},
        {R"({"errno":0,"data":"x,5,"})", true, {0, 5, 0}},
        {R"({"errno":0,"data":""})", false, untouched},
        {R"({"errno":0,"data":13})", false, untouched},
        {R"({"errno":"0","data":"1,3"})", false, untouched},
        {R"({"errno":1,"data":"1,3"})", false, untouched},
        {R"({"data":"1,3"})", false, untouched},
        {R"(not json)", false, untouched},
        {"", false, untouched},
    };
    for (const Case& c : cases) {
        std::vector<int> options = untouched;
        EXPECT_EQ(report::ParseOptionsReply(c.reply, options), c.parsed) << c.reply;
        EXPECT_EQ(options, c.options) << c.reply;
    }
}

TEST(UninstallConfigParsing, QuestionnaireReply) {
    struct Case {
        const char* reply;
        bool stored;
        const wchar_t* url;
    } cases[] = {
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q/\u58c1"}}})",
         true, L"http://q/\x58C1"},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"2"}}})", true, L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"0","url":"http://q/"}}})",
         false, L"old"},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":1,"url":"http://q/"}}})", false,
         L"old"},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"url":"http://q/"}}})", false, L"old"},
        {R"({"errno":"0","data":{"uninstall_questionnaire":{"status":"1","url":"http://q/"}}})",
         false, L"old"},
        {R"({"errno":0,"data":{}})", false, L"old"},
        {R"({"errno":0,"data":"text"})", false, L"old"},
        {R"({"errno":0})", false, L"old"},
        {R"([1,2])", false, L"old"},
        {R"({"errno":0,"data":{"uninstall_questionnaire":)", false, L"old"},
    };
    for (const Case& c : cases) {
        std::wstring url = L"old";
        EXPECT_EQ(report::ParseQuestionnaireReply(c.reply, url), c.stored) << c.reply;
        EXPECT_EQ(url, c.url) << c.reply;
    }
}

class UninstallConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(double_client::Available()) << "run through tests/double/run_with_double.py";
        ASSERT_TRUE(double_client::Reset());
        report_test::UseDouble();
        HttpLibrary().Unload();
        ASSERT_TRUE(HttpLibrary().Load(path::Join(path::ModuleDir(), L"ZemNetUL.dll")));
    }
    void TearDown() override { HttpLibrary().Unload(); }
};

TEST_F(UninstallConfigTest, FeedbackOptionsFromTheServiceOrTheDefaults) {
    const std::vector<int> defaults = {1, 2, 3, 4};
    struct Case {
        const char* label;
        std::string mode;
        bool answered;
        std::vector<int> options;
    } cases[] = {
        {"service list", "normal", true, {1, 3}},
        {"one option", R"(body:{"errno":0,"data":"4"})", true, {4}},
        {"an empty piece", R"(body:{"errno":0,"data":"2,,3"})", true, {2, 0, 3}},
        {"errno as a string", "errno_string", false, defaults},
        {"error reply", "error", false, defaults},
        {"garbage", "garbage", false, defaults},
        {"server error", "fail", false, defaults},
        {"connection dropped", "drop", false, defaults},
        {"service silent", "hang:4", false, defaults},
        {"nobody listening", "", false, defaults},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(double_client::Reset());
        report_test::UseDouble();
        if (c.mode.empty()) {
            std::wstring closed = double_client::ClosedPortUrl();
            report::SetEndpointsForTesting(L"", closed.substr(0, closed.size() - 1), L"");
        } else {
            ASSERT_TRUE(double_client::SetMode("/live/intf/getUninstallOptions", c.mode));
        }
        UninstallFeedbackConfig config;
        config.Start();
        std::vector<int> options = {99};
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(config.GetFeedback(options), c.answered);
        EXPECT_LE(GetTickCount64() - start, UninstallFeedbackConfig::kWaitMs + 1000);
        EXPECT_EQ(options, c.options);
        config.Release();
    }
    Sleep(4500);  // the silent service answers after its config object is gone
}

TEST_F(UninstallConfigTest, RequestsCarryTheThreeQueryValuesInOrder) {
    UninstallFeedbackConfig feedback;
    feedback.Start();
    std::vector<int> options;
    EXPECT_TRUE(feedback.GetFeedback(options));
    CUninstallConfig config;
    config.Fetch();
    for (const char* path : {"/live/intf/getUninstallOptions", "/live/intf/GetConfig"}) {
        SCOPED_TRACE(path);
        auto requests = double_client::WaitForRequests(
            [&](const RecordedRequest& r) { return r.path == path; }, 1, 10000);
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().method, "GET");
        EXPECT_EQ(double_client::Keys(requests.back().query),
                  (std::vector<std::string>{"appver", "modver", "pid"}));
    }
}

TEST_F(UninstallConfigTest, QuestionnaireUrlArrivesOrStaysEmpty) {
    CUninstallConfig config;
    EXPECT_EQ(config.GetQuestionnaireUrl(), L"");
    config.Fetch();
    std::wstring expected = double_client::BaseUrl() + L"/questionnaire";
    ULONGLONG deadline = GetTickCount64() + 10000;
    while (config.GetQuestionnaireUrl().empty() && GetTickCount64() < deadline)
        Sleep(20);
    EXPECT_EQ(config.GetQuestionnaireUrl(), expected);

    // Cancelled before the late reply, which would offer the questionnaire: nothing changes.
    ASSERT_TRUE(double_client::SetMode("/live/intf/GetConfig", "hang:2"));
    CUninstallConfig cancelled;
    cancelled.Fetch();
    cancelled.Cancel();
    Sleep(3000);
    EXPECT_EQ(cancelled.GetQuestionnaireUrl(), L"");
}

TEST_F(UninstallConfigTest, WithoutTheLibraryNothingIsSentAndNothingWaits) {
    HttpLibrary().Unload();
    size_t before = double_client::Requests().size();
    UninstallFeedbackConfig feedback;
    ULONGLONG start = GetTickCount64();
    feedback.Start();
    std::vector<int> options;
    EXPECT_FALSE(feedback.GetFeedback(options));
    EXPECT_LT(GetTickCount64() - start, 500u);
    EXPECT_EQ(options, (std::vector<int>{1, 2, 3, 4}));
    CUninstallConfig config;
    config.Fetch();
    Sleep(300);
    EXPECT_EQ(config.GetQuestionnaireUrl(), L"");
    EXPECT_EQ(double_client::Requests().size(), before);
}

}  // namespace
