#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/reg_key.h"

namespace {

// Wine's registry hands back an unterminated text with a terminator added, so there the check
// cannot see one; Windows returns the data as stored.
bool RegistryAddsTerminators() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

constexpr wchar_t kTestKey[] = L"Software\\KestiUninstallerTests\\RegKey";

// A key of the test's own under HKCU, removed with its values at the end.
class ScratchKey {
  public:
    ScratchKey() { key_.Create(HKEY_CURRENT_USER, kTestKey, KEY_ALL_ACCESS); }
    ~ScratchKey() {
        key_.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, size_t bytes) {
        RegSetValueExW(key_.Get(), name, 0, type, static_cast<const BYTE*>(data),
                       static_cast<DWORD>(bytes));
    }
    const base::RegKey& Key() const { return key_; }

  private:
    base::RegKey key_;
};

TEST(RegKey, StringReadsAsTable) {
    ScratchKey scratch;
    const wchar_t terminated[] = L"rovozazo";
    const wchar_t unterminated[] = {L'a', L'b', L'c'};
    std::wstring exact(259, L'x'), tooLong(260, L'x');
    DWORD number = 7;
    scratch.SetRaw(L"terminated", REG_SZ, terminated, sizeof(terminated));
    scratch.SetRaw(L"unterminated", REG_SZ, unterminated, sizeof(unterminated));
    scratch.SetRaw(L"expand", REG_EXPAND_SZ, terminated, sizeof(terminated));
    scratch.SetRaw(L"dword", REG_DWORD, &number, sizeof(number));
    scratch.SetRaw(L"exact", REG_SZ, exact.c_str(), (exact.size() + 1) * sizeof(wchar_t));
    scratch.SetRaw(L"toolong", REG_SZ, tooLong.c_str(), (tooLong.size() + 1) * sizeof(wchar_t));
    scratch.SetRaw(L"odd", REG_SZ, "abc", 3);

    struct Case {
        const wchar_t* name;
        bool plain;       // QueryString
        bool terminated;  // QueryTerminatedString
    } cases[] = {
        {L"terminated", true, true}, {L"unterminated", true, RegistryAddsTerminators()},
        {L"expand", true, true},     {L"dword", false, false},
        {L"exact", true, true},      {L"toolong", false, false},
        {L"odd", true, false},       {L"missing", false, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "value " << row.name);
        std::wstring value = L"untouched";
        EXPECT_EQ(scratch.Key().QueryString(row.name, value), row.plain);
        value = L"untouched";
        EXPECT_EQ(scratch.Key().QueryTerminatedString(row.name, value), row.terminated);
        if (!row.terminated) {
            EXPECT_EQ(value, L"untouched");
        }
    }
    std::wstring value;
    ASSERT_TRUE(scratch.Key().QueryString(L"unterminated", value));
    EXPECT_EQ(value, L"abc");
}

}  // namespace
