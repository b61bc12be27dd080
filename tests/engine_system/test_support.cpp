#include "tests/engine_system/test_support.h"

#include <shlobj.h>
#include <winioctl.h>

#include <cstring>

#include <fstream>
#include <sstream>

#include "app/log.h"
#include "base/path.h"
#include "base/strings.h"
#include "tests/fixture/call_log.h"

namespace test {
namespace {

std::wstring ReadUtf8(const std::wstring& path, bool ansi) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return ansi ? base::FromAnsi(buffer.str()) : base::FromUtf8(buffer.str());
}

}  // namespace

ScopedKey::ScopedKey(HKEY root, std::wstring subKey) : root_(root), subKey_(std::move(subKey)) {
    preexisting_ = KeyExists(root_, subKey_.c_str());
    HKEY key = nullptr;
    if (!preexisting_ && RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

ScopedKey::~ScopedKey() {
    if (!preexisting_)
        RegDeleteTreeW(root_, subKey_.c_str());
}

void ScopedKey::SetString(const std::wstring& name, const std::wstring& value) const {
    RegSetKeyValueW(root_, subKey_.c_str(), name.c_str(), REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

CapturedLog::CapturedLog() {
    path_ = path::FreeTempName(path::TempDir()) + L".log";
    Logger().SetPath(path_);
}

CapturedLog::~CapturedLog() {
    DeleteFileW(path_.c_str());
}

std::wstring CapturedLog::Text() const {
    return ReadUtf8(path_, true);
}

bool CapturedLog::Contains(const std::wstring& line) const {
    return Text().find(line) != std::wstring::npos;
}

int CapturedLog::Count(const std::wstring& line) const {
    std::wstring text = Text();
    int count = 0;
    for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

CallLog::CallLog() {
    DeleteFileW(fixture::kLogFile);
}

std::vector<std::vector<std::wstring>> CallLog::Records() const {
    std::vector<std::vector<std::wstring>> records;
    std::wstring text = ReadUtf8(fixture::kLogFile, false);
    std::wstringstream lines(text);
    std::wstring line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        std::vector<std::wstring> fields;
        size_t start = 0;
        for (size_t tab = line.find(L'\t'); tab != std::wstring::npos;
             start = tab + 1, tab = line.find(L'\t', start))
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        records.push_back(fields);
    }
    return records;
}

int CallLog::Count(const std::wstring& kind, const std::vector<std::wstring>& parts) const {
    int count = 0;
    for (const auto& fields : Records()) {
        if (fields.empty() || fields[0] != kind)
            continue;
        bool all = true;
        for (const auto& part : parts) {
            bool found = false;
            for (const auto& field : fields)
                found = found || base::EqualsNoCase(field, part) ||
                        field.find(part) != std::wstring::npos;
            all = all && found;
        }
        count += all ? 1 : 0;
    }
    return count;
}

std::wstring FixtureBinary(const wchar_t* name) {
    return path::Join(path::ModuleDir(), name);
}

void CopyFixture(const wchar_t* name, const std::wstring& target) {
    SHCreateDirectoryExW(nullptr, path::DirName(target).c_str(), nullptr);
    CopyFileW(FixtureBinary(name).c_str(), target.c_str(), FALSE);
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    // REPARSE_DATA_BUFFER for a mount point: substitute name "\??\<target>", empty print name.
    std::wstring substitute = L"\\??\\" + target;
    USHORT substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(8 + 8 + substituteBytes + 2 * sizeof(wchar_t), 0);
    auto put16 = [&](size_t at, USHORT value) { memcpy(&buffer[at], &value, sizeof(value)); };
    DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(&buffer[0], &tag, sizeof(tag));
    put16(4, static_cast<USHORT>(buffer.size() - 8));                   // data length
    put16(8, 0);                                                        // substitute offset
    put16(10, substituteBytes);                                         // substitute length
    put16(12, static_cast<USHORT>(substituteBytes + sizeof(wchar_t)));  // print offset
    put16(14, 0);                                                       // print length
    memcpy(&buffer[16], substitute.data(), substituteBytes);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                              static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
    if (!ok || !(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    return true;
}

bool ValueExists(HKEY root, const wchar_t* subKey, const wchar_t* name, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    bool exists = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

bool KeyExists(HKEY root, const wchar_t* subKey, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace test
