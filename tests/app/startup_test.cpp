#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "app/instance_mutex.h"
#include "app/startup.h"
#include "app/uninstall_end.h"
#include "base/path.h"
#include "base/strings.h"

namespace {

TEST(Startup, ParentFileStem) {
    struct Case {
        const wchar_t* path;
        const wchar_t* stem;
    } cases[] = {
        {L"C:\\Program Files\\Kesti\\kestiwp.exe", L"kestiwp"},
        {L"C:\\tools\\my.helper.exe", L"my.helper"},  // cut before the last dot
        {L"C:\\tools\\noextension", L""},
        {L"kestiwp.exe", L""},  // no folder
        {L"", L""},
        {L"C:\\dotted.dir\\plain", L""},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(ParentFileStem(row.path), row.stem) << base::ToUtf8(row.path);
    }
}

TEST(Startup, PreInitErrorTexts) {
    EXPECT_EQ(PreInitErrorText(1), L"ZemBase.dll文件初始化失败");
    EXPECT_EQ(PreInitErrorText(2), L"卸载程序已被破坏，请重新下载安装后再进行卸载");
    EXPECT_EQ(PreInitErrorText(3), L"7z.dll文件破坏，请重新下载安装后进行卸载");
    EXPECT_EQ(PreInitErrorText(0), L"");
    EXPECT_EQ(PreInitErrorText(4), L"");
}

TEST(Startup, TemporaryNamesAreGuidFoldersWithALowerCaseThirdGroup) {
    std::wregex guid(LR"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})");
    for (int i = 0; i < 20; ++i) {
        std::wstring text = path::NewGuidText();
        EXPECT_TRUE(std::regex_match(text, guid)) << base::ToUtf8(text);
    }
    std::wstring name = path::FreeTempName(path::TempDir());
    EXPECT_TRUE(base::EndsWithNoCase(name, L".tmp"));
    EXPECT_FALSE(path::Exists(name));
}

// A stand-in for a running uninstaller's main window that records what it is sent.
struct ActivationWindow {
    static inline int activations = 0;
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_ACTIVATE_SCREEN && wParam == 0 && lParam == 0)
            ++activations;
        return DefWindowProcW(window, message, wParam, lParam);
    }
};

TEST(InstanceMutex, SecondInstanceIsRefusedAndTheRunningOneActivated) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ActivationWindow::Proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kMainWindowClass;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kMainWindowClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    CInstanceMutex running, second;
    EXPECT_EQ(running.CheckSingleInstance(), 1);
    EXPECT_EQ(second.CheckSingleInstance(), 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    EXPECT_EQ(ActivationWindow::activations, 1);

    running.ReleaseAll();
    EXPECT_EQ(second.CheckSingleInstance(), 1);  // free again once released
    second.ReleaseAll();
    DestroyWindow(window);
}

TEST(InstanceMutex, CreateNamedAndHold) {
    const wchar_t* name = L"KestiUninstallTestMutex";
    CInstanceMutex owner, other;
    HWND window = reinterpret_cast<HWND>(1);
    EXPECT_EQ(owner.CreateNamed(name, L"NoSuchWindowClass", &window), 0);  // created and kept
    EXPECT_EQ(other.CreateNamed(name, L"NoSuchWindowClass", &window), 1);  // existed
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(other.Hold(name), 1);
    owner.ReleaseAll();
    other.ReleaseAll();
    HANDLE fresh = CreateMutexW(nullptr, FALSE, name);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(fresh);
}

}  // namespace

namespace {

TEST(UninstallEnd, DaysOfUseCountsCalendarDays) {
    struct Case {
        const wchar_t* installDate;
        WORD year, month, day, hour;
        int days;
    } cases[] = {
        {L"2021-11-18 09:30:00", 2021, 11, 20, 8, 2},  // less than 48 hours, yet two days
        {L"2021-11-18 23:59:59", 2021, 11, 18, 0, 0},
        {L"2020-12-31 10:00:00", 2021, 1, 1, 9, 1},
        {L"2020-02-28 10:00:00", 2020, 3, 1, 9, 2},  // leap year
        {L"", 2021, 11, 20, 8, 0},
        {L"18/11/2021", 2021, 11, 20, 8, 0},
    };
    for (const Case& row : cases) {
        SYSTEMTIME today = {};
        today.wYear = row.year;
        today.wMonth = row.month;
        today.wDay = row.day;
        today.wHour = row.hour;
        EXPECT_EQ(DaysOfUse(row.installDate, today), row.days) << base::ToUtf8(row.installDate);
    }
}

}  // namespace
