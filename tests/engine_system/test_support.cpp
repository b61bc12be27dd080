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
