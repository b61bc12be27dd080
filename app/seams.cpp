#include "app/seams.h"

#include "app/log.h"
#include "app/silent.h"
#include "base/handle.h"
#include "sysinfo/machine_id.h"
#include "trust/signature.h"

namespace seams {
namespace {
std::wstring g_installDir;
}  // namespace

bool IsSignedByMaker(const std::wstring& path) {
    return VerifyFileSigner(path.c_str());
}

std::wstring MachineId() {
    return GetMid();
}

// Statistics and the web service arrive with the reporting library; until then no event leaves.
void SetStatisticProduct(const std::wstring&) {}
void ReportEvent(const wchar_t*, const std::wstring&, bool) {}
void BindHttpLibrary(const std::wstring&) {}
void StartServerConfigFetch() {}
void ReleaseServerConfig() {}

// The engine check: the module loads and has the archive factory.
bool LoadArchiveEngine(const std::wstring& dllPath) {
    base::UniqueModule engine(
        LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return engine && GetProcAddress(engine.Get(), "CreateObject") != nullptr;
}

void SetInstallDir(const std::wstring& installDir) {
    g_installDir = installDir;
}

bool InitConfig(HINSTANCE) {
    Log(L"configuration loading is not part of this build");
    return true;
}

// The skinned message box arrives with the screens; until then the log shows what it would say.
int ShowMessage(const wchar_t* text, UINT style) {
    if (IsSilentRun())
        return -1;
    Log(L"message box: %s", text);
    return (style & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
}

int RunMainWindow(const std::wstring&, int) {
    Log(L"main window is not part of this build");
    return 0;
}

void RestoreDesktopIntegration() {
    Log(L"keep mode: restore is not part of this build");
}

void DeleteOwnDirectory(const std::wstring& dir) {
    Log(L"own directory left in place: %s", dir.c_str());
}

}  // namespace seams
