#include "engine/program_calls.h"

#include <shlwapi.h>

#include <vector>

#include "app/launch.h"
#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "sysinfo/os_version.h"
#include "base/strings.h"
#include "config/setup_config.h"
#include "engine/process_shutdown.h"
#include "engine/uninstall_registry.h"
#include "product/product_info.h"
#include "trust/signature.h"
#include "trust/signature_check.h"

namespace engine {
namespace {

constexpr DWORD kMaxExeWait = 50000;
constexpr DWORD kRunListExeWait = 60000;
constexpr DWORD kPluginWait = 3000;
constexpr wchar_t kPluginAppPathsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\REVIzuduzodoZeravo.exe";
// The largest output a run_list DLL may ask for on its second call. Its count is only logged, so
// a module that answers nonsense gets its first buffer's text instead of a huge allocation.
constexpr int kMaxInterfaceOutput = 64 * 1024;

using OneArgumentExport = int(WINAPI*)(const wchar_t* argument);
using InterfaceExport = int(WINAPI*)(const wchar_t* argument, wchar_t* output, int capacity);

// GetProcAddress answers a generic function pointer; going through void* states that the real
// type comes from the export's contract, not from the compiler.
template <typename Function>
Function FindExport(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The product's modules lie outside this program; a fault inside one of them must not end the
// uninstall (every step is meant to run to the end), so each call runs inside a structured-
// exception frame. The contexts hold only plain pointers: a fault abandons the frames between
// it and the guard without running destructors.
struct OneArgumentCall {
    OneArgumentExport function;
    const wchar_t* argument;
};

bool InvokeOneArgument(void* context) {
    auto* call = static_cast<OneArgumentCall*>(context);
    call->function(call->argument);
    return true;
}

struct InterfaceCall {
    InterfaceExport function;
    const wchar_t* argument;
    wchar_t* output;
    int capacity;
    int count;
};

bool InvokeInterface(void* context) {
    auto* call = static_cast<InterfaceCall*>(context);
    call->count = call->function(call->argument, call->output, call->capacity);
    return true;
}

struct LaunchCall {
    const wchar_t* path;
    const wchar_t* parameters;
    int show;
    bool verify;
    bool wait;
    DWORD* exitCode;
    DWORD timeout;
};

bool InvokeLaunch(void* context) {
    auto* call = static_cast<LaunchCall*>(context);
    return LaunchProgram(call->path, call->parameters, call->show, call->verify, call->wait,
                         call->exitCode, call->timeout);
}

// The product whose helpers are called is the one installed in `installDir`. The running module
// is the temporary copy, next to which no product's main program lies, so the product is looked
// up by the install folder; this product's own row is the fallback.
std::wstring ProductShortName(const std::wstring& installDir) {
    int id = product::ProductIdInDirectory(installDir);
    std::wstring name =
        product::ProductValue(id ? id : product::kThisProductId, product::Column::kShortName);
    return name;
}

std::string WideToThreadAnsi(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

std::wstring Extension(const std::wstring& path) {
    return PathFindExtensionW(path.c_str());
}

// <installDir>\<name> for a name taken from a list the uninstaller did not write. The product's
// helpers run elevated and unattended: a name that climbs out of the install folder would run
// (or, through /Regtest, run unchecked) whatever it points at, so such names are refused.
bool ResolveListedFile(const std::wstring& installDir, const std::wstring& name,
                       std::wstring& path) {
    std::wstring relative = name;
    while (!relative.empty() && (relative.front() == L'\\' || relative.front() == L'/'))
        relative.erase(0, 1);
    if (!IsSafeRelativeName(relative)) {
        Log(L"refuse listed program outside the install folder: %s", name.c_str());
        return false;
    }
    path = path::Join(installDir, relative);
    return path.size() < MAX_PATH;
}

// One value of a list key: its name and its string data. False at the end of the list; `usable`
// tells whether this value could be read as a string within `maxDataBytes`.
bool EnumStringValue(HKEY key, DWORD index, DWORD maxDataBytes, std::wstring& name,
                     std::wstring& data, bool& usable) {
    wchar_t nameBuffer[MAX_PATH] = {};
    DWORD nameLength = MAX_PATH;
    std::vector<BYTE> dataBuffer(maxDataBytes + sizeof(wchar_t), 0);
    DWORD dataSize = maxDataBytes;
    DWORD type = 0;
    LONG result = RegEnumValueW(key, index, nameBuffer, &nameLength, nullptr, &type,
                                dataBuffer.data(), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS)
        return false;
    usable = result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
        return false;
    name.assign(nameBuffer, nameLength);
    // The data need not carry its terminator; the extra zeroed bytes above end it either way.
    data = reinterpret_cast<const wchar_t*>(dataBuffer.data());
    return true;
}

}  // namespace

bool RunProgram(const wchar_t* path, const wchar_t* parameters, int show, bool verify, bool wait,
                DWORD* exitCode, DWORD timeout) {
    LaunchCall call = {path, parameters, show, verify, wait, exitCode, timeout};
    return trust::RunGuarded(&InvokeLaunch, &call);
}

void RunExe(const std::wstring& path, const std::wstring& parameters, bool verify, bool wait,
            DWORD timeout) {
    if (!path::FileExists(path))
        return;
    // A copy of the program that is still running (from an earlier call or a user start) would
    // keep its file busy and may refuse a second instance.
    KillProcessByPath(path.c_str());
    Log(L"call exe begin, path=[%s] cmd=[%s]", path.c_str(), parameters.c_str());
    bool started =
        RunProgram(path.c_str(), parameters.c_str(), SW_SHOWNORMAL, verify, wait, nullptr, timeout);
    Log(L"call exe return [%d], path=[%s], cmd=[%s], sync[%d]", started ? 1 : 0, path.c_str(),
        parameters.c_str(), wait ? 1 : 0);
}

void CallDllExport(const std::wstring& dllPath, const char* exportName, const wchar_t* argument,
                   bool verify) {
    if (verify && !VerifyFileSigner(dllPath.c_str())) {
        Log(L"file[%s] check sign fail.", dllPath.c_str());
        return;
    }
    // The DLL's own dependencies come from its folder, not from the uninstaller's.
    base::UniqueModule module(
        LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module)
        return;
    auto function = FindExport<OneArgumentExport>(module.Get(), exportName);
    if (!function)
        return;
    Log(L"call dll func start, path=[%s]", dllPath.c_str());
    OneArgumentCall call = {function, argument ? argument : L""};
    if (!trust::RunGuarded(&InvokeOneArgument, &call))
        Log(L"call dll func fault, path=[%s]", dllPath.c_str());
    Log(L"call dll fun end, path=[%s]", dllPath.c_str());
}

std::wstring CallDllInterfaceEx(const std::wstring& dllPath, const char* exportName,
                                const std::wstring& argument, bool verify) {
    Log(L"Call Dll Interface Ex ,path=[%s]", dllPath.c_str());
    if (verify && !VerifyFileSigner(dllPath.c_str())) {
        Log(L"file[%s] check sign fail", dllPath.c_str());
        return {};
    }
    base::UniqueModule module(
        LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module)
        return {};
    auto function = FindExport<InterfaceExport>(module.Get(), exportName);
    if (!function)
        return {};
    Log(L"call dll func start, path=[%s]", dllPath.c_str());
    std::vector<wchar_t> output(MAX_PATH, L'\0');
    InterfaceCall call = {function, argument.c_str(), output.data(), MAX_PATH, 0};
    bool completed = trust::RunGuarded(&InvokeInterface, &call);
    if (completed && call.count > 0 && call.count <= kMaxInterfaceOutput) {
        output.assign(static_cast<size_t>(call.count) + 1, L'\0');
        call.output = output.data();
        call.capacity = call.count + 1;
        completed = trust::RunGuarded(&InvokeInterface, &call);
    }
    if (!completed) {
        Log(L"call dll func fault, path=[%s]", dllPath.c_str());
        output.assign(1, L'\0');
    }
    output.back() = L'\0';
    Log(L"call dll fun end, path=[%s]", dllPath.c_str());
    return output.data();
}

void CPluginTask::StartTask(const std::wstring& installDir) {
    BOOL started = FALSE;
    DWORD exitCode = static_cast<DWORD>(-1);
    wchar_t parameter[MAX_PATH] = {};
    std::wstring settings = path::Join(installDir, L"config.set");
    if (!installDir.empty())
        GetPrivateProfileStringW(L"plugin_xd", L"uninstall_cmd_param", L"", parameter, MAX_PATH,
                                 settings.c_str());
    if (parameter[0]) {
        std::wstring launcher;
        base::ReadRegString(HKEY_LOCAL_MACHINE, kPluginAppPathsKey, L"Launcher", launcher);
        if (!launcher.empty()) {
            started = RunProgram(launcher.c_str(), parameter, SW_SHOWNORMAL, false, true, &exitCode,
                                 kPluginWait);
            if (!started)
                exitCode = static_cast<DWORD>(-1);
        }
    }
    Log(L"CPluginTask::StartTask result=%d code=%d", started, static_cast<int>(exitCode));
}

DWORD UninstallProgramWait(int waitTime) {
    if (waitTime <= 0 || static_cast<DWORD>(waitTime) > kMaxExeWait)
        return kMaxExeWait;
    return static_cast<DWORD>(waitTime);
}

void CallUninstallPrograms(const ISetupConfig& config, const std::wstring& installDir) {
    for (int i = 0; i < config.GetCallOnUninstallCount(); ++i) {
        CallProgramRecord item;
        if (!config.GetCallOnUninstall(i, &item))
            continue;
        std::wstring path = path::Join(installDir, item.fileName);
        if (path.size() >= MAX_PATH)
            continue;
        if (!path::FileExists(path)) {
            Log(L"file[%s] is not exist", path.c_str());
            continue;
        }
        bool signedOk = item.signType[0] ? VerifyFileSignedBy(path.c_str(), item.signType)
                                         : VerifyFileSigner(path.c_str());
        if (!signedOk) {
            Log(L"check sign fail, signType[%s], filepath[%s]", item.signType, path.c_str());
            continue;
        }
        if (base::EqualsNoCase(item.type, L"exe")) {
            RunExe(path, item.cmdline, false, item.sync != 0, UninstallProgramWait(item.waitTime));
        } else if (base::EqualsNoCase(item.type, L"dll")) {
            std::string function = WideToThreadAnsi(item.funcName);
            CallDllExport(path, function.c_str(), item.para, false);
        }
    }
}

void CallRundllItems(const CSetupConfig& config, const std::wstring& installDir) {
    std::wstring launcher =
        path::Join(installDir, Is64BitMachine() ? L"Utils\\rundll64.exe" : L"Utils\\rundll.exe");
    if (!VerifyFileSigner(launcher.c_str()))
        return;
    for (int i = 0; i < config.GetRundllItemCount(); ++i) {
        RundllRecord item;
        if (!config.GetRundllItem(i, &item))
            continue;
        std::wstring dll = path::Join(installDir, item.fileName);
        if (!path::FileExists(dll)) {
            Log(L"file[%s] is not exist", dll.c_str());
            continue;
        }
        std::wstring parameters = base::Format(1024, L"--dll=\"%s\" --entry=%s %s", dll.c_str(),
                                               item.entry, item.cmdline);
        RunExe(launcher, parameters, false, true,
               item.waitTime > 0 ? static_cast<DWORD>(item.waitTime) : 0);
    }
}

void CallRunList(const std::wstring& installDir) {
    if (installDir.empty() || !path::DirExists(installDir))
        return;
    base::RegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, product::kRunListKey, KEY_ALL_ACCESS))
        return;
    std::wstring name;
    std::wstring argument;
    bool usable = false;
    for (DWORD index = 0; EnumStringValue(key.Get(), index, MAX_PATH, name, argument, usable);
         ++index) {
        std::wstring path;
        if (!usable || !ResolveListedFile(installDir, name, path) || !path::FileExists(path))
            continue;
        bool verify = true;
        if (argument.find(L"/Regtest") != std::wstring::npos) {
            Log(L"Regtest, no need to check sign.");
            verify = false;
        }
        std::wstring extension = Extension(path);
        Log(L"file extension:%s", extension.c_str());
        if (base::EqualsNoCase(extension, L".DLL") || base::EqualsNoCase(extension, L".TPI")) {
            std::wstring result = CallDllInterfaceEx(path, "Uninst", argument, verify);
            Log(L"CallDllInterfaceEx return value=%s", result.c_str());
        } else if (base::EqualsNoCase(extension, L".EXE")) {
            std::wstring parameters =
                base::Format(2048, L"%s --PRODUCT=%s --PID=%s", argument.c_str(),
                             ProductShortName(installDir).c_str(), GetPid().c_str());
            KillProcessByPath(path.c_str());
            Log(L"call exe begin, path=[%s] ,cmd=[%s]", path.c_str(), parameters.c_str());
            bool started = RunProgram(path.c_str(), parameters.c_str(), SW_SHOWNORMAL, verify, true,
                                      nullptr, kRunListExeWait);
            Log(L"call exe return [%d], path=[%s], cmd=[%s], sync[%d]", started ? 1 : 0,
                path.c_str(), parameters.c_str(), 1);
        }
    }
}

void CallFilePe(const std::wstring& installDir) {
    if (installDir.empty() || !path::DirExists(installDir))
        return;
    base::RegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kFilePeSubKey, KEY_READ))
        return;
    std::wstring name;
    std::wstring argument;
    bool usable = false;
    for (DWORD index = 0; EnumStringValue(key.Get(), index, 4096, name, argument, usable);
         ++index) {
        std::wstring path;
        if (!usable || !ResolveListedFile(installDir, name, path) || !path::FileExists(path))
            continue;
        std::wstring extension = Extension(path);
        if (base::EqualsNoCase(extension, L".dll")) {
            CallDllExport(path, "Uninst", argument.c_str(), true);
        } else if (base::EqualsNoCase(extension, L".exe")) {
            RunExe(path, argument + L" /uninstall /product=bizhi", true, true, kMaxExeWait);
        }
    }
}

void RunProgramCalls(const CSetupConfig& config, CPluginTask& plugin,
                     const std::wstring& installDir) {
    CallUninstallPrograms(config, installDir);
    CallRundllItems(config, installDir);
    plugin.StartTask(installDir);
    CallRunList(installDir);
    CallFilePe(installDir);
}

void CallHelperUninst(const std::wstring& installDir) {
    if (installDir.empty())
        return;
    CallDllExport(installDir + L"\\wallpaperhelper\\Pelmora12.dll", "Uninst", L"", true);
}

}  // namespace engine
