#include "tests/config/test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include "base/handle.h"
#include "base/path.h"

namespace config_test {
namespace {

// The DOM document is a COM object: every test thread of these executables runs in an STA.
class ComEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }
};

[[maybe_unused]] ::testing::Environment* const kComEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace

bool WriteUtf16File(const std::wstring& path, std::wstring_view text) {
    std::wstring content = L"\xFEFF";
    content += text;
    return WriteBytes(path, content.data(), content.size() * sizeof(wchar_t));
}

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
    base::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr) &&
           written == size;
}

std::vector<BYTE> ReadBytes(const std::wstring& path) {
    base::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<BYTE> bytes;
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size))
        return bytes;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        bytes.clear();
    return bytes;
}

std::vector<BYTE> ResourceBytes(int id, const wchar_t* type) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    if (!data)
        return {};
    return std::vector<BYTE>(data, data + SizeofResource(module, info));
}

std::vector<std::wstring> ListDir(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    base::FindHandle find(FindFirstFileW(path::Join(dir, L"*").c_str(), &data));
    if (!find.IsValid())
        return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find.Get(), &data));
    return names;
}

}  // namespace config_test
