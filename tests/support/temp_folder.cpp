#include "tests/support/temp_folder.h"

#include <windows.h>

#include "base/handle.h"
#include "base/path.h"

namespace test_support {
namespace {

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Clears the read-only attribute of the entry itself. A link's attributes are set through a
// handle to the link (FILE_FLAG_OPEN_REPARSE_POINT): by name, the system could resolve the link
// and change the attributes of whatever it points at, which is not the test's to touch.
void ClearReadOnly(const std::wstring& path, DWORD attributes) {
    DWORD cleared = attributes & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (cleared == 0)
        cleared = FILE_ATTRIBUTE_NORMAL;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetFileAttributesW(path.c_str(), cleared);
        return;
    }
    base::UniqueHandle link(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!link)
        return;
    FILE_BASIC_INFO basic = {};  // zero times: left as they are
    basic.FileAttributes = cleared;
    SetFileInformationByHandle(link.Get(), FileBasicInfo, &basic, sizeof(basic));
}

// `attributes` are the entry's own (as FindFirstFileW and GetFileAttributesW report them for a
// link, not for its target).
void RemoveEntry(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ClearReadOnly(path, attributes);
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A junction or a symbolic link goes as a link. Following it would delete what it points at,
    // which may be anything on the machine.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (isDirectory)
            RemoveDirectoryW(path.c_str());
        else
            DeleteFileW(path.c_str());
        return;
    }
    if (!isDirectory) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    base::FindHandle find(FindFirstFileW(path::Join(path, L"*").c_str(), &data));
    if (find.IsValid()) {
        do {
            std::wstring_view name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            RemoveEntry(path::Join(path, name), data.dwFileAttributes);
        } while (FindNextFileW(find.Get(), &data));
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

TempFolder::TempFolder() : path_(path::FreeTempName(path::TempDir())) {
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

std::wstring TempFolder::operator/(std::wstring_view relative) const {
    return path::Join(path_, relative);
}

std::wstring TempFolder::Dir(std::wstring_view relative) const {
    std::wstring current = path_;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos)
            end = relative.size();
        if (end > start) {
            current = path::Join(current, relative.substr(start, end - start));
            CreateDirectoryW(current.c_str(), nullptr);
        }
        start = end + 1;
    }
    return current;
}

std::wstring TempFolder::File(std::wstring_view relative, std::string_view content) const {
    std::wstring full = *this / relative;
    std::wstring parent = path::DirName(full);
    if (parent.size() > path_.size())
        Dir(std::wstring_view(parent).substr(path_.size() + 1));
    base::UniqueHandle file(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !content.empty())
        WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written,
                  nullptr);
    return full;
}

void RemoveTree(const std::wstring& path) {
    if (path.empty())
        return;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        RemoveEntry(path, attributes);
}

}  // namespace test_support
