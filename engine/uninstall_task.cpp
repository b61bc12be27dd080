#include "engine/uninstall_task.h"

#include <string>

#include "app/log.h"
#include "app/threads.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "config/setup_config.h"
#include "config/seven_zip.h"
#include "engine/uninstaller.h"
#include "trust/signature.h"

namespace {

constexpr wchar_t kGameCenterKey[] = L"SOFTWARE\\VRNGameCenter";
// The values are read with a 260-byte buffer: 130 characters with the terminator.
constexpr size_t kGameCenterValueChars = 260 / sizeof(wchar_t);

class CUninstallTask : public IUninstallTask {
  public:
    CUninstallTask() { uninstaller_.SetConfig(&config_); }

    int PreInitCheck() override {
        if (!VerifyFileSigner(path::ModulePath().c_str()))
            return 2;
        CreateUIThreadWindow();
        return config::LoadEngine(path::Join(path::ModuleDir(), L"7z.dll")) ? 0 : 3;
    }
    bool InitConfig(HMODULE module, int resourceId, const wchar_t* resourceType,
                    const wchar_t* projectFileName) override {
        return config_.LoadFromResource(module, resourceId, resourceType, projectFileName);
    }
    void StartUninstall(IUninstallCallback* callback) override { uninstaller_.Start(callback); }
    void WriteLog(const wchar_t* text) override { Log(L"%s", text ? text : L""); }
    bool IsGameCenterUnplayed() override {
        std::wstring played;
        return !base::ReadRegString(HKEY_LOCAL_MACHINE, kGameCenterKey, L"Played", played,
                                    base::RegView::kDefault, kGameCenterValueChars) ||
               played.empty();
    }
    void SetUninstallGameCenter(bool uninstall) override {
        uninstaller_.SetUninstallGameCenter(uninstall);
    }
    bool IsGameCenterOfThisProduct() override {
        std::wstring vendor;
        bool ours = base::ReadRegString(HKEY_LOCAL_MACHINE, kGameCenterKey, L"VendorID", vendor,
                                        base::RegView::kDefault, kGameCenterValueChars) &&
                    base::ToLower(vendor).find(L"bizhi") != std::wstring::npos;
        uninstaller_.SetGameCenterIsOurs(ours);
        return ours;
    }
    void SetRemoveUserData(bool remove) override { uninstaller_.SetRemoveUserData(remove); }
    void SetInstallDir(const wchar_t* dir) override { uninstaller_.SetInstallDir(dir); }
    void GetInstallDir(wchar_t* buffer, int capacity) override {
        const std::wstring& dir = uninstaller_.InstallDir();
        if (dir.empty() || !buffer || capacity <= 0 || dir.size() >= static_cast<size_t>(capacity))
            return;
        dir.copy(buffer, dir.size());
        buffer[dir.size()] = 0;
    }
    void DetachCallback() override { uninstaller_.DetachCallback(); }
    bool CanUninstall() override { return true; }
    void Shutdown() override {}

    CSetupConfig& Config() { return config_; }
    CUninstaller& Uninstaller() { return uninstaller_; }

  private:
    CSetupConfig config_;
    CUninstaller uninstaller_;
    std::wstring unused_;
};

// Built before wWinMain runs and never destroyed before exit.
CUninstallTask g_uninstallTask;

}  // namespace

IUninstallTask* GetUninstallTask() {
    return &g_uninstallTask;
}

CSetupConfig& GetUninstallConfig() {
    return g_uninstallTask.Config();
}

CUninstaller& GetUninstaller() {
    return g_uninstallTask.Uninstaller();
}
