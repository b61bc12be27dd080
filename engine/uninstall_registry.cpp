#include "engine/uninstall_registry.h"

#include <shlobj.h>

#include "app/log.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "engine/file_ops.h"

namespace engine {
namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// True when some folder between `installDir` and the entry `name` names is a junction or a
// symbolic link. Deleting "<link>\file" would delete a file of wherever the link points, which
// is not the product's; the entry itself may be a link (DeleteOrRecord removes just the link).
bool PassesThroughLink(const std::wstring& installDir, const std::wstring& name) {
    std::wstring current = installDir;
    size_t start = 0;
    while (true) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        if (end >= name.size())
            return false;  // the last component is the entry itself
        current = path::Join(current, name.substr(start, end - start));
        DWORD attributes = GetFileAttributesW(current.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        start = end + 1;
    }
}

std::wstring ProgramFilesFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return buffer;
}

}  // namespace

bool IsSafeRelativeName(const std::wstring& name) {
    if (name.empty() || name.size() >= MAX_PATH)
        return false;
    if (IsSeparator(name.front()))
        return false;
    if (name.find_first_of(L":*?\"<>|") != std::wstring::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        std::wstring part = name.substr(start, end - start);
        // Windows drops trailing dots and blanks from a component, so "..", ". ." and "... " all
        // climb; a component of nothing but dots and blanks never names a product file.
        if (part.empty() || part.find_first_not_of(L". ") == std::wstring::npos)
            return false;
        start = end + 1;
    }
    return true;
}

int DeleteUninstallEntry() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUninstallKey);
    Log(L"Delete uninstall registry");
    return 1;
}

void RemoveRegisteredFiles(const std::wstring& installDir, const wchar_t* subKey,
                           std::vector<std::wstring>& leftovers) {
    if (installDir.empty() || !subKey || !path::DirExists(installDir))
        return;
    base::RegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, subKey, KEY_ALL_ACCESS))
        return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[MAX_PATH] = {};
        DWORD nameLength = MAX_PATH;
        if (RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
        // The names are relative to the install folder; a leading backslash is tolerated (the
        // product writes both forms). Anything else that leaves the folder is refused: the list
        // lives in a registry key that the uninstaller did not write, and it runs elevated.
        std::wstring relative = name;
        while (!relative.empty() && IsSeparator(relative.front()))
            relative.erase(0, 1);
        if (!IsSafeRelativeName(relative)) {
            Log(L"refuse registered file outside the install folder: %s", name);
            continue;
        }
        if (PassesThroughLink(installDir, relative)) {
            Log(L"refuse registered file behind a link: %s", name);
            continue;
        }
        std::wstring target = path::Join(installDir, relative);
        DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            DeleteTree(target, leftovers);
        else
            DeleteOrRecord(target, leftovers);
    }
}

void RemoveLegacyUninstaller() {
    std::wstring programFiles = ProgramFilesFolder();
    if (programFiles.empty())
        return;
    std::wstring zem = path::Join(programFiles, L"Zem");
    std::wstring zembizhi = path::Join(zem, L"Zembizhi");
    std::wstring uninstaller = path::Join(zembizhi, L"Uninstall.exe");
    if (path::FileExists(uninstaller))
        DeleteFileW(uninstaller.c_str());
    // RemoveDirectoryW removes only empty folders, which is exactly the rule here; a link in
    // place of either folder is someone else's and stays.
    for (const std::wstring& folder : {zembizhi, zem}) {
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            RemoveDirectoryW(folder.c_str());
    }
}

}  // namespace engine
