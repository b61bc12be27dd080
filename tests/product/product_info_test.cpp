#include "product/product_info.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/path.h"
#include "base/strings.h"
#include "tests/sysinfo/reg_backup.h"

namespace {

using testing_support::RegValueBackup;
using testing_support::WriteStringValue;

// A fresh folder under the temporary directory, removed with its files.
class TempFolder {
  public:
    TempFolder() : path_(path::FreeTempName(path::TempDir())) {
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const std::wstring& file : files_)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(path_.c_str());
    }
    const std::wstring& Path() const { return path_; }
    void AddFile(const std::wstring& name) {
        std::wstring file = path::Join(path_, name);
        std::ofstream(file.c_str()) << "x";
        files_.push_back(file);
    }

  private:
    std::wstring path_;
    std::vector<std::wstring> files_;
};

TEST(ProductTableTest, ThisProductsRow) {
    using product::Column;
    const int id = product::kThisProductId;
    EXPECT_EQ(product::ProductValue(id, Column::kProductKey), L"kestiwp");
    EXPECT_EQ(product::ProductValue(id, Column::kMainExecutable), L"kestiwp.exe");
    EXPECT_EQ(product::ProductValue(id, Column::kShortName), L"kesti");
    EXPECT_EQ(product::ProductValue(id, Column::kShortCode), L"ksw");
    EXPECT_EQ(product::ProductValue(id, Column::kRegistryKey), L"Software\\KestiWallPaper");
    EXPECT_EQ(product::ProductValue(id, Column::kConfigSingleInstanceName),
              L"ConfigCenterSinlgeInstance_29997E6E-3364-4038-8D81-DF3EBF6826BE");
    EXPECT_TRUE(base::EndsWithNoCase(product::ProductValue(id, Column::kConfigDetailUrl),
                                     L"/cfg/kesti_detail.php"));
    EXPECT_TRUE(base::EndsWithNoCase(product::ProductValue(id, Column::kModuleListUrl),
                                     L"/cms/project_104/cfg_center/mod_list.js"));
    EXPECT_TRUE(
        base::EndsWithNoCase(product::ProductValue(id, Column::kCrashDumpUrl), L"/pc/updata/dump"));
    EXPECT_EQ(product::ProductValue(id, Column::kConfigStubWindowClassPrefix), L"");
    EXPECT_EQ(product::ProductValue(id, Column::kConfigWindowClassName), L"");
    std::wstring requestKey = product::ProductValue(id, Column::kRequestKey);
    EXPECT_EQ(requestKey.size(), 7u);
    EXPECT_EQ(requestKey.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    EXPECT_NE(product::ProductValue(id, Column::kStatisticsUrlTemplate)
                  .find(L"/url3?pid={pid}&mid={mid}&mid2={mid2}&appver={appver}&modver={modver}"
                        L"&type={type}&action={action}&app={app}"),
              std::wstring::npos);
    EXPECT_NE(product::ProductValue(id, Column::kConfigServiceUrlTemplate)
                  .find(L"/api/service/cfg.php?from=%s&appver=%s&pid=%s&modver=%s&mid=%s&mid2=%s"
                        L"&hash=%s&os=%s"),
              std::wstring::npos);
}

TEST(ProductTableTest, FifteenProductsWithDistinctMainExecutables) {
    const auto& executables = product::ProductColumn(product::Column::kMainExecutable);
    EXPECT_EQ(executables.size(), 15u);
    EXPECT_EQ(executables.count(15), 0u);
    for (const auto& [id, executable] : executables)
        for (const auto& [otherId, other] : executables)
            if (id != otherId) {
                EXPECT_FALSE(base::EqualsNoCase(executable, other));
            }
    EXPECT_EQ(product::ProductValue(99, product::Column::kShortName), L"");
}

TEST(CurrentProductTest, FoundByMainExecutableInTheFolder) {
    TempFolder folder;
    EXPECT_EQ(product::ProductIdInDirectory(folder.Path()), 0);
    EXPECT_EQ(product::ProductIdInDirectory(L""), 0);
    folder.AddFile(L"kestiwp.exe");
    EXPECT_EQ(product::ProductIdInDirectory(folder.Path()), 16);
    // With two products' programs side by side, the lower identifier wins.
    std::wstring first = product::ProductValue(3, product::Column::kMainExecutable);
    folder.AddFile(first);
    EXPECT_EQ(product::ProductIdInDirectory(folder.Path()), 3);
}

TEST(CurrentProductTest, RunningModuleFolder) {
    // The test executable's folder holds no product, like the temporary copy's folder.
    EXPECT_EQ(GetCurrentProductId(0), 0);
    EXPECT_EQ(GetProductShortName(0), L"");
    EXPECT_EQ(GetProductPid(0), L"");
    EXPECT_EQ(GetCurrentProductId(-1), 0);
    EXPECT_EQ(GetCurrentProductId(1000), 0);

    RegValueBackup pid(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid");
    ASSERT_TRUE(
        WriteStringValue(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid", L"chan01"));
    std::wstring beside = path::Join(path::ModuleDir(), L"kestiwp.exe");
    std::ofstream(beside.c_str()) << "x";
    EXPECT_EQ(GetCurrentProductId(0), 16);
    EXPECT_EQ(GetProductShortName(0), L"kesti");
    EXPECT_EQ(GetProductPid(0), L"chan01");
    EXPECT_EQ(GetCurrentProductId(1), 0);
    DeleteFileW(beside.c_str());
}

// Puts a product's main executable beside the test executable for one test.
class ProductBesideTest : public ::testing::Test {
  protected:
    void PlaceProduct(int id) {
        beside_ = path::Join(path::ModuleDir(),
                             product::ProductValue(id, product::Column::kMainExecutable));
        std::ofstream(beside_.c_str()) << "x";
    }
    void TearDown() override {
        if (!beside_.empty())
            DeleteFileW(beside_.c_str());
    }
    std::wstring beside_;
};

TEST_F(ProductBesideTest, ChannelOfOtherProducts) {
    if (!testing_support::CanWriteMachineKey())
        GTEST_SKIP() << "needs administrator rights";
    // Product 4 combines "PID" and "SUBPID" from HKLM; product 1 reads "VendorID" from HKLM.
    const std::wstring key4 = product::ProductValue(4, product::Column::kRegistryKey);
    const std::wstring key1 = product::ProductValue(1, product::Column::kRegistryKey);
    RegValueBackup pid4(HKEY_LOCAL_MACHINE, key4, L"PID");
    RegValueBackup subPid4(HKEY_LOCAL_MACHINE, key4, L"SUBPID");
    RegValueBackup vendor1(HKEY_LOCAL_MACHINE, key1, L"VendorID");

    PlaceProduct(4);
    ASSERT_EQ(GetCurrentProductId(0), 4);
    ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, key4.c_str(), L"PID", L"p100"));
    ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, key4.c_str(), L"SUBPID", L"s7"));
    EXPECT_EQ(GetProductPid(0), L"p100__s7");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key4.c_str(), L"SUBPID");
    EXPECT_EQ(GetProductPid(0), L"p100__p100");
    // Not terminated, or not a text: ignored, and without a PID there is no channel.
    const wchar_t unterminated[] = {L'p', L'9'};
    ASSERT_TRUE(testing_support::WriteRawValue(HKEY_LOCAL_MACHINE, key4.c_str(), L"PID", REG_SZ,
                                               unterminated, sizeof(unterminated)));
    EXPECT_EQ(GetProductPid(0), L"");
    DWORD number = 5;
    ASSERT_TRUE(testing_support::WriteRawValue(HKEY_LOCAL_MACHINE, key4.c_str(), L"PID", REG_DWORD,
                                               &number, sizeof(number)));
    EXPECT_EQ(GetProductPid(0), L"");
    TearDown();

    PlaceProduct(1);
    ASSERT_EQ(GetCurrentProductId(0), 1);
    ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, key1.c_str(), L"VendorID", L"v42"));
    EXPECT_EQ(GetProductPid(0), L"v42");
    EXPECT_EQ(GetProductShortName(0), product::ProductValue(1, product::Column::kShortName));
}

TEST(ChannelTest, PidIsTrimmed) {
    RegValueBackup pid(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid");
    struct Case {
        const wchar_t* stored;
        const wchar_t* pid;
    } const cases[] = {
        {L"rovozazo", L"rovozazo"},
        {L"  rovozazo ", L"rovozazo"},
        {L"\trovozazo\r\n", L"rovozazo"},
        {L"   ", L""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(
            WriteStringValue(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid", c.stored));
        EXPECT_EQ(GetPid(), c.pid) << c.stored;
    }
    DWORD number = 7;
    ASSERT_TRUE(testing_support::WriteRawValue(HKEY_CURRENT_USER, L"Software\\KestiWallPaper",
                                               L"pid", REG_DWORD, &number, sizeof(number)));
    EXPECT_EQ(GetPid(), L"");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid");
    EXPECT_EQ(GetPid(), L"");
}

TEST(AppPathsTest, InstallDirAndEdition) {
    if (!testing_support::CanWriteMachineKey())
        GTEST_SKIP() << "needs administrator rights";
    RegValueBackup path(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"path");
    RegValueBackup name(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"ProductName");

    ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"path",
                                 L"C:\\Program Files\\KestiWallpaper"));
    std::wstring dir;
    ASSERT_TRUE(GetInstallDir(dir));
    EXPECT_EQ(dir, L"C:\\Program Files\\KestiWallpaper");
    // A text that does not fit 260 characters counts as absent.
    ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"path",
                                 L"C:\\" + std::wstring(300, L'a')));
    EXPECT_FALSE(GetInstallDir(dir));

    struct Case {
        const wchar_t* productName;
        bool main;
    } const cases[] = {
        {L"kestiwallpaper", true},
        {L"KestiWallpaper", true},
        {L"KESTIWALLPAPER", true},
        {L"kestiwallpaper_lite", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteStringValue(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"ProductName",
                                     c.productName));
        EXPECT_EQ(IsKestiWallpaper(), c.main) << c.productName;
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"ProductName");
    EXPECT_FALSE(IsKestiWallpaper());
}

}  // namespace
