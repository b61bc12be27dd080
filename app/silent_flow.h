// A silent run (/S): no screen appears and the uninstall starts at once. This object stands
// where the hidden screens would: it hears the engine's progress, records the end and ends the
// UI thread's loop once the engine's last report is out.
#pragma once

#include <windows.h>

#include <string>

#include "base/handle.h"
#include "engine/uninstall_task.h"

class CSilentUninstallFlow : public IUninstallCallback {
  public:
    // Starts the uninstall and runs the UI thread's message loop (the engine's progress arrives
    // through it) until the engine has finished. Returns the loop's exit code.
    int Run(IUninstallTask& task);

    void OnUninstallStart() override;
    void OnUninstallProgress(int percent) override;
    void OnUninstallEnd() override;
    void OnRealInstallEnd() override;

  private:
    DWORD uiThreadId_ = 0;
    std::wstring installDate_;
    base::UniqueHandle realEndEvent_;
};
