#include "app/silent_flow.h"

#include "app/log.h"
#include "app/uninstall_end.h"
#include "base/reg_key.h"
#include "product/product_info.h"

namespace {

// The longest the UI thread waits for the engine's final report.
constexpr DWORD kRealEndWaitMs = 1200000;

}  // namespace

int CSilentUninstallFlow::Run(IUninstallTask& task) {
    uiThreadId_ = GetCurrentThreadId();
    task.StartUninstall(this);
    MSG msg;
    int result = 0;
    while (int got = GetMessageW(&msg, nullptr, 0, 0)) {
        if (got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    result = static_cast<int>(msg.wParam);
    // The worker's last call (after its final report) signals this; the process must not end
    // before it.
    if (realEndEvent_)
        WaitForSingleObject(realEndEvent_.Get(), kRealEndWaitMs);
    task.DetachCallback();
    return result;
}

void CSilentUninstallFlow::OnUninstallStart() {
    Log(L"OnUninstallStart callback...");
    if (!base::ReadRegString(HKEY_LOCAL_MACHINE, product::kAppPathsKey, L"InstallDate",
                             installDate_)) {
        installDate_.clear();
    }
}

void CSilentUninstallFlow::OnUninstallProgress(int percent) {
    Log(L"Progress: %d", percent);
}

void CSilentUninstallFlow::OnUninstallEnd() {
    if (!realEndEvent_)
        realEndEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    RecordUninstallEnd(installDate_);
    PostQuitMessage(0);
}

void CSilentUninstallFlow::OnRealInstallEnd() {
    if (realEndEvent_) {
        SetEvent(realEndEvent_.Get());
    } else {
        // The engine ended without its end-of-uninstall call (it refused to run): the loop
        // would otherwise wait for ever.
        PostThreadMessageW(uiThreadId_, WM_QUIT, 0, 0);
    }
    Log(L"CInstallingModel::OnRealInstallEnd");
}
