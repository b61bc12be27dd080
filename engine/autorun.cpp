#include "engine/autorun.h"

#include <objbase.h>
#include <taskschd.h>

#include "app/log.h"
#include "base/com_ptr.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "sysinfo/os_version.h"

namespace engine {
namespace {

// The Task Scheduler 2.0 class; spelled out here so that no import library is needed for it.
constexpr CLSID kClsidTaskScheduler = {
    0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};

void DeleteRunValue(HKEY root, const wchar_t* name, base::RegView view) {
    base::RegKey key;
    if (key.Open(root, kRunKey, KEY_ALL_ACCESS, view))
        key.DeleteValue(name);
}

// Balances a successful CoInitializeEx (S_FALSE included: it still counts as a reference). A
// thread already in the multithreaded apartment answers RPC_E_CHANGED_MODE: COM works there as it
// is, and there is nothing to balance.
class ComScope {
  public:
    ComScope() {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        initialized_ = SUCCEEDED(hr);
        usable_ = initialized_ || hr == RPC_E_CHANGED_MODE;
    }
    ~ComScope() {
        if (initialized_)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Ok() const { return usable_; }

  private:
    bool initialized_ = false;
    bool usable_ = false;
};

}  // namespace

int Autorun::DeleteAutorunValue(const wchar_t* name) {
    if (!name || !*name)
        return 1;
    DeleteRunValue(HKEY_CURRENT_USER, name, base::RegView::kDefault);
    DeleteRunValue(HKEY_LOCAL_MACHINE, name, base::RegView::kDefault);
    return 1;
}

int Autorun::DeleteAutorunTask(const wchar_t* name) {
    // No task is ever deleted by an empty name; there is simply nothing of that name.
    if (!name || !*name)
        return 1;
    ComScope com;
    if (!com.Ok())
        return 0;
    // The process may have set its security already (or COM may have set the default on first
    // use); then this answers RPC_E_TOO_LATE and the existing settings stay, which is fine.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);

    base::ComPtr<ITaskService> service;
    if (FAILED(CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(ITaskService), service.PutVoid())))
        return 0;
    VARIANT empty;
    VariantInit(&empty);
    if (FAILED(service->Connect(empty, empty, empty, empty)))
        Log(L"Task Scheduler connect failed");
    base::ComPtr<ITaskFolder> root;
    BSTR rootPath = SysAllocString(L"\\");
    HRESULT hr = service->GetFolder(rootPath, root.Put());
    SysFreeString(rootPath);
    if (SUCCEEDED(hr) && root) {
        BSTR taskName = SysAllocString(name);
        root->DeleteTask(taskName, 0);
        SysFreeString(taskName);
    }
    return 1;
}

void RemoveAutorun(const std::wstring& installDir) {
    // Only an existing settings file is switched: writing creates the file, and a new file in
    // the install folder is not on the install-root list, so the sweep would leave it behind.
    std::wstring settings = path::Join(installDir, L"config.set");
    if (!installDir.empty() && path::FileExists(settings))
        WritePrivateProfileStringW(L"auto_run", L"open", L"0", settings.c_str());

    Autorun autorun;
    Log(L"Delete AutoRun Registry, ret = %d", autorun.DeleteAutorunValue(kAutorunName));
    Log(L"Delete AutoRun Task Schedule, ret = %d", autorun.DeleteAutorunTask(kAutorunName));

    // The product's installer is a 32-bit program, so its machine Run value normally lives in
    // the 32-bit view; a 64-bit helper of the product may have written the 64-bit one too.
    DeleteRunValue(HKEY_LOCAL_MACHINE, kRunValueName, base::RegView::kDefault);
    if (Is64BitMachine())
        DeleteRunValue(HKEY_LOCAL_MACHINE, kRunValueName, base::RegView::k64);
}

}  // namespace engine
