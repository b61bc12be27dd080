// The screens' one way into the uninstall engine: the task interface and the callback through
// which the engine reports its progress back to them.
#pragma once

#include <windows.h>

// Implemented by the window that shows the progress. The first three operations are called on
// the UI thread, OnRealInstallEnd on the uninstall worker (after it, the engine touches nothing
// the window owns).
class IUninstallCallback {
  public:
    virtual void OnUninstallStart() = 0;
    // 0 to 99; a request for 100 arrives as 99.
    virtual void OnUninstallProgress(int percent) = 0;
    virtual void OnUninstallEnd() = 0;
    virtual void OnRealInstallEnd() = 0;

  protected:
    ~IUninstallCallback() = default;
};

// The operations keep this slot order.
class IUninstallTask {
  public:
    // 0 when ready; 2 when the uninstaller's own file fails its signature check; 3 when the
    // archive engine 7z.dll beside it does not load. Creates the UI-thread window on the way.
    virtual int PreInitCheck() = 0;
    // Loads the embedded setup project (arguments as CSetupConfig::LoadFromResource).
    virtual bool InitConfig(HMODULE module, int resourceId, const wchar_t* resourceType,
                            const wchar_t* projectFileName) = 0;
    // Starts the worker thread that runs every uninstall step; `callback` hears about it.
    virtual void StartUninstall(IUninstallCallback* callback) = 0;
    virtual void WriteLog(const wchar_t* text) = 0;
    virtual bool IsGameCenterUnplayed() = 0;
    virtual void SetUninstallGameCenter(bool uninstall) = 0;
    virtual bool IsGameCenterOfThisProduct() = 0;
    virtual void SetRemoveUserData(bool remove) = 0;
    virtual void SetInstallDir(const wchar_t* dir) = 0;
    // Copies the install folder when it is set, `buffer` is not null and it fits (terminator
    // included); otherwise leaves the buffer untouched.
    virtual void GetInstallDir(wchar_t* buffer, int capacity) = 0;
    // After this the engine calls nothing of the callback given to StartUninstall.
    virtual void DetachCallback() = 0;
    virtual bool CanUninstall() = 0;
    virtual void Shutdown() = 0;

  protected:
    ~IUninstallTask() = default;
};

// The process's one uninstall task.
IUninstallTask* GetUninstallTask();

class CSetupConfig;
class CUninstaller;
// The same task's setup project and driver, for the steps and for wiring.
CSetupConfig& GetUninstallConfig();
CUninstaller& GetUninstaller();
