#include "engine/install_dir_guard.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"

namespace engine {

namespace {

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// A drive letter, a colon and a backslash, then plain components: no device or UNC prefix, no
// "." or ".." parts, no name ending in a dot or blank, no wildcard or stream characters. A real
// installer writes nothing else.
bool IsPlainLocalAbsolute(std::wstring_view dir) {
    if (dir.size() < 3)
        return false;
    wchar_t drive = dir[0];
    if (!((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z')) || dir[1] != L':' ||
        !IsSlash(dir[2]))
        return false;
    if (dir.substr(2).find_first_of(L":*?\"<>|") != std::wstring_view::npos)
        return false;
    size_t start = 3;
    while (start <= dir.size()) {
        size_t end = dir.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos)
            end = dir.size();
        std::wstring_view part = dir.substr(start, end - start);
        if (part == L"." || part == L"..")
            return false;
        // Windows drops trailing dots and blanks from a name, so "Program Files." would be
        // judged as one folder and acted on as another.
        if (!part.empty() && (part.back() == L'.' || part.back() == L' '))
            return false;
        // An empty part is a doubled separator ("C:\\Apps\\\\Wp"), or the trailing one.
        if (part.empty() && end != dir.size())
            return false;
        start = end + 1;
    }
    return true;
}

bool IsLocalDrive(wchar_t letter) {
    wchar_t root[] = {letter, L':', L'\\', 0};
    switch (GetDriveTypeW(root)) {
        case DRIVE_FIXED:
        case DRIVE_REMOVABLE:
        case DRIVE_RAMDISK:
            return true;
        default:
            return false;
    }
}

std::wstring FolderOf(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return buffer;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR text = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) && text)
        result = text;
    CoTaskMemFree(text);
    return result;
}

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

// The folders whose loss would hurt the user or the system. Looked up each time: the check runs
// once per uninstall, and a cached list could belong to another user in a long-lived test.
std::vector<std::wstring> ProtectedFolders() {
    static const int kFolders[] = {
        CSIDL_PROGRAM_FILES,
        CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON,
        CSIDL_PROGRAM_FILES_COMMONX86,
        CSIDL_PROFILE,
        CSIDL_DESKTOPDIRECTORY,
        CSIDL_PERSONAL,
        CSIDL_MYMUSIC,
        CSIDL_MYPICTURES,
        CSIDL_MYVIDEO,
        CSIDL_FAVORITES,
        CSIDL_APPDATA,
        CSIDL_LOCAL_APPDATA,
        CSIDL_STARTMENU,
        CSIDL_PROGRAMS,
        CSIDL_STARTUP,
        CSIDL_COMMON_APPDATA,
        CSIDL_COMMON_DESKTOPDIRECTORY,
        CSIDL_COMMON_DOCUMENTS,
        CSIDL_COMMON_STARTMENU,
        CSIDL_COMMON_PROGRAMS,
        CSIDL_COMMON_STARTUP,
    };
    std::vector<std::wstring> folders;
    for (int csidl : kFolders)
        folders.push_back(FolderOf(csidl));
    folders.push_back(KnownFolder(FOLDERID_Downloads));
    folders.push_back(KnownFolder(FOLDERID_LocalAppDataLow));
    folders.push_back(KnownFolder(FOLDERID_Public));
    // A 32-bit process sees the x86 folder as "Program Files"; the 64-bit one only by name.
    folders.push_back(Environment(L"ProgramW6432"));
    folders.push_back(Environment(L"CommonProgramW6432"));
    folders.push_back(Environment(L"USERPROFILE"));
    folders.push_back(path::TempDir());
    folders.push_back(Environment(L"TEMP"));
    folders.push_back(Environment(L"TMP"));
    std::vector<std::wstring> normalized;
    for (const std::wstring& folder : folders) {
        std::wstring text = NormalizePath(folder);
        if (!text.empty())
            normalized.push_back(std::move(text));
    }
    return normalized;
}

std::wstring WindowsFolder() {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? NormalizePath(buffer) : std::wstring();
}

// Where the folder really is once every junction and link on the way is followed; empty when
// the system cannot say (then the text checks alone decide).
std::wstring FinalPath(const std::wstring& dir) {
    base::UniqueHandle handle(CreateFileW(
        dir.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle)
        return {};
    wchar_t buffer[1024] = {};
    DWORD length = GetFinalPathNameByHandleW(handle.Get(), buffer, 1024, VOLUME_NAME_DOS);
    if (length == 0 || length >= 1024)
        return {};
    std::wstring text(buffer, length);
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return {};
    if (text.rfind(L"\\\\?\\", 0) == 0)
        text.erase(0, 4);
    return NormalizePath(text);
}

InstallDirVerdict CheckNormalized(const std::wstring& dir) {
    if (dir.size() <= 3)
        return InstallDirVerdict::kDriveRoot;
    std::wstring windows = WindowsFolder();
    if (!windows.empty() && IsSameOrBelow(dir, windows))
        return InstallDirVerdict::kWindowsFolder;
    for (const std::wstring& folder : ProtectedFolders()) {
        // Equal to a protected folder, or one of its ancestors (C:\Users holds every profile).
        if (IsSameOrBelow(folder, dir))
            return InstallDirVerdict::kSystemFolder;
    }
    return InstallDirVerdict::kSafe;
}

}  // namespace

std::wstring NormalizePath(std::wstring_view path) {
    if (path.empty())
        return {};
    std::wstring text(path);
    wchar_t buffer[1024] = {};
    DWORD length = GetFullPathNameW(text.c_str(), 1024, buffer, nullptr);
    if (length == 0 || length >= 1024)
        return {};
    std::wstring full(buffer, length);
    length = GetLongPathNameW(full.c_str(), buffer, 1024);
    if (length > 0 && length < 1024)
        full.assign(buffer, length);
    return path::StripTrailingSlash(full);
}

bool IsSameOrBelow(std::wstring_view path, std::wstring_view dir) {
    while (dir.size() > 3 && IsSlash(dir.back()))
        dir.remove_suffix(1);
    if (dir.empty() || path.size() < dir.size())
        return false;
    if (!base::EqualsNoCase(path.substr(0, dir.size()), dir))
        return false;
    return path.size() == dir.size() || IsSlash(dir.back()) || IsSlash(path[dir.size()]);
}

bool IsBelow(std::wstring_view path, std::wstring_view dir) {
    while (path.size() > 3 && IsSlash(path.back()))
        path.remove_suffix(1);
    while (dir.size() > 3 && IsSlash(dir.back()))
        dir.remove_suffix(1);
    return path.size() > dir.size() && IsSameOrBelow(path, dir);
}

InstallDirVerdict CheckInstallDir(std::wstring_view dir) {
    if (dir.empty())
        return InstallDirVerdict::kEmpty;
    if (dir.size() >= MAX_PATH)
        return InstallDirVerdict::kTooLong;
    if (!IsPlainLocalAbsolute(dir) || !IsLocalDrive(dir[0]))
        return InstallDirVerdict::kNotLocalAbsolute;
    std::wstring normalized = NormalizePath(dir);
    if (normalized.empty())
        return InstallDirVerdict::kNotLocalAbsolute;
    InstallDirVerdict verdict = CheckNormalized(normalized);
    if (verdict != InstallDirVerdict::kSafe)
        return verdict;
    DWORD attributes = GetFileAttributesW(normalized.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return InstallDirVerdict::kSafe;
    // A junction named like the product's folder would hand its target to the sweep.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return InstallDirVerdict::kReparsePoint;
    // A parent folder may still be a link: judge where the folder really is as well.
    std::wstring real = FinalPath(normalized);
    if (!real.empty() && !base::EqualsNoCase(real, normalized))
        return CheckNormalized(real);
    return InstallDirVerdict::kSafe;
}

const wchar_t* InstallDirVerdictText(InstallDirVerdict verdict) {
    switch (verdict) {
        case InstallDirVerdict::kSafe:
            return L"safe";
        case InstallDirVerdict::kEmpty:
            return L"the install folder is empty";
        case InstallDirVerdict::kNotLocalAbsolute:
            return L"the install folder is not an absolute local path";
        case InstallDirVerdict::kTooLong:
            return L"the install folder path is too long";
        case InstallDirVerdict::kDriveRoot:
            return L"the install folder is a drive root";
        case InstallDirVerdict::kWindowsFolder:
            return L"the install folder is the Windows folder or below it";
        case InstallDirVerdict::kSystemFolder:
            return L"the install folder is a system or user folder, or contains one";
        case InstallDirVerdict::kReparsePoint:
            return L"the install folder is a junction or symbolic link";
    }
    return L"unknown";
}

}  // namespace engine
