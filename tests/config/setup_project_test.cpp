// Parsing of setup projects written by the test: the value rules, the length limits, the
// architecture filter and the getters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "config/setup_config.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using config_test::WriteUtf16File;
using test_support::TempFolder;

const wchar_t kRootList[] =
    LR"(<?xml version="1.0" encoding="UTF-16"?>
<RootDirFiles><Dir><Item Name="Utils"/></Dir><File><Item Name="Uninstall.exe"/></File></RootDirFiles>
)";

bool Is64 = false;
bool Probe() {
    return Is64;
}

// A project folder with the install-root list beside the project.
class SetupProject : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(WriteUtf16File(dir_ / L"roots.xml", kRootList)); }

    // Writes a project whose Setup element holds `body` after a Main and a root-list element.
    std::wstring WriteProject(const std::wstring& body,
                              const std::wstring& main = L"<Main Version=\"1.2.1.8888\"/>") {
        std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Setup>" + main +
                            L"<UninstallRootDirFileList File=\"roots.xml\"/>" + body +
                            L"</Setup>\r\n";
        std::wstring file = dir_ / L"test.vrnprj";
        EXPECT_TRUE(WriteUtf16File(file, text));
        return file;
    }

    bool Load(const std::wstring& body, bool machineIs64Bit = false) {
        Is64 = machineIs64Bit;
        config_.SetMachineIs64BitProbe(&Probe);
        return config_.LoadProject(WriteProject(body));
    }

    TempFolder dir_;
    CSetupConfig config_;
};

std::wstring Repeat(size_t count) {
    return std::wstring(count, L'a');
}

TEST_F(SetupProject, ReadsMainRegistryAndApplication) {
    std::wstring file = WriteProject(
        L"<Application MainApp=\"kestiwp.exe\"/>"
        L"<RegAppPath HKEY=\"hkey_current_user\" SubKey=\"Software\\\\Kesti\" Value=\"Path\"/>"
        L"<FileList File=\"files.xml\" FileCount=\"0x10\"/>",
        L"<Main Version=\"3.4\" MinimizeSpace=\" 300\"/>");
    ASSERT_TRUE(config_.LoadProject(file));
    wchar_t text[260];
    EXPECT_TRUE(config_.GetVersion(text, 260));
    EXPECT_STREQ(text, L"3.4");
    EXPECT_EQ(config_.GetMinimizeSpace(), 300);
    EXPECT_TRUE(config_.GetMainApp(text, 260));
    EXPECT_STREQ(text, L"kestiwp.exe");
    EXPECT_EQ(config_.GetRegRoot(), HKEY_CURRENT_USER);
    EXPECT_TRUE(config_.GetRegSubKey(text, 260));
    EXPECT_STREQ(text, L"Software\\\\Kesti");  // stored text, backslashes not unescaped
    EXPECT_TRUE(config_.GetRegValue(text, 260));
    EXPECT_STREQ(text, L"Path");
    EXPECT_EQ(config_.GetFileCount(), 16);
    EXPECT_EQ(config_.GetFileListPath(), dir_ / L"files.xml");
    EXPECT_EQ(config_.GetRootDirListPath(), dir_ / L"roots.xml");
    EXPECT_EQ(config_.GetRootDirList()->GetCount(), 2);
    EXPECT_TRUE(config_.GetRootDirList()->Contains(L"uninstall.exe"));
    // Never read by the uninstaller.
    EXPECT_EQ(config_.GetCheckFileCount(), 0);
    EXPECT_EQ(config_.GetCallOnInstallCount(), 0);
}

TEST_F(SetupProject, MissingAttributesKeepTheirDefaults) {
    std::wstring file = WriteProject(L"<RegAppPath/><FileList File=\"f.xml\" FileCount=\"\"/>",
                                     L"<Main MinimizeSpace=\"\"/>");
    ASSERT_TRUE(config_.LoadProject(file));
    EXPECT_EQ(config_.GetMinimizeSpace(), 100);
    EXPECT_EQ(config_.GetFileCount(), 200);
    EXPECT_EQ(config_.GetRegRoot(), HKEY_LOCAL_MACHINE);
    wchar_t text[8] = L"junk";
    EXPECT_TRUE(config_.GetVersion(text, 8));
    EXPECT_STREQ(text, L"");
}

TEST_F(SetupProject, ReadsCloseProgramsWithTheirRules) {
    ASSERT_TRUE(
        Load(L"<CloseAllPrograms>"
             L"<Program WindowClass=\"NoMessage\"/>"
             L"<Program WindowClass=\"Cmd\" Message=\"WM_COMMAND\" WPARAM=\"0x9C4B\" "
             L"LPARAM=\"102\" Timeout=\"500\"/>"
             L"<Program WindowClass=\"Lower\" Message=\"wm_close\" WPARAM=\"\" "
             L"Timeout=\"abc\"/>"
             L"<Program WindowClass=\"" +
             Repeat(195) +
             L"\" Message=\"WM_QUIT\"/>"
             L"<Program WindowClass=\"" +
             Repeat(196) +
             L"\"/>"
             L"</CloseAllPrograms>"));
    struct Expected {
        std::wstring windowClass;
        int message, wParam, lParam, timeout;
    } const kExpected[] = {
        {L"NoMessage", WM_CLOSE, 0x168, 0x168, 2000},
        {L"Cmd", WM_COMMAND, 40011, 102, 500},
        {L"Lower", WM_CLOSE, 0x168, 0x168, 0},
        {Repeat(195), WM_QUIT, 0x168, 0x168, 2000},  // 196 characters: skipped
    };
    ASSERT_EQ(config_.GetCloseProgramCount(), 4);
    for (int i = 0; i < 4; ++i) {
        CloseProgramRecord record;
        ASSERT_TRUE(config_.GetCloseProgram(i, &record));
        const Expected& e = kExpected[i];
        EXPECT_EQ(record.windowClass, e.windowClass) << i;
        EXPECT_EQ(record.message, e.message) << i;
        EXPECT_EQ(record.wParam, e.wParam) << i;
        EXPECT_EQ(record.lParam, e.lParam) << i;
        EXPECT_EQ(record.timeout, e.timeout) << i;
    }
}

TEST_F(SetupProject, DropsOnlyTheCallWithATooLongText) {
    const wchar_t* kAttributes[] = {L"FileName", L"Type",    L"FuncName",
                                    L"Para",     L"Cmdline", L"SignType"};
    for (const wchar_t* attribute : kAttributes) {
        SCOPED_TRACE(attribute);
        CSetupConfig config;
        std::wstring a = attribute;
        std::wstring file = WriteProject(
            L"<CallProgramOnUninst>"
            L"<Program FileName=\"first.exe\" Type=\"exe\" WaitTime=\"100\"/>"
            L"<Program " +
            a + L"=\"" + Repeat(260) +
            L"\"/>"
            L"<Program " +
            a + L"=\"" + Repeat(259) +
            L"\" Sync=\"0\"/>"
            L"</CallProgramOnUninst>");
        ASSERT_TRUE(config.LoadProject(file));
        ASSERT_EQ(config.GetCallOnUninstallCount(), 2);
        CallProgramRecord first;
        ASSERT_TRUE(config.GetCallOnUninstall(0, &first));
        EXPECT_STREQ(first.fileName, L"first.exe");
        EXPECT_STREQ(first.type, L"exe");
        EXPECT_EQ(first.waitTime, 100);
        EXPECT_EQ(first.sync, 1);
        CallProgramRecord second;
        ASSERT_TRUE(config.GetCallOnUninstall(1, &second));
        EXPECT_EQ(second.sync, 0);
        EXPECT_EQ(wcslen(second.fileName) + wcslen(second.type) + wcslen(second.funcName) +
                      wcslen(second.para) + wcslen(second.cmdline) + wcslen(second.signType),
                  259u);
    }
}

TEST_F(SetupProject, KeepsTheRundllItemsOfTheRunningArchitecture) {
    const std::wstring kItems =
        L"<RundllUnRegisterOnUnInst>"
        L"<Item FileName=\"x32.dll\" System=\"32\" Entry=\"E\" Cmdline=\"--c\" WaitTime=\"5000\"/>"
        L"<Item FileName=\"x64.dll\" System=\"64\"/>"
        L"<Item FileName=\"any.dll\"/>"
        L"<Item FileName=\"x86.dll\" System=\"86\"/>"
        L"<Item FileName=\"blank.dll\" System=\"\"/>"
        L"<Item FileName=\"" +
        Repeat(260) +
        L"\"/>"
        L"<Item FileName=\"" +
        Repeat(259) +
        L"\"/>"
        L"</RundllUnRegisterOnUnInst>";
    struct Case {
        bool is64;
        std::vector<std::wstring> kept;
    } const kCases[] = {
        {false, {L"x32.dll", L"any.dll", Repeat(259)}},
        {true, {L"x64.dll", L"any.dll", Repeat(259)}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.is64 ? "64-bit machine" : "32-bit machine");
        CSetupConfig config;
        Is64 = c.is64;
        config.SetMachineIs64BitProbe(&Probe);
        ASSERT_TRUE(config.LoadProject(WriteProject(kItems)));
        ASSERT_EQ(config.GetRundllItemCount(), static_cast<int>(c.kept.size()));
        for (size_t i = 0; i < c.kept.size(); ++i) {
            RundllRecord record;
            ASSERT_TRUE(config.GetRundllItem(static_cast<int>(i), &record));
            EXPECT_EQ(record.fileName, c.kept[i]);
        }
    }
    RundllRecord first;
    Is64 = false;
    ASSERT_TRUE(Load(kItems));
    ASSERT_TRUE(config_.GetRundllItem(0, &first));
    EXPECT_STREQ(first.entry, L"E");
    EXPECT_STREQ(first.cmdline, L"--c");
    EXPECT_EQ(first.waitTime, 5000);
}

TEST_F(SetupProject, TextGettersNeedRoomForTheTerminator) {
    ASSERT_TRUE(
        Load(L"<Application MainApp=\"kestiwp.exe\"/>"
             L"<RegAppPath SubKey=\"Soft\" Value=\"Path\"/>"));
    using Getter = bool (CSetupConfig::*)(wchar_t*, int) const;
    struct Case {
        const char* name;
        Getter getter;
        std::wstring text;
    } const kCases[] = {
        {"GetVersion", &CSetupConfig::GetVersion, L"1.2.1.8888"},
        {"GetMainApp", &CSetupConfig::GetMainApp, L"kestiwp.exe"},
        {"GetRegSubKey", &CSetupConfig::GetRegSubKey, L"Soft"},
        {"GetRegValue", &CSetupConfig::GetRegValue, L"Path"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        int length = static_cast<int>(c.text.size());
        wchar_t buffer[64];
        wmemset(buffer, L'#', 64);
        EXPECT_FALSE((config_.*c.getter)(buffer, length));
        EXPECT_EQ(buffer[0], L'\0');
        EXPECT_TRUE((config_.*c.getter)(buffer, length + 1));
        EXPECT_EQ(buffer, c.text);
        EXPECT_FALSE((config_.*c.getter)(nullptr, 64));
    }
}

TEST_F(SetupProject, RecordGettersOutOfRangeZeroTheRecord) {
    ASSERT_TRUE(
        Load(L"<CloseAllPrograms><Program WindowClass=\"W\"/></CloseAllPrograms>"
             L"<CallProgramOnUninst><Program FileName=\"a.exe\"/></CallProgramOnUninst>"));
    for (int index : {-1, 1}) {
        CloseProgramRecord close;
        memset(&close, 0x5A, sizeof(close));
        EXPECT_FALSE(config_.GetCloseProgram(index, &close));
        EXPECT_EQ(close.windowClass[0], L'\0');
        EXPECT_EQ(close.message, 0);
        CallProgramRecord call;
        memset(&call, 0x5A, sizeof(call));
        EXPECT_FALSE(config_.GetCallOnUninstall(index, &call));
        EXPECT_EQ(call.fileName[0], L'\0');
        EXPECT_EQ(call.sync, 0);
        EXPECT_FALSE(config_.GetCallOnInstall(0, &call));
        wchar_t text[8] = L"junk";
        EXPECT_FALSE(config_.GetCheckFile(0, text, 8));
        EXPECT_EQ(text[0], L'\0');
    }
    EXPECT_FALSE(config_.GetCloseProgram(0, nullptr));
}

TEST_F(SetupProject, RefusesProjectsItCannotUse) {
    struct Case {
        const char* what;
        std::wstring text;  // empty: the project file is not written
    } const kCases[] = {
        {"no Main element", L"<Setup><UninstallRootDirFileList File=\"roots.xml\"/></Setup>"},
        {"root list missing",
         L"<Setup><Main/><UninstallRootDirFileList File=\"nope.xml\"/></Setup>"},
        {"no root list element", L"<Setup><Main/></Setup>"},
        {"malformed XML", L"<Setup><Main><UninstallRootDirFileList File=\"roots.xml\"/></Setup>"},
        {"not XML at all", L"\x7F\x00garbage"},
        {"file missing", L""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        std::wstring file = dir_ / L"refused.vrnprj";
        DeleteFileW(file.c_str());
        if (!c.text.empty()) {
            ASSERT_TRUE(WriteUtf16File(file, c.text));
        }
        CSetupConfig config;
        EXPECT_FALSE(config.LoadProject(file));
    }
    // A path of 512 characters or more is refused before anything is opened.
    CSetupConfig config;
    EXPECT_FALSE(config.LoadProject(dir_.Path() + L"\\" + std::wstring(520, L'p')));
}

TEST_F(SetupProject, FailsWithoutTheDomDocument) {
    std::wstring file = WriteProject(L"");
    // A thread that never initialised COM cannot create the document, as on a system without
    // MSXML.
    bool loaded = true;
    std::thread([&] { loaded = CSetupConfig().LoadProject(file); }).join();
    EXPECT_FALSE(loaded);
    EXPECT_TRUE(CSetupConfig().LoadProject(file));
}

}  // namespace
