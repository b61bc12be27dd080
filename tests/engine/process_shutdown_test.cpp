#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "base/handle.h"
#include "base/path.h"
#include "engine/process_shutdown.h"
#include "engine_test_util.h"

namespace {

constexpr char kChildVariable[] = "ENGINE_TEST_CHILD";

// A copy of this test program, started in a child role (see ChildRole below).
class Child {
  public:
    Child(const std::wstring& image, const wchar_t* role) {
        std::wstring source = path::ModulePath();
        CreateDirectoryW(path::DirName(image).c_str(), nullptr);
        CopyFileW(source.c_str(), image.c_str(), FALSE);
        SetEnvironmentVariableW(L"ENGINE_TEST_CHILD", role);
        std::wstring commandLine = L"\"" + image + L"\" --gtest_filter=ChildRole.*";
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                           CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
            process_.Reset(process.hProcess);
            CloseHandle(process.hThread);
        }
        SetEnvironmentVariableW(L"ENGINE_TEST_CHILD", nullptr);
        Sleep(300);  // until the image is mapped and listed
    }
    ~Child() {
        if (Running())
            TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), 5000);
    }
    bool Started() const { return process_.IsValid(); }
    bool Running() const { return WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    DWORD ExitCode(DWORD waitMs) const {
        WaitForSingleObject(process_.Get(), waitMs);
        DWORD code = 0;
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }

  private:
    base::UniqueHandle process_;
};

}  // namespace

// The roles a child copy plays; in a normal run the variable is unset and this does nothing.
TEST(ChildRole, Run) {
    const char* role = getenv(kChildVariable);
    if (!role)
        return;
    if (std::string(role) == "sleep")
        Sleep(60000);
    if (std::string(role) == "kill-own-folder") {
        engine::KillMultiProcesses(path::ModuleDir().c_str());
        _exit(7);  // still alive: the own process was spared
    }
    if (std::string(role) == "parent-of-killer") {
        // Starts a second copy from the same folder that kills by the folder, and outlives it.
        Child killer(path::Join(path::ModuleDir(), L"killer.exe"), L"kill-own-folder");
        _exit(killer.ExitCode(20000) == 7 ? 9 : 8);
    }
}

TEST(KillMultiProcesses, KillsBelowTheFolderOnlyAndSparesTheIgnoredImage) {
    engine_test::TempFolder folder;
    std::wstring installDir = path::Join(folder.Path(), L"Wp");
    Child inside(path::Join(installDir, L"kestiwp.exe"), L"sleep");
    Child nested(path::Join(installDir, L"Utils\\helper.exe"), L"sleep");
    Child sibling(path::Join(folder.Path(), L"WpOld\\x.exe"), L"sleep");
    Child ignored(path::Join(installDir, L"VorIva\\VorIva.exe"), L"sleep");
    ASSERT_TRUE(inside.Started() && nested.Started() && sibling.Started() && ignored.Started());

    int killed = -1;
    EXPECT_EQ(engine::KillMultiProcesses(installDir.c_str(), &killed), 0);
    EXPECT_EQ(killed, 2);
    EXPECT_FALSE(inside.Running());
    EXPECT_FALSE(nested.Running());
    EXPECT_TRUE(sibling.Running());
    EXPECT_TRUE(ignored.Running());
}

TEST(KillMultiProcesses, RefusesFoldersThatAreNotTheProducts) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring root = std::wstring(windows).substr(0, 3);
    for (const std::wstring& dir : {root, std::wstring(windows), path::TempDir()}) {
        int killed = -1;
        engine::KillMultiProcesses(dir.c_str(), &killed);
        EXPECT_EQ(killed, 0);
    }
}

TEST(KillMultiProcesses, NeverKillsTheCallingProcess) {
    engine_test::TempFolder folder;
    std::wstring installDir = path::Join(folder.Path(), L"Wp");
    Child neighbour(path::Join(installDir, L"kestipendant.exe"), L"sleep");
    Child self(path::Join(installDir, L"Uninstall.exe"), L"kill-own-folder");
    ASSERT_TRUE(self.Started());
    EXPECT_EQ(self.ExitCode(20000), 7u);
    EXPECT_FALSE(neighbour.Running());
}

TEST(KillMultiProcesses, NeverKillsTheCallersParent) {
    engine_test::TempFolder folder;
    Child parent(path::Join(folder.Path(), L"Wp\\Uninstall.exe"), L"parent-of-killer");
    ASSERT_TRUE(parent.Started());
    EXPECT_EQ(parent.ExitCode(30000), 9u);
}

TEST(KillProcessByPath, KillsTheExactImageOnly) {
    engine_test::TempFolder folder;
    std::wstring target = path::Join(folder.Path(), L"Wp\\kestiwp.exe");
    Child exact(target, L"sleep");
    Child other(path::Join(folder.Path(), L"Wp\\kestiwp.exe.bak"), L"sleep");
    ASSERT_TRUE(exact.Started() && other.Started());
    engine::KillProcessByPath(target.c_str());
    EXPECT_FALSE(exact.Running());
    EXPECT_TRUE(other.Running());
}

TEST(GetProcessImagePath, ReadsTheLongPathAndRefusesSmallBuffers) {
    wchar_t buffer[1024] = {};
    int length = engine::GetProcessImagePath(GetCurrentProcessId(), buffer, 1024);
    EXPECT_GT(length, 0);
    EXPECT_TRUE(_wcsicmp(buffer, path::ModulePath().c_str()) == 0 ||
                wcsstr(buffer, L"engine_unit_tests") != nullptr);
    EXPECT_EQ(engine::GetProcessImagePath(GetCurrentProcessId(), buffer, 99), 0);
}
