#include "engine/uninstaller.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "app/log.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "config/setup_config.h"
#include "engine/autorun.h"
#include "engine/file_ops.h"
#include "engine/install_dir_guard.h"
#include "engine/process_shutdown.h"
#include "engine/services.h"
#include "engine/shortcuts.h"
#include "engine/uninstall_registry.h"
#include "product/product_info.h"
#include "sysinfo/os_version.h"
#include "report/uninstall_info.h"
#include "trust/signature.h"

namespace {

constexpr wchar_t kUserKey[] = L"Software\\KestiWallPaper";
constexpr wchar_t kClassKey[] = L"KestiWallpaper";
constexpr wchar_t kUserDataFolder[] = L"kestiwp";
constexpr wchar_t kBrowserCacheFolder[] = L"kestiwp\\cef_cache";
constexpr int kCountFailedTotal = 200;
constexpr size_t kMaxRegistryKey = 1024;

std::wstring RoamingAppData() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return buffer;
}

unsigned long SendUninstallInfo(const wchar_t* type, const std::wstring& appVersion,
                                const std::wstring& productPid) {
    std::string narrowType = base::ToUtf8(type);
    return ReportUninstallInfo(narrowType.c_str(), productPid.c_str(), appVersion.c_str());
}

// The setup project's registry key: doubled separators (the project stores the text that way)
// collapse to one. A key of fewer than three components is refused: it could only be a system
// key ("SOFTWARE", "SOFTWARE\Microsoft"), and the whole tree below it would go.
std::wstring ProductKeyPath(const std::wstring& stored) {
    std::wstring key;
    for (wchar_t c : stored) {
        if (c == L'\\' && (key.empty() || key.back() == L'\\'))
            continue;
        key += c;
    }
    while (!key.empty() && key.back() == L'\\')
        key.pop_back();
    return std::count(key.begin(), key.end(), L'\\') >= 2 ? key : std::wstring();
}

}  // namespace

CUninstaller::CUninstaller() : report_(&SendUninstallInfo) {}

CUninstaller::~CUninstaller() = default;

bool CUninstaller::Start(IUninstallCallback* callback) {
    {
        _BaseModule::CAutoLocker guard(callbackLock_);
        callback_ = callback;
    }
    bool started = thread_.Start(this, nullptr);
    Log(L"start uninstall thread...");
    return started;
}

bool CUninstaller::Wait(DWORD timeoutMs) {
    HANDLE thread = thread_.ThreadHandle();
    return !thread || WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
}

void CUninstaller::DetachCallback() {
    _BaseModule::CAutoLocker guard(callbackLock_);
    callback_ = nullptr;
}

void CUninstaller::SetUninstallGameCenter(bool uninstall) {
    if (gameCenterIsOurs_)
        uninstallGameCenter_ = uninstall;
}

void CUninstaller::Run(void*) {
    try {
        appVersion_.clear();
        GetFileVersionText(path::Join(installDir_, product::kMainExecutable), appVersion_);
        productPid_ = GetPid();
        RunSteps();
    } catch (const std::exception& error) {
        // Only an allocation can throw here. The run is over either way; the window waiting for
        // the end must still hear of it, or it would wait for ever.
        Log(L"uninstall worker stopped: %hs", error.what());
        _BaseModule::CAutoLocker guard(callbackLock_);
        if (callback_)
            callback_->OnRealInstallEnd();
    }
}

void CUninstaller::PostToUIThread(ISimpleBind& bind) {
    SendToUIThread(&bind);
}

void CUninstaller::CallUninstallStart() {
    if (callback_)
        callback_->OnUninstallStart();
}

void CUninstaller::CallUninstallProgress(int percent) {
    if (callback_)
        callback_->OnUninstallProgress(percent);
}

void CUninstaller::CallUninstallEnd() {
    if (callback_)
        callback_->OnUninstallEnd();
}

void CUninstaller::SetProgress(int value) {
    char text[32];
    snprintf(text, sizeof(text), "nProgress=%d\n", value);
    OutputDebugStringA(text);
    auto bind = Bind(&CUninstaller::CallUninstallProgress, this, std::min(value, 99));
    PostToUIThread(bind);
}

void CUninstaller::StepFileProgress() {
    filesDone_ = std::min(filesDone_ + 1, filesTotal_);
    // Nothing to divide by: the count found no file, so there is no sweep share to show.
    if (filesTotal_ <= 0)
        return;
    float share = 88.0f * static_cast<float>(filesDone_) / static_cast<float>(filesTotal_);
    SetProgress(static_cast<int>(10.0f + share));
}

void CUninstaller::OnFileStep(void* self) {
    static_cast<CUninstaller*>(self)->StepFileProgress();
}

bool CUninstaller::IsRemovable(const std::wstring& name, const std::wstring& fullPath) const {
    IUninstallRootDirList* list = rootDirList_;
    if (!list && config_)
        list = config_->GetRootDirList();
    if (list && list->Contains(name.c_str()))
        return true;
    DWORD attributes = GetFileAttributesW(fullPath.c_str());
    return !engine::IsFolder(attributes) && VerifyFileSigner(fullPath.c_str());
}

bool CUninstaller::CountRemovableFiles(const std::wstring& dir, int& counter) {
    if (dir.empty() || dir.size() >= MAX_PATH)
        return false;
    std::wstring root = path::StripTrailingSlash(installDir_);
    engine::ForEachEntry(dir, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (path::DirName(entry) == root && !IsRemovable(data.cFileName, entry)) {
            Log(L"File NOT exists in xml: %s", base::ToUpper(data.cFileName).c_str());
            return;
        }
        // A link is removed as one entry; what it points to is never counted nor touched.
        if (engine::IsFolder(data.dwFileAttributes) && !engine::IsLink(data.dwFileAttributes))
            CountRemovableFiles(entry, counter);
        else
            ++counter;
    });
    return true;
}

void CUninstaller::SweepInstallDir(const std::wstring& dir) {
    if (dir.empty() || dir.size() >= MAX_PATH)
        return;
    engine::InstallDirVerdict verdict = engine::CheckInstallDir(dir);
    if (verdict != engine::InstallDirVerdict::kSafe) {
        Log(L"refuse to sweep %s: %s", dir.c_str(), engine::InstallDirVerdictText(verdict));
        return;
    }
    int total = 0;
    filesTotal_ = CountRemovableFiles(dir, total) ? total : kCountFailedTotal;
    engine::ForEachEntry(dir, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (!IsRemovable(data.cFileName, entry)) {
            Log(L"File NOT exists in xml: %s", base::ToUpper(data.cFileName).c_str());
            return;
        }
        if (engine::IsFolder(data.dwFileAttributes) && !engine::IsLink(data.dwFileAttributes)) {
            engine::DeleteTree(entry, leftovers_, &CUninstaller::OnFileStep, this);
            return;
        }
        if (engine::DeleteOrRecord(entry, leftovers_)) {
            Log(L"Delete File: %s", entry.c_str());
            StepFileProgress();
        }
    });
    bool removed = RemoveDirectoryW(dir.c_str()) != 0;
    Log(L"remove directory %s %s", dir.c_str(), removed ? L"suceess" : L"failed.");
}

void CUninstaller::RemoveProductRegistry() {
    if (!config_)
        return;
    wchar_t stored[kMaxRegistryKey] = {};
    config_->GetRegSubKey(stored, static_cast<int>(kMaxRegistryKey));
    if (!stored[0])
        return;
    std::wstring key = ProductKeyPath(stored);
    if (key.empty()) {
        Log(L"registry key %s is not the product's, not deleted", stored);
        return;
    }
    SHDeleteKeyW(config_->GetRegRoot(), key.c_str());
    SHDeleteKeyW(HKEY_CURRENT_USER, kUserKey);
    SHDeleteKeyW(HKEY_CLASSES_ROOT, kClassKey);
}

void CUninstaller::RunSteps() {
    auto start = Bind(&CUninstaller::CallUninstallStart, this);
    PostToUIThread(start);
    SetProgress(1);

    // Every step below deletes or kills by the install folder, which comes from the registry and
    // is acted on with administrator rights. A folder that is not plainly the product's own (a
    // drive root, the Windows folder, Program Files, the profile or one of its folders, the
    // temporary folder, a link) stops the whole removal: nothing is deleted, nothing is killed.
    engine::InstallDirVerdict verdict = engine::CheckInstallDir(installDir_);
    if (verdict == engine::InstallDirVerdict::kSafe) {
        Log(L"start call program");
        if (config_)
            engine::RunProgramCalls(*config_, pluginTask_, installDir_);

        SetProgress(4);
        Log(L"start close all processes");
        if (config_)
            engine::CloseProductProcesses(*config_, installDir_);

        SetProgress(5);
        engine::CallHelperUninst(installDir_);

        Log(L"remove desktop shortcuts");
        engine::RemoveDesktopShortcuts();
        SetProgress(6);

        Log(L"remove start menu shortcuts");
        engine::RemoveStartMenuFolder();

        std::wstring appData = RoamingAppData();
        if (!appData.empty()) {
            std::wstring cache = path::Join(appData, kBrowserCacheFolder);
            if (path::DirExists(cache))
                engine::PurgeFolder(cache);
            Log(L"remove cef cache");
            if (removeUserData_) {
                Log(L"remove appdata");
                std::wstring userData = path::Join(appData, kUserDataFolder);
                if (path::DirExists(userData))
                    engine::PurgeFolder(userData);
            }
        }

        SetProgress(7);
        Log(L"remove file by registry");
        engine::RemoveRegisteredFiles(installDir_, engine::kFileListSubKey, leftovers_);
        engine::RemoveRegisteredFiles(installDir_, engine::kFilePeSubKey, leftovers_);

        Log(L"remove registry");
        RemoveProductRegistry();

        SetProgress(8);
        Log(L"remove autorun");
        engine::RemoveAutorun(installDir_);

        SetProgress(9);
        engine::DeleteUninstallEntry();

        engine::ServiceController productService(L"KsSvc");
        productService.Stop();
        if (!productService.Delete())
            Log(L"delete kssvc fail");

        Log(L"start delete all files in %s", installDir_.c_str());
        SweepInstallDir(installDir_);
        Log(L"end delete all files in %s", installDir_.c_str());

        engine::RemoveLegacyUninstaller();

        Log(L"start uninstall DavarezodazoRA.");
        SetProgress(97);
        engine::ServiceController helperService(L"DavarezodazoRA");
        helperService.Stop();
        helperService.Delete();

        engine::PurgeByExtension(installDir_, L".tmp");
        SetProgress(98);

        Log(L"start create runonce bat");
        engine::WriteRunOnceBatch(leftovers_, installDir_);
    } else {
        Log(L"refuse to uninstall from \"%s\": %s; nothing removed", installDir_.c_str(),
            engine::InstallDirVerdictText(verdict));
    }
    SetProgress(100);

    auto end = Bind(&CUninstaller::CallUninstallEnd, this);
    PostToUIThread(end);

    unsigned long result = report_ ? report_(L"set", appVersion_, productPid_) : 0;
    Log(L"re unistinfo ret=%lu", result);

    _BaseModule::CAutoLocker guard(callbackLock_);
    if (callback_)
        callback_->OnRealInstallEnd();
}
