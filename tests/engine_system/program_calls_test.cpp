// The product's own clean-up calls: DLL exports and programs, their arguments, waits and
// signature checks, with the fake product's binaries (signed and unsigned twins) that record
// every call they get.
#include <gtest/gtest.h>

#include <fstream>

#include "base/path.h"
#include "config/setup_config.h"
#include "engine/process_shutdown.h"
#include "engine/program_calls.h"
#include "engine/uninstall_registry.h"
#include "tests/engine_system/test_support.h"

namespace {

constexpr wchar_t kSigned[] = L"fixture_dll.dll";
constexpr wchar_t kUnsigned[] = L"fixture_dll_unsigned.dll";
constexpr wchar_t kSignedInterface[] = L"fixture_interface_dll.dll";
constexpr wchar_t kUnsignedInterface[] = L"fixture_interface_dll_unsigned.dll";
constexpr wchar_t kSignedProgram[] = L"fixture_program.exe";
constexpr wchar_t kUnsignedProgram[] = L"fixture_program_unsigned.exe";
constexpr wchar_t kRunListKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kestiwp.exe\\run_list";
constexpr wchar_t kPluginKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\REVIzuduzodoZeravo.exe";

void WriteUtf16(const std::wstring& path, const std::wstring& text) {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write("\xFF\xFE", 2);
    out.write(reinterpret_cast<const char*>(text.data()),
              static_cast<std::streamsize>(text.size() * sizeof(wchar_t)));
}

bool MachineIs64Bit() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// A setup project with the given program and rundll elements, loaded the way the uninstaller
// loads its own.
class Project {
  public:
    Project(const test::TempFolder& folder, const std::wstring& elements) {
        // The project is read through MSXML, a COM class.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::wstring dir = folder.Dir(L"project");
        WriteUtf16(path::Join(dir, L"roots.xml"),
                   L"<RootDirFiles><Dir><Item Name=\"lpi\"/></Dir><File/></RootDirFiles>");
        WriteUtf16(path::Join(dir, L"p.vrnprj"),
                   L"<Setup><Main Version=\"1.0\"/><UninstallRootDirFileList "
                   L"File=\"roots.xml\"/>" +
                       elements + L"</Setup>");
        config_.SetMachineIs64BitProbe(&MachineIs64Bit);
        loaded_ = config_.LoadProject(path::Join(dir, L"p.vrnprj"));
    }
    ~Project() { CoUninitialize(); }
    bool Loaded() const { return loaded_; }
    CSetupConfig& Config() { return config_; }

  private:
    CSetupConfig config_;
    bool loaded_ = false;
};

// ---- DLL calls ---------------------------------------------------------------------------

TEST(CallDllExport, CallsTheExportWithItsArgumentOnlyWhenTheCheckAllows) {
    struct Case {
        const wchar_t* binary;
        bool verify;
        bool called;
    } cases[] = {
        {kUnsigned, false, true},
        {kUnsigned, true, false},
        {kSigned, true, true},
    };
    for (const Case& c : cases) {
        test::TempFolder install;
        std::wstring dll = path::Join(install.Path(), L"lpi\\KsSvc.dll");
        test::CopyFixture(c.binary, dll);
        test::CallLog calls;
        test::CapturedLog log;

        engine::CallDllExport(dll, "DS", L"argument one", c.verify);

        SCOPED_TRACE(testing::PrintToString(c.binary));
        EXPECT_EQ(calls.Count(L"dll", {dll, L"DS", L"argument one"}), c.called ? 1 : 0);
        EXPECT_EQ(log.Contains(L"call dll func start, path=[" + dll + L"]"), c.called);
        EXPECT_EQ(log.Contains(L"call dll fun end, path=[" + dll + L"]"), c.called);
        EXPECT_EQ(log.Contains(L"file[" + dll + L"] check sign fail."), !c.called);
    }
}

TEST(CallDllExport, AMissingExportOrModuleCallsNothing) {
    test::TempFolder install;
    std::wstring dll = path::Join(install.Path(), L"x.dll");
    test::CopyFixture(kUnsigned, dll);
    test::CallLog calls;
    test::CapturedLog log;
    engine::CallDllExport(dll, "NoSuchExport", L"", false);
    engine::CallDllExport(path::Join(install.Path(), L"missing.dll"), "DS", L"", false);
    EXPECT_EQ(calls.Count(L"dll"), 0);
    EXPECT_FALSE(log.Contains(L"call dll func start"));
}

TEST(CallDllExport, AFaultInsideTheModuleIsSurvivedAndLogged) {
    test::TempFolder install;
    std::wstring dll = path::Join(install.Path(), L"lpi\\broken.dll");
    test::CopyFixture(kUnsigned, dll);
    test::CallLog calls;
    test::CapturedLog log;

    engine::CallDllExport(dll, "Fault", L"x", false);
    engine::CallDllExport(dll, "DS", L"after", false);

    EXPECT_TRUE(log.Contains(L"call dll func fault, path=[" + dll + L"]"));
    EXPECT_EQ(calls.Count(L"dll", {dll, L"DS", L"after"}), 1);
}

TEST(CallDllInterfaceEx, AFaultInsideTheModuleGivesAnEmptyAnswer) {
    test::TempFolder install;
    std::wstring dll = path::Join(install.Path(), L"plugin\\broken.dll");
    test::CopyFixture(kUnsignedInterface, dll);
    test::CapturedLog log;

    EXPECT_EQ(engine::CallDllInterfaceEx(dll, "Uninst", L"fault", false), L"");
    EXPECT_EQ(engine::CallDllInterfaceEx(dll, "Uninst", L"then", false), L"done:then");
    EXPECT_TRUE(log.Contains(L"call dll func fault, path=[" + dll + L"]"));
}

TEST(CallDllInterfaceEx, AsksTwiceAndReturnsTheWholeAnswer) {
    struct Case {
        const wchar_t* argument;
        std::wstring answer;
    } cases[] = {
        {L"abc", L"done:abc"},
        {L"long", L"done:long" + std::wstring(300, L'x')},
    };
    for (const Case& c : cases) {
        test::TempFolder install;
        std::wstring dll = path::Join(install.Path(), L"plugin\\p.dll");
        test::CopyFixture(kUnsignedInterface, dll);
        test::CallLog calls;
        test::CapturedLog log;

        std::wstring result = engine::CallDllInterfaceEx(dll, "Uninst", c.argument, false);

        EXPECT_EQ(result, c.answer);
        // Record: dllex, module, export, argument, capacity.
        std::vector<std::wstring> capacities;
        for (const auto& fields : calls.Records()) {
            if (fields.size() == 5 && fields[0] == L"dllex" && fields[1] == dll &&
                fields[3] == c.argument)
                capacities.push_back(fields[4]);
        }
        EXPECT_EQ(capacities,
                  (std::vector<std::wstring>{L"260", std::to_wstring(c.answer.size() + 1)}));
        EXPECT_TRUE(log.Contains(L"Call Dll Interface Ex ,path=[" + dll + L"]"));
    }
}

TEST(CallDllInterfaceEx, AnUnsignedModuleIsNotLoadedWhenChecked) {
    test::TempFolder install;
    std::wstring dll = path::Join(install.Path(), L"p.dll");
    test::CopyFixture(kUnsignedInterface, dll);
    test::CallLog calls;
    test::CapturedLog log;
    EXPECT_EQ(engine::CallDllInterfaceEx(dll, "Uninst", L"a", true), L"");
    EXPECT_EQ(calls.Count(L"dllex"), 0);
    EXPECT_TRUE(log.Contains(L"file[" + dll + L"] check sign fail"));
}

// ---- programs ----------------------------------------------------------------------------

TEST(RunExe, StartsAndWaitsOnlyWhenTheCheckAllows) {
    struct Case {
        const wchar_t* binary;
        bool verify;
        bool started;
    } cases[] = {
        {kUnsignedProgram, false, true},
        {kUnsignedProgram, true, false},
        {kSignedProgram, true, true},
    };
    for (const Case& c : cases) {
        test::TempFolder install;
        std::wstring exe = path::Join(install.Path(), L"update\\tool.exe");
        test::CopyFixture(c.binary, exe);
        test::CallLog calls;
        test::CapturedLog log;

        engine::RunExe(exe, L"--first \"two words\"", c.verify, true, 30000);

        SCOPED_TRACE(testing::PrintToString(c.binary));
        // Waiting means the program has recorded its start by the time RunExe returns.
        EXPECT_EQ(calls.Count(L"exe", {exe, L"--first \"two words\""}), c.started ? 1 : 0);
        EXPECT_TRUE(
            log.Contains(L"call exe begin, path=[" + exe + L"] cmd=[--first \"two words\"]"));
        EXPECT_TRUE(log.Contains(L"call exe return [" + std::to_wstring(c.started ? 1 : 0) +
                                 L"], path=[" + exe + L"], cmd=[--first \"two words\"], sync[1]"));
    }
}

TEST(RunExe, AMissingProgramIsNotEvenLogged) {
    test::TempFolder install;
    test::CapturedLog log;
    engine::RunExe(path::Join(install.Path(), L"missing.exe"), L"", false, true, 1000);
    EXPECT_FALSE(log.Contains(L"call exe"));
}

TEST(RunExe, AProgramAlreadyRunningFromThePathIsKilledFirst) {
    test::TempFolder install;
    std::wstring exe = path::Join(install.Path(), L"tool.exe");
    std::wstring other = path::Join(install.Path(), L"other\\tool.exe");
    test::CopyFixture(kUnsignedProgram, exe);
    test::CopyFixture(kUnsignedProgram, other);
    test::CallLog calls;
    std::vector<PROCESS_INFORMATION> running;
    for (const auto& image : {exe, other}) {
        std::wstring commandLine = L"\"" + image + L"\" --fixture-stay";
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &startup, &process));
        running.push_back(process);
    }
    for (int i = 0; i < 100 && calls.Count(L"ready") < 2; ++i)
        Sleep(100);

    engine::RunExe(exe, L"--again", false, true, 30000);

    EXPECT_EQ(WaitForSingleObject(running[0].hProcess, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(running[1].hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(calls.Count(L"exe", {exe, L"--again"}), 1);
    for (auto& process : running) {
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

// ---- the setup project's calls -------------------------------------------------------------

TEST(CallUninstallPrograms, CallsEachItemAfterItsCheckInFileOrder) {
    test::TempFolder install;
    test::CopyFixture(kSigned, path::Join(install.Path(), L"lpi\\KsSvc.dll"));
    test::CopyFixture(kUnsigned, path::Join(install.Path(), L"lpi\\Unsigned.dll"));
    test::CopyFixture(kSigned, path::Join(install.Path(), L"lpi\\Stranger.dll"));
    test::CopyFixture(kSignedProgram, path::Join(install.Path(), L"bin\\tool.exe"));
    Project project(
        install,
        L"<CallProgramOnUninst>"
        L"<Program FileName=\"lpi\\KsSvc.dll\" Type=\"dll\" FuncName=\"DS\" Para=\"p1\"/>"
        L"<Program FileName=\"lpi\\Unsigned.dll\" Type=\"dll\" FuncName=\"DS\"/>"
        L"<Program FileName=\"lpi\\Stranger.dll\" Type=\"DLL\" FuncName=\"DS\" "
        L"SignType=\"Nobody Ltd\"/>"
        L"<Program FileName=\"lpi\\Missing.dll\" Type=\"dll\" FuncName=\"DS\"/>"
        L"<Program FileName=\"bin\\tool.exe\" Type=\"EXE\" Cmdline=\"--c1\" "
        L"WaitTime=\"70000\"/>"
        L"<Program FileName=\"lpi\\KsSvc.dll\" Type=\"ocx\" FuncName=\"DS\" Para=\"p2\"/>"
        L"</CallProgramOnUninst>");
    ASSERT_TRUE(project.Loaded());
    test::CallLog calls;
    test::CapturedLog log;

    engine::CallUninstallPrograms(project.Config(), install.Path());

    std::wstring dir = install.Path();
    EXPECT_EQ(calls.Count(L"dll", {dir + L"\\lpi\\KsSvc.dll", L"DS", L"p1"}), 1);
    EXPECT_EQ(calls.Count(L"dll"), 1);  // neither the unsigned, the stranger's nor the "ocx"
    EXPECT_EQ(calls.Count(L"exe", {dir + L"\\bin\\tool.exe", L"--c1"}), 1);
    EXPECT_TRUE(
        log.Contains(L"check sign fail, signType[], filepath[" + dir + L"\\lpi\\Unsigned.dll]"));
    EXPECT_TRUE(log.Contains(L"check sign fail, signType[Nobody Ltd], filepath[" + dir +
                             L"\\lpi\\Stranger.dll]"));
    EXPECT_TRUE(log.Contains(L"file[" + dir + L"\\lpi\\Missing.dll] is not exist"));
    EXPECT_TRUE(log.Contains(L"sync[1]"));
}

TEST(UninstallProgramWait, NeverMoreThanFiftySeconds) {
    struct Case {
        int waitTime;
        DWORD wait;
    } cases[] = {{0, 50000},     {-1, 50000},    {1, 1},        {1500, 1500},
                 {50000, 50000}, {50001, 50000}, {70000, 50000}};
    for (const Case& c : cases)
        EXPECT_EQ(engine::UninstallProgramWait(c.waitTime), c.wait) << c.waitTime;
}

TEST(CallUninstallPrograms, AProgramThatOutlivesItsWaitIsLeftRunning) {
    test::TempFolder install;
    std::wstring exe = path::Join(install.Path(), L"bin\\slow.exe");
    test::CopyFixture(kSignedProgram, exe);
    Project project(install,
                    L"<CallProgramOnUninst><Program FileName=\"bin\\slow.exe\" "
                    L"Type=\"exe\" Cmdline=\"--fixture-stay\" WaitTime=\"1500\"/>"
                    L"</CallProgramOnUninst>");
    ASSERT_TRUE(project.Loaded());
    test::CallLog calls;

    ULONGLONG start = GetTickCount64();
    engine::CallUninstallPrograms(project.Config(), install.Path());
    ULONGLONG elapsed = GetTickCount64() - start;

    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 20000u);
    // Still running: the wait only ends the waiting.
    EXPECT_EQ(calls.Count(L"ready", {exe}), 1);
    engine::KillProcessByPath(exe.c_str());
    Sleep(500);
}

TEST(CallRundllItems, RunsTheSignedLauncherWithEachItem) {
    const wchar_t* launcherName = MachineIs64Bit() ? L"Utils\\rundll64.exe" : L"Utils\\rundll.exe";
    const wchar_t* system = MachineIs64Bit() ? L"64" : L"32";
    struct Case {
        const wchar_t* launcher;
        int runs;
    } cases[] = {{kSignedProgram, 1}, {kUnsignedProgram, 0}};
    for (const Case& c : cases) {
        test::TempFolder install;
        std::wstring launcher = path::Join(install.Path(), launcherName);
        test::CopyFixture(c.launcher, launcher);
        std::wstring dll = path::Join(install.Path(), L"Utils\\VRNShellExt.dll");
        test::CopyFixture(kUnsigned, dll);
        Project project(install, std::wstring(L"<RundllUnRegisterOnUnInst>") +
                                     L"<Item FileName=\"Utils\\VRNShellExt.dll\" System=\"" +
                                     system +
                                     L"\" Entry=\"ShellOpen_Varnel32W\" "
                                     L"Cmdline=\"--verb=UnInstall\" WaitTime=\"5000\"/>"
                                     L"<Item FileName=\"Utils\\Missing.dll\" Entry=\"E\"/>"
                                     L"</RundllUnRegisterOnUnInst>");
        ASSERT_TRUE(project.Loaded());
        test::CallLog calls;
        test::CapturedLog log;

        engine::CallRundllItems(project.Config(), install.Path());

        EXPECT_EQ(calls.Count(L"exe", {launcher, L"--dll=\"" + dll +
                                                     L"\" --entry=ShellOpen_Varnel32W "
                                                     L"--verb=UnInstall"}),
                  c.runs);
        EXPECT_EQ(log.Contains(L"Missing.dll] is not exist"), c.runs == 1);
    }
}

TEST(CPluginTask, RunsTheLauncherOnlyWithAParameterAndALauncher) {
    test::ScopedKey pluginKey(HKEY_LOCAL_MACHINE, kPluginKey);
    if (pluginKey.Preexisting())
        GTEST_SKIP() << "the plug-in is installed on this machine";
    struct Case {
        const char* settings;
        bool withLauncher;
        const wchar_t* logLine;
    } cases[] = {
        {"[plugin_xd]\r\nuninstall_cmd_param=--remove-plugin\r\n", true,
         L"CPluginTask::StartTask result=1 code=0"},
        {"[plugin_xd]\r\nuninstall_cmd_param=--remove-plugin\r\n", false,
         L"CPluginTask::StartTask result=0 code=-1"},
        {"[plugin_xd]\r\nother=1\r\n", true, L"CPluginTask::StartTask result=0 code=-1"},
    };
    for (const Case& c : cases) {
        test::TempFolder install;
        install.File(L"config.set", c.settings);
        std::wstring launcher = path::Join(install.Path(), L"plugin\\launcher.exe");
        test::CopyFixture(kUnsignedProgram, launcher);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPluginKey, L"Launcher");
        if (c.withLauncher)
            pluginKey.SetString(L"Launcher", launcher);
        test::CallLog calls;
        test::CapturedLog log;

        engine::CPluginTask().StartTask(install.Path());

        EXPECT_TRUE(log.Contains(c.logLine)) << testing::PrintToString(c.logLine);
        EXPECT_EQ(calls.Count(L"exe", {launcher, L"--remove-plugin"}),
                  std::wstring(c.logLine).find(L"result=1") != std::wstring::npos ? 1 : 0);
    }
}

// ---- the product's registry lists --------------------------------------------------------

TEST(CallRunList, CallsEachListedModuleByItsKindAndHonoursRegtest) {
    test::ScopedKey list(HKEY_LOCAL_MACHINE, kRunListKey);
    if (list.Preexisting())
        GTEST_SKIP() << "the product is installed on this machine";
    test::TempFolder root;
    std::wstring dir = root.Dir(L"Wp");
    test::CopyFixture(kSignedProgram, dir + L"\\update\\clean.exe");
    test::CopyFixture(kSignedInterface, dir + L"\\plugin\\signed.dll");
    test::CopyFixture(kUnsignedInterface, dir + L"\\plugin\\unsigned.dll");
    test::CopyFixture(kUnsignedInterface, dir + L"\\plugin\\regtest.TPI");
    test::CopyFixture(kUnsignedInterface, root.Path() + L"\\outside.dll");
    test::CopyFixture(kSignedProgram, dir + L"\\update\\other.bat");
    list.SetString(L"update\\clean.exe", L"--mode=run");
    list.SetString(L"plugin\\signed.dll", L"sarg");
    list.SetString(L"plugin\\unsigned.dll", L"uarg");
    list.SetString(L"plugin\\regtest.TPI", L"targ /Regtest");
    list.SetString(L"..\\outside.dll", L"oarg /Regtest");
    list.SetString(L"update\\other.bat", L"barg");
    list.SetString(L"plugin\\missing.dll", L"marg");
    test::CallLog calls;
    test::CapturedLog log;

    engine::CallRunList(dir);

    EXPECT_EQ(
        calls.Count(L"exe", {dir + L"\\update\\clean.exe", L"--mode=run --PRODUCT=kesti --PID="}),
        1);
    EXPECT_EQ(calls.Count(L"dllex", {dir + L"\\plugin\\signed.dll", L"sarg"}), 2);
    EXPECT_EQ(calls.Count(L"dllex", {dir + L"\\plugin\\regtest.TPI", L"targ /Regtest"}), 2);
    EXPECT_EQ(calls.Count(L"dllex", {L"uarg"}), 0);
    EXPECT_EQ(calls.Count(L"dllex", {L"oarg"}), 0);
    EXPECT_EQ(calls.Count(L"exe", {L"barg"}), 0);
    EXPECT_TRUE(log.Contains(L"CallDllInterfaceEx return value=done:sarg"));
    EXPECT_TRUE(log.Contains(L"Regtest, no need to check sign."));
    EXPECT_TRUE(log.Contains(L"file extension:.TPI"));
    EXPECT_TRUE(
        log.Contains(L"call exe begin, path=[" + dir + L"\\update\\clean.exe] ,cmd=[--mode=run"));
    EXPECT_TRUE(log.Contains(L"refuse listed program outside the install folder: ..\\outside.dll"));
}

TEST(CallFilePe, CallsSignedDllsAndProgramsWithTheUninstallArguments) {
    test::ScopedKey list(HKEY_LOCAL_MACHINE, engine::kFilePeSubKey);
    if (list.Preexisting())
        GTEST_SKIP() << "the product is installed on this machine";
    test::TempFolder root;
    std::wstring dir = root.Dir(L"Wp");
    test::CopyFixture(kSigned, dir + L"\\lpi\\pe.dll");
    test::CopyFixture(kSignedProgram, dir + L"\\lpi\\pe.exe");
    test::CopyFixture(kUnsigned, dir + L"\\lpi\\unsigned.dll");
    list.SetString(L"lpi\\pe.dll", L"dll argument");
    list.SetString(L"lpi\\pe.exe", L"--exe-arg");
    list.SetString(L"lpi\\unsigned.dll", L"never");
    test::CallLog calls;
    test::CapturedLog log;

    engine::CallFilePe(dir);

    EXPECT_EQ(calls.Count(L"dll", {dir + L"\\lpi\\pe.dll", L"Uninst", L"dll argument"}), 1);
    EXPECT_EQ(calls.Count(L"exe", {dir + L"\\lpi\\pe.exe", L"--exe-arg /uninstall /product=bizhi"}),
              1);
    EXPECT_EQ(calls.Count(L"dll", {L"never"}), 0);
    EXPECT_TRUE(log.Contains(L"file[" + dir + L"\\lpi\\unsigned.dll] check sign fail."));
}

TEST(CallHelperUninst, CallsUninstOfTheSignedHelperWithAnEmptyText) {
    test::TempFolder install;
    std::wstring dll = install.Path() + L"\\wallpaperhelper\\Pelmora12.dll";
    test::CopyFixture(kSigned, dll);
    test::CallLog calls;
    engine::CallHelperUninst(install.Path());
    auto records = calls.Records();
    ASSERT_EQ(calls.Count(L"dll", {dll, L"Uninst"}), 1);
    for (const auto& fields : records) {
        if (!fields.empty() && fields[0] == L"dll") {
            EXPECT_EQ(fields.back(), L"");
        }
    }
}

}  // namespace
