// The product's traces outside its install folder: services, autorun values and task, shortcuts,
// the uninstall entry, registered files and the legacy uninstaller.
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <taskschd.h>

#include "base/com_ptr.h"
#include "base/path.h"
#include "engine/autorun.h"
#include "engine/services.h"
#include "engine/shortcuts.h"
#include "engine/uninstall_registry.h"
#include "tests/engine_system/test_support.h"

namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

bool IsWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// ---- names taken from registry lists --------------------------------------------------------

TEST(SafeRelativeName, AcceptsOnlyNamesThatStayInsideTheFolder) {
    struct Case {
        const wchar_t* name;
        bool safe;
    } cases[] = {
        {L"kestiwp.exe", true},
        {L"lpi\\KsSvc.dll", true},
        {L"a/b/c.txt", true},
        {L"name with blanks.dat", true},
        {L"..file", true},  // a name that starts with dots is still a name
        {L"", false},
        {L"..", false},
        {L"..\\outside.txt", false},
        {L"lpi\\..\\..\\outside.txt", false},
        {L"lpi/../../outside.txt", false},
        {L".\\kestiwp.exe", false},
        {L"lpi\\. .\\x", false},  // Windows drops trailing dots and blanks: this climbs
        {L"lpi\\...\\x", false},
        {L"\\Windows\\system32", false},
        {L"\\\\server\\share\\x", false},
        {L"C:\\Windows\\win.ini", false},
        {L"C:win.ini", false},
        {L"file.txt:stream", false},
        {L"*.dll", false},
        {L"lpi\\\\double", false},
        {L"trailing\\", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine::IsSafeRelativeName(c.name), c.safe) << testing::PrintToString(c.name);
    EXPECT_FALSE(engine::IsSafeRelativeName(std::wstring(MAX_PATH, L'a')));
}

// ---- services ----------------------------------------------------------------------------

class ServiceTest : public testing::Test {
  protected:
    static constexpr wchar_t kName[] = L"EngineSystemTestSvc";

    void SetUp() override {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr) << GetLastError();
    }
    void TearDown() override {
        SC_HANDLE service = OpenServiceW(manager_, kName, SERVICE_ALL_ACCESS);
        if (service) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager_);
    }
    bool Create() {
        std::wstring binary = L"\"" + test::FixtureBinary(L"fixture_program_unsigned.exe") + L"\"";
        SC_HANDLE service =
            CreateServiceW(manager_, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr,
                           nullptr, nullptr, nullptr, nullptr);
        if (!service)
            return false;
        CloseServiceHandle(service);
        return true;
    }
    bool Exists() {
        SC_HANDLE service = OpenServiceW(manager_, kName, SERVICE_QUERY_STATUS);
        if (!service)
            return false;
        CloseServiceHandle(service);
        return true;
    }

    SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceTest, StopOfAStoppedServiceFailsAndDeleteStillRemovesIt) {
    ASSERT_TRUE(Create()) << GetLastError();
    engine::ServiceController controller(kName);
    EXPECT_FALSE(controller.Stop());
    EXPECT_TRUE(controller.Delete());
    EXPECT_FALSE(Exists());
}

TEST_F(ServiceTest, AMissingServiceFailsQuietly) {
    engine::ServiceController controller(kName);
    EXPECT_FALSE(controller.Stop());
    EXPECT_FALSE(controller.Delete());
    EXPECT_FALSE(engine::StopAndDeleteService(kName));
}

TEST_F(ServiceTest, StopAndDeleteAnswersTheDeletion) {
    ASSERT_TRUE(Create()) << GetLastError();
    EXPECT_TRUE(engine::StopAndDeleteService(kName));
    EXPECT_FALSE(Exists());
}

// ---- autorun -----------------------------------------------------------------------------

TEST(Autorun, DeleteAutorunValueRemovesTheUserAndTheMachineValue) {
    const wchar_t kName[] = L"engine-system-test-autorun";
    test::ScopedKey user(HKEY_CURRENT_USER, engine::kRunKey);
    test::ScopedKey machine(HKEY_LOCAL_MACHINE, engine::kRunKey);
    user.SetString(kName, L"C:\\x.exe");
    machine.SetString(kName, L"C:\\x.exe");
    ASSERT_TRUE(test::ValueExists(HKEY_CURRENT_USER, engine::kRunKey, kName));
    ASSERT_TRUE(test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, kName));

    engine::Autorun autorun;
    EXPECT_EQ(autorun.DeleteAutorunValue(kName), 1);
    EXPECT_FALSE(test::ValueExists(HKEY_CURRENT_USER, engine::kRunKey, kName));
    EXPECT_FALSE(test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, kName));
    // Nothing left to delete is no failure.
    EXPECT_EQ(autorun.DeleteAutorunValue(kName), 1);
}

// Registers a task with a time trigger (a logon trigger needs more than every test system has).
bool RegisterTask(const wchar_t* name) {
    base::ComPtr<ITaskService> service;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITaskService, service.PutVoid())))
        return false;
    VARIANT empty;
    VariantInit(&empty);
    if (FAILED(service->Connect(empty, empty, empty, empty)))
        return false;
    base::ComPtr<ITaskFolder> root;
    BSTR rootPath = SysAllocString(L"\\");
    HRESULT hr = service->GetFolder(rootPath, root.Put());
    SysFreeString(rootPath);
    if (FAILED(hr))
        return false;
    std::wstring xml =
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
        L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
        L"<Triggers><TimeTrigger><StartBoundary>2030-01-01T00:00:00</StartBoundary>"
        L"</TimeTrigger></Triggers><Actions><Exec><Command>C:\\windows\\system32\\cmd.exe"
        L"</Command></Exec></Actions></Task>";
    BSTR taskName = SysAllocString(name);
    BSTR taskXml = SysAllocString(xml.c_str());
    VARIANT none;
    VariantInit(&none);
    base::ComPtr<IRegisteredTask> task;
    hr = root->RegisterTask(taskName, taskXml, TASK_CREATE_OR_UPDATE, none, none,
                            TASK_LOGON_INTERACTIVE_TOKEN, none, task.Put());
    SysFreeString(taskName);
    SysFreeString(taskXml);
    return SUCCEEDED(hr);
}

bool TaskExists(const wchar_t* name) {
    base::ComPtr<ITaskService> service;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITaskService, service.PutVoid())))
        return false;
    VARIANT empty;
    VariantInit(&empty);
    service->Connect(empty, empty, empty, empty);
    base::ComPtr<ITaskFolder> root;
    BSTR rootPath = SysAllocString(L"\\");
    service->GetFolder(rootPath, root.Put());
    SysFreeString(rootPath);
    if (!root)
        return false;
    base::ComPtr<IRegisteredTask> task;
    BSTR taskName = SysAllocString(name);
    HRESULT hr = root->GetTask(taskName, task.Put());
    SysFreeString(taskName);
    return SUCCEEDED(hr);
}

// Runs the task round trip on a thread of its own in the given apartment: the uninstall worker
// is single-threaded, but the task deletion must not depend on it.
struct TaskRoundTrip {
    DWORD apartment;
    bool registered = false;
    int firstAnswer = -1;
    bool goneAfter = false;
    int secondAnswer = -1;
};

DWORD WINAPI RunTaskRoundTrip(void* context) {
    auto* trip = static_cast<TaskRoundTrip*>(context);
    const wchar_t kName[] = L"engine-system-test-task";
    CoInitializeEx(nullptr, trip->apartment);
    trip->registered = RegisterTask(kName) && TaskExists(kName);
    engine::Autorun autorun;
    trip->firstAnswer = autorun.DeleteAutorunTask(kName);
    trip->goneAfter = !TaskExists(kName);
    trip->secondAnswer = autorun.DeleteAutorunTask(kName);
    CoUninitialize();
    return 0;
}

TEST(Autorun, DeleteAutorunTaskRemovesTheTaskAndAnswersOneForAMissingTask) {
    for (DWORD apartment : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
        TaskRoundTrip trip{apartment};
        HANDLE thread = CreateThread(nullptr, 0, RunTaskRoundTrip, &trip, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, 60000);
        CloseHandle(thread);
        SCOPED_TRACE(apartment);
        ASSERT_TRUE(trip.registered);
        EXPECT_EQ(trip.firstAnswer, 1);
        EXPECT_TRUE(trip.goneAfter);
        EXPECT_EQ(trip.secondAnswer, 1);
    }
}

TEST(Autorun, RemoveAutorunSwitchesTheSettingAndRemovesEveryValue) {
    test::ScopedKey user(HKEY_CURRENT_USER, engine::kRunKey);
    test::ScopedKey machine(HKEY_LOCAL_MACHINE, engine::kRunKey);
    if (test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, engine::kRunValueName))
        GTEST_SKIP() << "the product's own autorun is present on this machine";
    user.SetString(engine::kAutorunName, L"C:\\x.exe");
    machine.SetString(engine::kAutorunName, L"C:\\x.exe");
    machine.SetString(engine::kRunValueName, L"C:\\x.exe");
    HKEY key64 = nullptr;
    if (IsWow64() && RegCreateKeyExW(HKEY_LOCAL_MACHINE, engine::kRunKey, 0, nullptr, 0,
                                     KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key64,
                                     nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key64, engine::kRunValueName, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(L"C:\\x.exe"), 18);
        RegCloseKey(key64);
    }
    test::TempFolder install;
    std::wstring settings = install.File(L"config.set", "[auto_run]\r\nopen=1\r\n");
    test::CapturedLog log;

    engine::RemoveAutorun(install.Path());

    wchar_t open[8] = {};
    GetPrivateProfileStringW(L"auto_run", L"open", L"", open, 8, settings.c_str());
    EXPECT_STREQ(open, L"0");
    EXPECT_FALSE(test::ValueExists(HKEY_CURRENT_USER, engine::kRunKey, engine::kAutorunName));
    EXPECT_FALSE(test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, engine::kAutorunName));
    EXPECT_FALSE(test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, engine::kRunValueName));
    EXPECT_FALSE(test::ValueExists(HKEY_LOCAL_MACHINE, engine::kRunKey, engine::kRunValueName,
                                   KEY_WOW64_64KEY));
    EXPECT_TRUE(log.Contains(L"Delete AutoRun Registry, ret = 1"));
    EXPECT_TRUE(log.Contains(L"Delete AutoRun Task Schedule, ret = 1"));
}

TEST(Autorun, RemoveAutorunCreatesNoSettingsFile) {
    test::TempFolder install;
    engine::RemoveAutorun(install.Path());
    EXPECT_FALSE(path::Exists(path::Join(install.Path(), L"config.set")));
}

// ---- shortcuts ---------------------------------------------------------------------------

TEST(Shortcuts, DesktopLinksOfAllUsersAndTheUserGoAndOtherLinksStay) {
    std::vector<std::wstring> links;
    std::vector<std::wstring> others;
    for (int csidl : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY}) {
        std::wstring desktop = ShellFolder(csidl);
        ASSERT_FALSE(desktop.empty());
        std::wstring link = path::Join(desktop, engine::kShortcutFileName);
        if (path::Exists(link))
            GTEST_SKIP() << "the product's own shortcut is present on this machine";
        links.push_back(link);
        others.push_back(path::Join(desktop, L"engine-system-test-other.lnk"));
    }
    for (const auto& file : links) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_READONLY, nullptr);
        CloseHandle(h);
    }
    for (const auto& file : others)
        CloseHandle(
            CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    engine::RemoveDesktopShortcuts();

    for (const auto& file : links)
        EXPECT_FALSE(path::Exists(file)) << testing::PrintToString(file);
    for (const auto& file : others) {
        EXPECT_TRUE(path::Exists(file));
        DeleteFileW(file.c_str());
    }
}

TEST(Shortcuts, StartMenuFolderGoesWithEverythingInIt) {
    std::wstring folder =
        path::Join(ShellFolder(CSIDL_COMMON_PROGRAMS), engine::kStartMenuFolderName);
    if (path::Exists(folder))
        GTEST_SKIP() << "the product's own start-menu folder is present on this machine";
    std::wstring sibling = folder + L" Tools";  // shares the name's start, is not the product's
    SHCreateDirectoryExW(nullptr, path::Join(folder, L"sub").c_str(), nullptr);
    SHCreateDirectoryExW(nullptr, sibling.c_str(), nullptr);
    for (const auto& file : {path::Join(folder, L"a.lnk"), path::Join(folder, L"sub\\b.lnk"),
                             path::Join(sibling, L"c.lnk")})
        CloseHandle(
            CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    engine::RemoveStartMenuFolder();

    EXPECT_FALSE(path::Exists(folder));
    EXPECT_TRUE(path::Exists(path::Join(sibling, L"c.lnk")));
    DeleteFileW(path::Join(sibling, L"c.lnk").c_str());
    RemoveDirectoryW(sibling.c_str());
}

TEST(Shortcuts, AStartMenuFolderThatIsALinkGoesWithoutWhatItPointsTo) {
    std::wstring folder =
        path::Join(ShellFolder(CSIDL_COMMON_PROGRAMS), engine::kStartMenuFolderName);
    if (path::Exists(folder))
        GTEST_SKIP() << "the product's own start-menu folder is present on this machine";
    test::TempFolder user;
    std::wstring precious = user.File(L"letters\\letter.txt");
    if (!test::MakeJunction(folder, path::Join(user.Path(), L"letters")))
        GTEST_SKIP() << "junctions are not supported here";

    engine::RemoveStartMenuFolder();

    EXPECT_TRUE(path::Exists(precious));
    EXPECT_FALSE(path::Exists(folder));
    RemoveDirectoryW(folder.c_str());
}

// ---- uninstall entry, registered files, legacy uninstaller -------------------------------

TEST(UninstallRegistry, DeleteUninstallEntryRemovesTheKeyWithItsSubKeys) {
    if (test::KeyExists(HKEY_LOCAL_MACHINE, engine::kUninstallKey))
        GTEST_SKIP() << "the product's own uninstall entry is present on this machine";
    test::ScopedKey sibling(HKEY_LOCAL_MACHINE,
                            L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kestiwpx");
    {
        test::ScopedKey entry(HKEY_LOCAL_MACHINE, std::wstring(engine::kUninstallKey) + L"\\sub");
        entry.SetString(L"DisplayName", L"x");
        test::CapturedLog log;
        EXPECT_EQ(engine::DeleteUninstallEntry(), 1);
        EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, engine::kUninstallKey));
        EXPECT_TRUE(log.Contains(L"Delete uninstall registry"));
    }
    EXPECT_TRUE(test::KeyExists(
        HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kestiwpx"));
    EXPECT_EQ(engine::DeleteUninstallEntry(), 1);  // a missing entry is no error
}

class RegisteredFilesTest : public testing::Test {
  protected:
    const wchar_t* kListKey = L"SOFTWARE\\EngineSystemTests\\file_list";
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\EngineSystemTests"); }
};

TEST_F(RegisteredFilesTest, RemovesListedFilesAndFoldersAndRefusesNamesOutsideTheFolder) {
    test::TempFolder root;
    std::wstring install = root.Dir(L"Wp");
    std::wstring listedFile = root.File(L"Wp\\data\\listed.dat");
    std::wstring readOnly = root.File(L"Wp\\data\\readonly.dat");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    std::wstring listedTree = root.Dir(L"Wp\\cache\\deep\\deeper");
    root.File(L"Wp\\cache\\deep\\deeper\\x.bin");
    std::wstring kept = root.File(L"Wp\\data\\not_listed.dat");
    std::wstring outside = root.File(L"outside.txt");
    std::wstring sibling = root.File(L"WpOld\\user.txt");

    test::ScopedKey list(HKEY_LOCAL_MACHINE, kListKey);
    for (const wchar_t* name :
         {L"data\\listed.dat", L"\\data\\readonly.dat", L"cache", L"..\\outside.txt", L"..\\WpOld",
          L"missing.dat", L"C:\\Windows\\win.ini"})
        list.SetString(name, L"");
    test::CapturedLog log;
    std::vector<std::wstring> leftovers;

    engine::RemoveRegisteredFiles(install, kListKey, leftovers);

    EXPECT_FALSE(path::Exists(listedFile));
    EXPECT_FALSE(path::Exists(readOnly));
    EXPECT_FALSE(path::Exists(listedTree));
    EXPECT_FALSE(path::Exists(path::Join(install, L"cache")));
    EXPECT_TRUE(path::Exists(kept));
    EXPECT_TRUE(path::Exists(outside));
    EXPECT_TRUE(path::Exists(sibling));
    EXPECT_TRUE(leftovers.empty());
    EXPECT_EQ(log.Count(L"refuse registered file outside the install folder"), 3);
}

TEST_F(RegisteredFilesTest, LinksAreRemovedButNeverWalkedThrough) {
    test::TempFolder root;
    std::wstring install = root.Dir(L"Wp");
    std::wstring precious = root.File(L"user\\letter.txt");
    std::wstring link = path::Join(install, L"linked");
    if (!test::MakeJunction(link, path::Join(root.Path(), L"user")))
        GTEST_SKIP() << "junctions are not supported here";
    test::ScopedKey list(HKEY_LOCAL_MACHINE, kListKey);
    list.SetString(L"linked\\letter.txt", L"");
    list.SetString(L"linked", L"");
    test::CapturedLog log;
    std::vector<std::wstring> leftovers;

    engine::RemoveRegisteredFiles(install, kListKey, leftovers);

    EXPECT_TRUE(path::Exists(precious));
    EXPECT_FALSE(path::Exists(link));
    EXPECT_TRUE(log.Contains(L"refuse registered file behind a link: linked\\letter.txt"));
    RemoveDirectoryW(link.c_str());
}

TEST_F(RegisteredFilesTest, ALockedFileLandsInLeftoversOnce) {
    test::TempFolder root;
    std::wstring install = root.Dir(L"Wp");
    std::wstring locked = root.File(L"Wp\\locked.dat");
    HANDLE holder =
        CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    test::ScopedKey list(HKEY_LOCAL_MACHINE, kListKey);
    list.SetString(L"locked.dat", L"");
    std::vector<std::wstring> leftovers;

    engine::RemoveRegisteredFiles(install, kListKey, leftovers);
    CloseHandle(holder);

    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0], locked);
}

TEST_F(RegisteredFilesTest, NothingHappensWithoutAnInstallFolderOrAList) {
    test::TempFolder root;
    std::wstring file = root.File(L"a.dat");
    std::vector<std::wstring> leftovers;
    test::ScopedKey list(HKEY_LOCAL_MACHINE, kListKey);
    list.SetString(L"a.dat", L"");
    engine::RemoveRegisteredFiles(L"", kListKey, leftovers);
    engine::RemoveRegisteredFiles(path::Join(root.Path(), L"missing"), kListKey, leftovers);
    engine::RemoveRegisteredFiles(root.Path(), L"SOFTWARE\\EngineSystemTests\\none", leftovers);
    EXPECT_TRUE(path::Exists(file));
    EXPECT_TRUE(leftovers.empty());
}

TEST(LegacyUninstaller, TheFoldersGoOnlyWhenEmpty) {
    std::wstring zem = path::Join(ShellFolder(CSIDL_PROGRAM_FILES), L"Zem");
    if (path::Exists(zem))
        GTEST_SKIP() << "the maker's older product is present on this machine";
    std::wstring zembizhi = path::Join(zem, L"Zembizhi");
    std::wstring uninstaller = path::Join(zembizhi, L"Uninstall.exe");
    std::wstring other = path::Join(zem, L"other.dat");
    struct Case {
        bool withOtherFile;
        bool zemStays;
    } cases[] = {{false, false}, {true, true}};
    for (const Case& c : cases) {
        SHCreateDirectoryExW(nullptr, zembizhi.c_str(), nullptr);
        CloseHandle(
            CreateFileW(uninstaller.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (c.withOtherFile)
            CloseHandle(
                CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

        engine::RemoveLegacyUninstaller();

        EXPECT_FALSE(path::Exists(uninstaller));
        EXPECT_FALSE(path::Exists(zembizhi));
        EXPECT_EQ(path::Exists(zem), c.zemStays);
        EXPECT_EQ(path::Exists(other), c.withOtherFile);
        DeleteFileW(other.c_str());
        RemoveDirectoryW(zem.c_str());
    }
}

}  // namespace
