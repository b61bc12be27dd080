// The product's registrations outside its install directory: the entry in the list of
// installed programs, the files it registered for removal, and the uninstaller of the maker's
// older wallpaper product.
#pragma once

#include <string>
#include <vector>

namespace engine {

inline constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kestiwp";
inline constexpr wchar_t kFileListSubKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kestiwp.exe\\file_list";
inline constexpr wchar_t kFilePeSubKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kestiwp.exe\\file_pe";

// Deletes HKLM\...\Uninstall\kestiwp with all its sub-keys and logs it. Always 1.
int DeleteUninstallEntry();

// Removes the files and folders named by the values of HKLM\<subKey>: each value name is a path
// relative to installDir. Folders go with DeleteTree, files with DeleteOrRecord; what survives
// lands in leftovers. A name that is absolute or climbs out of installDir is refused and logged.
void RemoveRegisteredFiles(const std::wstring& installDir, const wchar_t* subKey,
                           std::vector<std::wstring>& leftovers);

// Deletes <Program Files>\Zem\Zembizhi\Uninstall.exe, then the two folders when empty.
void RemoveLegacyUninstaller();

// True when `name` is a plain relative path that stays inside the folder it is appended to: not
// empty, no drive or root, no "." or ".." component, no stream or device syntax (':'), no
// wildcard. Registry lists name files this way, and a list that says otherwise is not trusted.
bool IsSafeRelativeName(const std::wstring& name);

}  // namespace engine
