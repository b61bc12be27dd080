// Safety rules for the folder the uninstaller clears. The folder comes from a registry value
// that any elevated program could have written, and the uninstaller runs elevated: it must never
// treat a system or user folder as the product's.
#pragma once

#include <string>
#include <string_view>

namespace engine {

enum class InstallDirVerdict {
    kSafe,
    kEmpty,
    kNotLocalAbsolute,  // relative, UNC, device path, "." or ".." parts, network drive
    kTooLong,
    kDriveRoot,
    kWindowsFolder,  // the Windows folder or anything below it
    kSystemFolder,   // a Program Files root, the profile, a known folder, the temporary folder,
                     // or a folder that contains one of them
    kReparsePoint,   // the folder itself is a junction or symbolic link
};

// Decides whether `dir` may be cleared as an install folder. A missing folder is judged by its
// text alone (there is nothing to delete in it anyway).
InstallDirVerdict CheckInstallDir(std::wstring_view dir);
// English text for the log.
const wchar_t* InstallDirVerdictText(InstallDirVerdict verdict);

// The absolute form of `path` with "." and ".." resolved, 8.3 names expanded when the path
// exists, and no trailing backslash (except a drive root's). Empty when the path is unusable.
std::wstring NormalizePath(std::wstring_view path);

// True when `path` is `dir` itself or lies below it, compared on a path boundary without regard
// to case: C:\Apps\Wp\x.exe is below C:\Apps\Wp, C:\Apps\WpOld\x.exe is not. Both are used as
// given (no normalisation), so callers pass comparable forms.
bool IsSameOrBelow(std::wstring_view path, std::wstring_view dir);
// Strictly below: `path` is inside `dir` and not `dir` itself.
bool IsBelow(std::wstring_view path, std::wstring_view dir);

}  // namespace engine
