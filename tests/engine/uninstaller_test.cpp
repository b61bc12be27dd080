#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "app/threads.h"
#include "base/path.h"
#include "base/strings.h"
#include "config/root_dir_list.h"
#include "engine/uninstaller.h"
#include "engine_test_util.h"

using engine_test::Exists;

namespace {

// What the progress window would have seen, and on which thread.
class RecordingCallback : public IUninstallCallback {
  public:
    void OnUninstallStart() override { events.push_back(L"start"); }
    void OnUninstallProgress(int percent) override {
        progress.push_back(percent);
        if (GetCurrentThreadId() != uiThread)
            events.push_back(L"progress off the UI thread");
    }
    void OnUninstallEnd() override { events.push_back(L"end"); }
    void OnRealInstallEnd() override { events.push_back(L"real end"); }

    DWORD uiThread = GetCurrentThreadId();
    std::vector<int> progress;
    std::vector<std::wstring> events;
};

// An install-root list held in memory.
class FakeRootList : public IUninstallRootDirList {
  public:
    explicit FakeRootList(std::set<std::wstring> upperNames) : names_(std::move(upperNames)) {}
    bool LoadFromResource(HMODULE, int, const wchar_t*) override { return false; }
    bool LoadFromFile(const wchar_t*) override { return false; }
    int GetCount() const override { return static_cast<int>(names_.size()); }
    bool GetItem(int, RootDirItem*) const override { return false; }
    bool Remove(const wchar_t*) override { return true; }
    bool Contains(const wchar_t* name) const override {
        return names_.count(base::ToUpper(name)) != 0;
    }

  private:
    std::set<std::wstring> names_;
};

// The end-of-run report goes to the report host; tests keep it at home.
unsigned long NoReport(const wchar_t*, const std::wstring&, const std::wstring&) {
    return 7;
}

// Runs the worker to its end while this thread serves the UI-thread calls it sends.
void PumpUntilDone(CUninstaller& uninstaller) {
    for (int i = 0; i < 3000 && !uninstaller.Wait(0); ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(10);
    }
}

class UninstallerTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(CreateUIThreadWindow()); }
};

}  // namespace

TEST_F(UninstallerTest, SetProgressNeverDeliversMoreThan99) {
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    RecordingCallback callback;
    // Attached the way StartUninstall does, without a run: the worker refuses an empty folder
    // and ends at once.
    uninstaller.Start(&callback);
    PumpUntilDone(uninstaller);
    callback.progress.clear();
    for (int value : {1, 4, 98, 99, 100, 150})
        uninstaller.SetProgress(value);
    EXPECT_EQ(callback.progress, (std::vector<int>{1, 4, 98, 99, 99, 99}));
}

TEST_F(UninstallerTest, StepFileProgressSpreadsTheSweepFrom10To98) {
    struct Case {
        int total;
        int steps;
        std::vector<int> expected;
    } cases[] = {
        {3, 3, {39, 68, 98}}, {3, 4, {39, 68, 98, 98}},  // clamped: never past the count
        {1, 1, {98}},         {0, 2, {}},  // nothing counted: no sweep progress at all
        {200, 1, {10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.total);
        CUninstaller uninstaller;
        uninstaller.SetReportFunction(&NoReport);
        RecordingCallback callback;
        uninstaller.Start(&callback);
        PumpUntilDone(uninstaller);
        callback.progress.clear();
        uninstaller.SetFilesTotal(c.total);
        for (int i = 0; i < c.steps; ++i)
            uninstaller.StepFileProgress();
        EXPECT_EQ(callback.progress, c.expected);
    }
}

TEST_F(UninstallerTest, RefusedFolderRemovesNothingAndStillEndsTheRun) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    for (std::wstring dir : {std::wstring(), std::wstring(windows).substr(0, 3), path::TempDir()}) {
        SCOPED_TRACE(base::ToUtf8(dir));
        engine_test::LogCapture log;
        CUninstaller uninstaller;
        uninstaller.SetReportFunction(&NoReport);
        uninstaller.SetInstallDir(dir.c_str());
        RecordingCallback callback;
        ASSERT_TRUE(uninstaller.Start(&callback));
        PumpUntilDone(uninstaller);
        EXPECT_EQ(callback.progress, (std::vector<int>{1, 99}));
        EXPECT_EQ(callback.events, (std::vector<std::wstring>{L"start", L"end", L"real end"}));
        EXPECT_EQ(log.Count(L"refuse to uninstall from"), 1);
        EXPECT_EQ(log.Count(L"start call program"), 0);
        EXPECT_EQ(log.Count(L"re unistinfo ret=7"), 1);
    }
}

TEST_F(UninstallerTest, DetachedCallbackHearsNothingAndTheRunStillEnds) {
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    RecordingCallback callback;
    ASSERT_TRUE(uninstaller.Start(&callback));
    // The worker is blocked on its first UI-thread call until this thread pumps.
    uninstaller.DetachCallback();
    PumpUntilDone(uninstaller);
    EXPECT_TRUE(uninstaller.Wait(0));
    EXPECT_TRUE(callback.progress.empty());
    EXPECT_TRUE(callback.events.empty());
}

TEST_F(UninstallerTest, SecondStartIsRefused) {
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    RecordingCallback callback;
    ASSERT_TRUE(uninstaller.Start(&callback));
    EXPECT_FALSE(uninstaller.Start(&callback));
    PumpUntilDone(uninstaller);
}

TEST_F(UninstallerTest, SweepRemovesListedEntriesAndLeavesTheRest) {
    engine_test::TempFolder folder;
    std::wstring installDir = folder.Dir(L"Kesti");
    std::wstring listedFile = folder.File(L"Kesti\\Uninstall.exe");
    std::wstring listedDir = folder.Dir(L"Kesti\\Config");
    folder.File(L"Kesti\\Config\\a.xml");
    folder.File(L"Kesti\\Config\\deep\\whatever-name.bin");  // removed whatever its name
    std::wstring unlisted = folder.File(L"Kesti\\user notes.txt");
    std::wstring unlistedDir = folder.Dir(L"Kesti\\MyPhotos");
    folder.File(L"Kesti\\MyPhotos\\p.jpg");

    FakeRootList list({L"UNINSTALL.EXE", L"CONFIG"});
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    RecordingCallback callback;
    uninstaller.Start(&callback);
    PumpUntilDone(uninstaller);
    callback.progress.clear();

    uninstaller.SetRootDirList(&list);
    uninstaller.SetInstallDir(installDir.c_str());
    engine_test::LogCapture log;
    uninstaller.SweepInstallDir(installDir);

    EXPECT_EQ(uninstaller.FilesTotal(), 3);
    EXPECT_EQ(callback.progress, (std::vector<int>{39, 68, 98}));
    EXPECT_FALSE(Exists(listedFile));
    EXPECT_FALSE(Exists(listedDir));
    EXPECT_TRUE(Exists(unlisted));
    EXPECT_TRUE(Exists(path::Join(unlistedDir, L"p.jpg")));
    EXPECT_TRUE(Exists(installDir));
    // Once while counting, once while sweeping.
    EXPECT_EQ(log.Count(L"File NOT exists in xml: USER NOTES.TXT"), 2);
    EXPECT_EQ(log.Count(L"File NOT exists in xml: MYPHOTOS"), 2);
    EXPECT_EQ(log.Count(L"Delete File: " + listedFile), 1);
    EXPECT_EQ(log.Count(L"remove directory " + installDir + L" failed."), 1);
}

TEST_F(UninstallerTest, SweepOfAnEmptyListRemovesTheEmptyFolder) {
    engine_test::TempFolder folder;
    std::wstring installDir = folder.Dir(L"Kesti");
    FakeRootList list({});
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    uninstaller.SetRootDirList(&list);
    uninstaller.SetInstallDir(installDir.c_str());
    engine_test::LogCapture log;
    uninstaller.SweepInstallDir(installDir);
    EXPECT_EQ(uninstaller.FilesTotal(), 0);
    EXPECT_FALSE(Exists(installDir));
    EXPECT_EQ(log.Count(L"remove directory " + installDir + L" suceess"), 1);
}

TEST_F(UninstallerTest, SweepRemovesAJunctionButNotWhatItPointsTo) {
    engine_test::TempFolder folder;
    std::wstring installDir = folder.Dir(L"Kesti");
    std::wstring userFiles = folder.Dir(L"Documents");
    std::wstring precious = folder.File(L"Documents\\thesis.doc");
    std::wstring inside = folder.Dir(L"Kesti\\Config");
    if (!engine_test::MakeJunction(path::Join(inside, L"docs"), userFiles) ||
        !engine_test::MakeJunction(path::Join(installDir, L"update"), userFiles))
        GTEST_SKIP() << "this system cannot make junctions";
    FakeRootList list({L"CONFIG", L"UPDATE"});
    CUninstaller uninstaller;
    uninstaller.SetReportFunction(&NoReport);
    uninstaller.SetRootDirList(&list);
    uninstaller.SetInstallDir(installDir.c_str());
    uninstaller.SweepInstallDir(installDir);
    EXPECT_TRUE(Exists(precious));
    EXPECT_FALSE(Exists(inside));
    EXPECT_FALSE(Exists(installDir));
}
