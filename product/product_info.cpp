#include "product/product_info.h"

#include <windows.h>
#include <shlobj.h>

#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "deploy/deployment_config.h"

namespace product {

namespace {

constexpr int kPerUserProductId = 8;
constexpr int kSubPidProductId = 4;

using ColumnMap = std::map<int, std::wstring>;

std::wstring Url(const wchar_t* server, const wchar_t* pathAndQuery) {
    return std::wstring(server) + pathAndQuery;
}

// The statistics address is the same for every product; the reporter fills the placeholders.
std::wstring StatisticsTemplate() {
    return std::wstring(L"http://") + deploy::kStatisticsHost +
           L"/url3?pid={pid}&mid={mid}&mid2={mid2}&appver={appver}&modver={modver}&type={type}"
           L"&action={action}&app={app}";
}

struct Row {
    int id;
    const wchar_t* productKey;
    const wchar_t* mainExecutable;
    const wchar_t* shortName;
    const wchar_t* shortCode;
    const wchar_t* registryKey;  // nullptr: the product keeps no channel identifier
};

// The maker's other programs, as far as this program needs them: to tell which of them runs
// beside a module, and where each keeps its channel identifier.
const Row kOtherProducts[] = {
    {1, L"zemsafe", L"ZemSafe.exe", L"zemsafe", L"zs", L"Software\\ZemSafe"},
    {2, L"zemsafetray", L"ZemSafeTray.exe", L"zstray", L"zst", L"Software\\ZemSafe\\Tray"},
    {3, L"zempdf", L"ZemPdf.exe", L"zempdf", L"zpd", L"Software\\ZemPdf"},
    {4, L"zembrowser", L"ZemBrowser.exe", L"zembrowser", L"zbr", L"Software\\ZemBrowser"},
    {5, L"zemzip", L"ZemZip.exe", L"zemzip", L"zzp", L"Software\\ZemZip"},
    {6, L"zemclean", L"ZemClean.exe", L"zemclean", L"zcl", L"Software\\ZemClean"},
    {7, L"zemdrv", L"ZemDriver.exe", L"zemdrv", L"zdr", L"Software\\ZemDriver"},
    {8, L"zemnote", L"ZemNote.exe", L"zemnote", L"znt", L"Software\\ZemNote"},
    {9, L"zemplayer", L"ZemPlayer.exe", L"zemplayer", L"zpl", L"Software\\ZemPlayer"},
    {10, L"zemimage", L"ZemImage.exe", L"zemimage", L"zim", L"Software\\ZemImage"},
    {11, L"zemfont", L"ZemFont.exe", L"zemfont", L"zft", nullptr},
    {12, L"zemrescue", L"ZemRescue.exe", L"zemrescue", L"zrs", L"Software\\ZemRescue"},
    {13, L"zeminput", L"ZemInput.exe", L"zeminput", L"zin", L"Software\\ZemInput"},
    {14, L"zemgame", L"ZemGame.exe", L"zemgame", L"zgm", L"Software\\ZemGame"},
};

struct Table {
    std::map<Column, ColumnMap> columns;

    Table() {
        for (const Row& row : kOtherProducts) {
            columns[Column::kProductKey][row.id] = row.productKey;
            columns[Column::kMainExecutable][row.id] = row.mainExecutable;
            columns[Column::kShortName][row.id] = row.shortName;
            columns[Column::kShortCode][row.id] = row.shortCode;
            if (row.registryKey)
                columns[Column::kRegistryKey][row.id] = row.registryKey;
            columns[Column::kStatisticsUrlTemplate][row.id] = StatisticsTemplate();
        }
        columns[Column::kDataFolderName][kPerUserProductId] = L"ZemNote";

        const int id = kThisProductId;
        columns[Column::kProductKey][id] = L"kestiwp";
        columns[Column::kConfigDetailUrl][id] =
            Url(deploy::kConfigServerUrl, L"/cfg/kesti_detail.php");
        columns[Column::kConfigSingleInstanceName][id] =
            L"ConfigCenterSinlgeInstance_29997E6E-3364-4038-8D81-DF3EBF6826BE";
        columns[Column::kModuleListUrl][id] =
            Url(deploy::kFileServerUrl, L"/cms/project_104/cfg_center/mod_list.js");
        columns[Column::kCrashDumpUrl][id] = Url(deploy::kPublicServerUrl, L"/pc/updata/dump");
        columns[Column::kMainExecutable][id] = kMainExecutable;
        columns[Column::kShortName][id] = L"kesti";
        columns[Column::kShortCode][id] = L"ksw";
        columns[Column::kRegistryKey][id] = kProductRegistryKey;
        columns[Column::kRequestKey][id] = L"5e1c9a7";
        columns[Column::kStatisticsUrlTemplate][id] = StatisticsTemplate();
        columns[Column::kConfigServiceUrlTemplate][id] =
            Url(deploy::kWebServiceUrl,
                L"/api/service/"
                L"cfg.php?from=%s&appver=%s&pid=%s&modver=%s&mid=%s&mid2=%s&hash=%s&os=%s");
    }
};

const Table& TheTable() {
    static const Table* table = new Table();
    return *table;
}

std::wstring AppDataDir() {
    wchar_t dir[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, dir)))
        return L"";
    return dir;
}

// `dir` equals `root` or lies below it.
bool IsUnder(const std::wstring& dir, const std::wstring& root) {
    std::wstring a = path::StripTrailingSlash(dir), b = path::StripTrailingSlash(root);
    if (b.empty() || !base::StartsWithNoCase(a, b))
        return false;
    return a.size() == b.size() || a[b.size()] == L'\\';
}

std::wstring ReadValue(HKEY root, const std::wstring& key, const wchar_t* name) {
    std::wstring value;
    if (!base::ReadRegString(root, key.c_str(), name, value))
        return L"";
    return value;
}

// The machine-wide values are written by the maker's other installers; a value that is not a
// text ending with its terminator is not read at all rather than guessed at.
std::wstring ReadTerminatedValue(const std::wstring& subKey, const wchar_t* name) {
    base::RegKey key;
    std::wstring value;
    if (!key.Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_READ) ||
        !key.QueryTerminatedString(name, value))
        return L"";
    return value;
}

}  // namespace

const std::map<int, std::wstring>& ProductColumn(Column column) {
    static const ColumnMap kEmpty;
    const auto& columns = TheTable().columns;
    auto found = columns.find(column);
    return found == columns.end() ? kEmpty : found->second;
}

std::wstring ProductValue(int productId, Column column) {
    const ColumnMap& map = ProductColumn(column);
    auto found = map.find(productId);
    return found == map.end() ? L"" : found->second;
}

int ProductIdInDirectory(const std::wstring& dir) {
    if (dir.empty())
        return 0;
    for (const auto& [id, executable] : ProductColumn(Column::kMainExecutable)) {
        if (path::FileExists(path::Join(dir, executable)))
            return id;
        if (id == kPerUserProductId) {
            std::wstring appData = AppDataDir();
            std::wstring folder = ProductValue(id, Column::kDataFolderName);
            if (!appData.empty() && !folder.empty() && IsUnder(dir, path::Join(appData, folder)))
                return id;
        }
    }
    return 0;
}

}  // namespace product

bool GetInstallDir(std::wstring& dir) {
    return base::ReadRegString(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"path", dir);
}

std::wstring GetPid() {
    std::wstring pid;
    if (!base::ReadRegString(HKEY_CURRENT_USER, product::kProductRegistryKey, L"pid", pid))
        return L"";
    return base::Trim(pid);
}

bool IsKestiWallpaper() {
    std::wstring name;
    return base::ReadRegString(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"ProductName", name) &&
           base::EqualsNoCase(name, product::kMainEditionName);
}

int GetCurrentProductId(int levelsUp) {
    if (levelsUp < 0)
        return 0;
    std::wstring dir = path::ModulePath();
    for (int i = 0; i <= levelsUp && !dir.empty(); ++i)
        dir = path::DirName(dir);
    return product::ProductIdInDirectory(dir);
}

std::wstring GetProductShortName(int levelsUp) {
    return product::ProductValue(GetCurrentProductId(levelsUp), product::Column::kShortName);
}

std::wstring GetProductPid(int levelsUp) {
    int id = GetCurrentProductId(levelsUp);
    std::wstring key = product::ProductValue(id, product::Column::kRegistryKey);
    if (key.empty())
        return L"";
    const wchar_t* name = (id == 1 || id == 2 || id == 12 || id == 14) ? L"VendorID" : L"PID";
    if (id == 3 || id == 10 || id == product::kThisProductId)
        return product::ReadValue(HKEY_CURRENT_USER, key, name);
    std::wstring pid = product::ReadTerminatedValue(key, name);
    if (id == product::kSubPidProductId && !pid.empty()) {
        std::wstring subPid = product::ReadTerminatedValue(key, L"SUBPID");
        return pid + L"__" + (subPid.empty() ? pid : subPid);
    }
    return pid;
}
