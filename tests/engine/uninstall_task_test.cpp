#include <gtest/gtest.h>

#include <string>

#include "base/reg_key.h"
#include "engine/uninstall_task.h"

namespace {

constexpr wchar_t kGameCenterKey[] = L"SOFTWARE\\VRNGameCenter";

// The game center's key for one test; a machine that really has it is left alone.
class GameCenterKey {
  public:
    GameCenterKey() {
        base::RegKey existing;
        present_ = existing.Open(HKEY_LOCAL_MACHINE, kGameCenterKey, KEY_READ);
    }
    ~GameCenterKey() {
        if (!present_)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGameCenterKey);
    }
    bool AlreadyThere() const { return present_; }
    void Set(const wchar_t* name, const std::wstring* value) {
        base::RegKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, kGameCenterKey, KEY_SET_VALUE));
        if (value)
            key.SetString(name, *value);
        else
            key.DeleteValue(name);
    }

  private:
    bool present_ = false;
};

}  // namespace

TEST(UninstallTask, GetInstallDirCopiesOnlyWhatFits) {
    IUninstallTask* task = GetUninstallTask();
    task->SetInstallDir(L"C:\\Apps\\Wp");  // 10 characters
    struct Case {
        int capacity;
        const wchar_t* expected;
    } cases[] = {
        {11, L"C:\\Apps\\Wp"}, {64, L"C:\\Apps\\Wp"}, {10, L"untouched"}, {0, L"untouched"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        wchar_t buffer[64] = L"untouched";
        task->GetInstallDir(buffer, c.capacity);
        EXPECT_STREQ(buffer, c.expected);
    }
    task->GetInstallDir(nullptr, 64);  // no buffer: nothing happens
    task->SetInstallDir(nullptr);
    wchar_t buffer[64] = L"untouched";
    task->GetInstallDir(buffer, 64);
    EXPECT_STREQ(buffer, L"untouched");
    EXPECT_TRUE(task->CanUninstall());
}

TEST(UninstallTask, ReadsTheGameCenterKey) {
    GameCenterKey key;
    if (key.AlreadyThere())
        GTEST_SKIP() << "this machine has the game center installed";
    IUninstallTask* task = GetUninstallTask();
    struct Case {
        const wchar_t* played;  // null: absent
        bool unplayed;
    } playedCases[] = {
        {nullptr, true},
        {L"", true},
        {L"1", false},
        {L"2026-12-01", false},
    };
    for (const Case& c : playedCases) {
        SCOPED_TRACE(c.played ? "value" : "absent");
        std::wstring value = c.played ? c.played : L"";
        key.Set(L"Played", c.played ? &value : nullptr);
        EXPECT_EQ(task->IsGameCenterUnplayed(), c.unplayed);
    }
    // Too long for the 260-byte buffer: read as absent.
    std::wstring tooLong(200, L'x');
    key.Set(L"Played", &tooLong);
    EXPECT_TRUE(task->IsGameCenterUnplayed());

    struct VendorCase {
        const wchar_t* vendor;
        bool ours;
    } vendorCases[] = {
        {L"Zem-BiZhi-01", true}, {L"bizhi", true}, {L"biz hi", false}, {L"other", false}};
    for (const VendorCase& c : vendorCases) {
        std::wstring value = c.vendor;
        key.Set(L"VendorID", &value);
        EXPECT_EQ(task->IsGameCenterOfThisProduct(), c.ours);
    }
    key.Set(L"VendorID", nullptr);
    EXPECT_FALSE(task->IsGameCenterOfThisProduct());
}
