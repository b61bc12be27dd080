#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "base/path.h"
#include "base/strings.h"
#include "engine/install_dir_guard.h"
#include "engine_test_util.h"

using engine::InstallDirVerdict;

namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

std::wstring Downloads() {
    PWSTR text = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &text)))
        result = text;
    CoTaskMemFree(text);
    return result;
}

std::wstring WindowsFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

}  // namespace

TEST(InstallDirGuard, RefusesFoldersThatAreNotPlainlyTheProducts) {
    std::wstring windows = WindowsFolder();
    std::wstring drive = windows.substr(0, 3);
    std::wstring profile = ShellFolder(CSIDL_PROFILE);
    struct Case {
        std::wstring dir;
        InstallDirVerdict verdict;
    } cases[] = {
        {L"", InstallDirVerdict::kEmpty},
        {L"Apps\\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {L"\\Apps\\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {L"\\\\server\\share\\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {L"\\\\?\\C:\\Apps\\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {L"C:", InstallDirVerdict::kNotLocalAbsolute},
        {L"C:Apps", InstallDirVerdict::kNotLocalAbsolute},
        {drive + L"Apps\\..\\Windows", InstallDirVerdict::kNotLocalAbsolute},
        {drive + L"Apps\\.\\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {drive + L"Apps\\Wp*", InstallDirVerdict::kNotLocalAbsolute},
        {drive + L"Apps\\Wp:stream", InstallDirVerdict::kNotLocalAbsolute},
        {ShellFolder(CSIDL_PROGRAM_FILES) + L" ", InstallDirVerdict::kNotLocalAbsolute},
        {ShellFolder(CSIDL_PROGRAM_FILES) + L".", InstallDirVerdict::kNotLocalAbsolute},
        {drive + L"Apps. \\Wp", InstallDirVerdict::kNotLocalAbsolute},
        {drive + std::wstring(300, L'a'), InstallDirVerdict::kTooLong},
        {drive, InstallDirVerdict::kDriveRoot},
        {drive.substr(0, 2) + L"\\\\", InstallDirVerdict::kNotLocalAbsolute},
        {windows, InstallDirVerdict::kWindowsFolder},
        {windows + L"\\", InstallDirVerdict::kWindowsFolder},
        {path::Join(windows, L"System32"), InstallDirVerdict::kWindowsFolder},
        {path::Join(windows, L"Kesti"), InstallDirVerdict::kWindowsFolder},
        {ShellFolder(CSIDL_PROGRAM_FILES), InstallDirVerdict::kSystemFolder},
        {ShellFolder(CSIDL_PROGRAM_FILES_COMMON), InstallDirVerdict::kSystemFolder},
        {profile, InstallDirVerdict::kSystemFolder},
        {path::DirName(profile), InstallDirVerdict::kSystemFolder},  // holds every profile
        {ShellFolder(CSIDL_DESKTOPDIRECTORY), InstallDirVerdict::kSystemFolder},
        {ShellFolder(CSIDL_PERSONAL), InstallDirVerdict::kSystemFolder},
        {Downloads(), InstallDirVerdict::kSystemFolder},
        {ShellFolder(CSIDL_APPDATA), InstallDirVerdict::kSystemFolder},
        {ShellFolder(CSIDL_LOCAL_APPDATA), InstallDirVerdict::kSystemFolder},
        {ShellFolder(CSIDL_COMMON_APPDATA), InstallDirVerdict::kSystemFolder},
        {path::TempDir(), InstallDirVerdict::kSystemFolder},
        {path::Join(ShellFolder(CSIDL_PROGRAM_FILES), L"Kesti"), InstallDirVerdict::kSafe},
        {path::Join(ShellFolder(CSIDL_APPDATA), L"Kesti"), InstallDirVerdict::kSafe},
        {path::Join(path::TempDir(), L"Kesti"), InstallDirVerdict::kSafe},
        {drive + L"Apps\\Wp", InstallDirVerdict::kSafe},
        {drive + L"Apps\\Wp\\", InstallDirVerdict::kSafe},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(base::ToUtf8(c.dir));
        EXPECT_EQ(engine::CheckInstallDir(c.dir), c.verdict);
    }
}

TEST(InstallDirGuard, ShortNamesAreJudgedByTheFolderTheyName) {
    wchar_t shortName[MAX_PATH] = {};
    std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
    DWORD length = GetShortPathNameW(programFiles.c_str(), shortName, MAX_PATH);
    if (length == 0 || programFiles == shortName)
        GTEST_SKIP() << "no 8.3 name for Program Files here";
    EXPECT_EQ(engine::CheckInstallDir(shortName), InstallDirVerdict::kSystemFolder);
}

TEST(InstallDirGuard, RefusesAJunctionAsTheInstallFolder) {
    engine_test::TempFolder folder;
    std::wstring target = folder.Dir(L"target");
    std::wstring link = path::Join(folder.Path(), L"link");
    if (!engine_test::MakeJunction(link, target))
        GTEST_SKIP() << "this system cannot make junctions";
    EXPECT_EQ(engine::CheckInstallDir(link), InstallDirVerdict::kReparsePoint);
    EXPECT_EQ(engine::CheckInstallDir(target), InstallDirVerdict::kSafe);
}

TEST(InstallDirGuard, BelowMeansOnAPathBoundary) {
    struct Case {
        const wchar_t* path;
        const wchar_t* dir;
        bool sameOrBelow;
        bool below;
    } cases[] = {
        {L"C:\\Apps\\Wp\\x.exe", L"C:\\Apps\\Wp", true, true},
        {L"c:\\apps\\wp\\X.EXE", L"C:\\Apps\\Wp", true, true},
        {L"C:\\Apps\\Wp\\x.exe", L"C:\\Apps\\Wp\\", true, true},
        {L"C:\\Apps\\WpOld\\x.exe", L"C:\\Apps\\Wp", false, false},
        {L"C:\\Apps\\Wp", L"C:\\Apps\\Wp", true, false},
        {L"C:\\Apps\\Wp\\", L"C:\\Apps\\Wp", true, false},
        {L"C:\\Apps", L"C:\\Apps\\Wp", false, false},
        {L"C:\\x.exe", L"C:\\", true, true},
        {L"D:\\Apps\\Wp\\x.exe", L"C:\\Apps\\Wp", false, false},
        {L"C:\\Apps\\Wp\\x.exe", L"", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(base::ToUtf8(c.path));
        EXPECT_EQ(engine::IsSameOrBelow(c.path, c.dir), c.sameOrBelow);
        EXPECT_EQ(engine::IsBelow(c.path, c.dir), c.below);
    }
}
