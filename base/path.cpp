#include "base/path.h"

#include <objbase.h>

#include <vector>

namespace path {

namespace {
bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}
}  // namespace

std::wstring Join(std::wstring_view dir, std::wstring_view name) {
    std::wstring result(dir);
    while (!result.empty() && IsSlash(result.back()))
        result.pop_back();
    size_t start = 0;
    while (start < name.size() && IsSlash(name[start]))
        ++start;
    result += L'\\';
    result.append(name.substr(start));
    return result;
}

std::wstring DirName(std::wstring_view path) {
    size_t pos = path.find_last_of(L"\\/");
    return pos == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, pos));
}

std::wstring FileName(std::wstring_view path) {
    size_t pos = path.find_last_of(L"\\/");
    return std::wstring(pos == std::wstring_view::npos ? path : path.substr(pos + 1));
}

std::wstring StripTrailingSlash(std::wstring_view path) {
    std::wstring result(path);
    while (result.size() > 1 && IsSlash(result.back())) {
        if (result.size() == 3 && result[1] == L':')
            break;
        result.pop_back();
    }
    return result;
}

bool Exists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FileExists(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring ModuleDir(HMODULE module) {
    return DirName(ModulePath(module));
}

std::wstring TempDir() {
    wchar_t buffer[1024] = {};
    DWORD length = GetTempPathW(1024, buffer);
    if (length == 0 || length >= 1024)
        return {};
    return StripTrailingSlash(std::wstring(buffer, length));
}

std::wstring NewGuidText() {
    GUID guid = {};
    if (FAILED(CoCreateGuid(&guid)))
        return {};
    wchar_t text[64] = {};
    _snwprintf(text, 63, L"{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}",
               static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
               guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
               guid.Data4[6], guid.Data4[7]);
    return text;
}

std::wstring FreeTempName(const std::wstring& dir) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::wstring candidate = Join(dir, NewGuidText() + L".tmp");
        if (!Exists(candidate))
            return candidate;
    }
    return {};
}

}  // namespace path
