// The uninstall driver: runs the fixed list of removal steps on a worker thread and reports the
// progress to the screens through IUninstallCallback.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/threads.h"
#include "base/locker.h"
#include "engine/program_calls.h"
#include "engine/uninstall_task.h"

class CSetupConfig;
class IUninstallRootDirList;

// The uninstall-information report sent at the end of a run (type "set", the product's version
// and pid), answering the report's result; ReportUninstallInfo unless replaced (tests).
using ReportUninstallInfoFunction = unsigned long (*)(const wchar_t* type,
                                                      const std::wstring& appVersion,
                                                      const std::wstring& productPid);

class CUninstaller : public IThreadCallback {
  public:
    CUninstaller();
    ~CUninstaller();
    CUninstaller(const CUninstaller&) = delete;
    CUninstaller& operator=(const CUninstaller&) = delete;

    // Where the steps read the setup project (and, unless replaced, the install-root list).
    void SetConfig(CSetupConfig* config) { config_ = config; }
    void SetRootDirList(IUninstallRootDirList* list) { rootDirList_ = list; }
    void SetReportFunction(ReportUninstallInfoFunction report) { report_ = report; }

    // Stores the callback and starts the worker; false when it could not start (or ran already).
    bool Start(IUninstallCallback* callback);
    // Waits for the worker to end (at most `timeoutMs`).
    bool Wait(DWORD timeoutMs);
    HANDLE ThreadHandle() const { return thread_.ThreadHandle(); }
    void DetachCallback();

    void SetInstallDir(const wchar_t* dir) { installDir_ = dir ? dir : L""; }
    const std::wstring& InstallDir() const { return installDir_; }
    void SetRemoveUserData(bool remove) { removeUserData_ = remove; }
    void SetUninstallGameCenter(bool uninstall);
    void SetGameCenterIsOurs(bool ours) { gameCenterIsOurs_ = ours; }

    // The worker's body: reads the version and pid, then RunSteps.
    void Run(void* parameter) override;
    void RunSteps();

    // Progress: "nProgress=%d" to the debugger, then min(value, 99) to the window.
    void SetProgress(int value);
    // One more file of the sweep: 10 + 88 * done / total, in single precision, truncated.
    void StepFileProgress();

    // Removes what belongs to the product directly inside `dir` (listed or signed entries),
    // then `dir` itself when that leaves it empty.
    void SweepInstallDir(const std::wstring& dir);
    // How many files the sweep of `dir` will meet; false for an empty or too long path.
    bool CountRemovableFiles(const std::wstring& dir, int& counter);

    int FilesDone() const { return filesDone_; }
    int FilesTotal() const { return filesTotal_; }
    void SetFilesTotal(int total) { filesTotal_ = total; }
    std::vector<std::wstring>& Leftovers() { return leftovers_; }

  private:
    // Hands a bound call to the UI thread and waits until it ran there; dropped when the
    // UI-thread window does not exist.
    void PostToUIThread(ISimpleBind& bind);
    // Bound to the UI thread; each calls the callback only when one is attached at that moment.
    void CallUninstallStart();
    void CallUninstallProgress(int percent);
    void CallUninstallEnd();

    bool IsRemovable(const std::wstring& name, const std::wstring& fullPath) const;
    static void OnFileStep(void* self);
    void RemoveProductRegistry();

    int filesDone_ = 0;
    std::wstring installDir_;
    std::vector<std::wstring> leftovers_;
    IUninstallCallback* callback_ = nullptr;
    CXThread thread_;
    bool uninstallGameCenter_ = false;
    bool gameCenterIsOurs_ = false;
    bool removeUserData_ = false;
    _BaseModule::CCriticalSection callbackLock_;
    int filesTotal_ = 0;
    std::wstring appVersion_;
    std::wstring productPid_;
    engine::CPluginTask pluginTask_;

    CSetupConfig* config_ = nullptr;
    IUninstallRootDirList* rootDirList_ = nullptr;
    ReportUninstallInfoFunction report_ = nullptr;
};
