// What the uninstaller knows about the product it removes: the registry facts its installer
// wrote, and the product table shared with the maker's other programs, keyed by a numeric
// product identifier (this product is 16).
#pragma once

#include <map>
#include <string>

namespace product {

inline constexpr int kThisProductId = 16;
inline constexpr wchar_t kAppPathsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kestiwp.exe";
inline constexpr wchar_t kRunListKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kestiwp.exe\\run_list";
inline constexpr wchar_t kProductRegistryKey[] = L"Software\\KestiWallPaper";
inline constexpr wchar_t kMainExecutable[] = L"kestiwp.exe";
// The "ProductName" of this product's main edition.
inline constexpr wchar_t kMainEditionName[] = L"kestiwallpaper";

// The columns of the product table. A product may lack an entry in some of them.
enum class Column {
    kProductKey,
    kConfigDetailUrl,
    kConfigSingleInstanceName,
    kConfigStubWindowClassPrefix,
    kModuleListUrl,
    kConfigWindowClassName,
    kCrashDumpUrl,
    kMainExecutable,
    kShortName,
    kShortCode,
    kRegistryKey,
    kRequestKey,
    kStatisticsUrlTemplate,
    kConfigServiceUrlTemplate,
    // The folder under the user's application data of a per-user product (only product 8).
    kDataFolderName,
};

// One column: product identifier → value, in ascending identifier order.
const std::map<int, std::wstring>& ProductColumn(Column column);
// The value, or empty when the product has none in that column.
std::wstring ProductValue(int productId, Column column);

// The identifier of the product whose main executable lies in `dir` (step 2 and 3 of
// GetCurrentProductId, for a directory the caller chose); 0 when none.
int ProductIdInDirectory(const std::wstring& dir);

}  // namespace product

// App Paths "path" of kestiwp.exe (260 characters); false when missing or too long.
bool GetInstallDir(std::wstring& dir);
// HKCU "Software\KestiWallPaper" "pid", trimmed of white space; empty when missing.
std::wstring GetPid();
// App Paths "ProductName" equals "kestiwallpaper", ignoring case.
bool IsKestiWallpaper();

// The product whose main executable lies in the running module's directory, or `levelsUp`
// levels above it; 0 when none or when `levelsUp` is negative.
int GetCurrentProductId(int levelsUp);
// The short name of that product; empty when unknown.
std::wstring GetProductShortName(int levelsUp);
// The channel identifier of that product from its registry key; empty when unknown.
std::wstring GetProductPid(int levelsUp);
