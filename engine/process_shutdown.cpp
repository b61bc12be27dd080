#include "engine/process_shutdown.h"

#include <psapi.h>

#include <vector>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"
#include "config/setup_config.h"
#include "engine/install_dir_guard.h"

namespace engine {

namespace {

constexpr DWORD kMaxProcesses = 512;
constexpr int kImagePathCapacity = 1024;
constexpr wchar_t kQuitBroadcast[] = L"Zemwallpaper_quit";
constexpr wchar_t kPendantWindowClass[] = L"KestiWpCtrlCls";
// Runs from the install folder but belongs to another product sharing it; it stays.
constexpr wchar_t kIgnoredImage[] = L"VorIva\\VorIva.exe";

std::vector<DWORD> ProcessIds(bool logFailure) {
    // Room for 512 ids at first; a full list may have been cut, so it is asked again with more
    // room: a product process left out of the list would keep its files locked.
    std::vector<DWORD> ids(kMaxProcesses);
    for (;;) {
        DWORD bytes = 0;
        DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!EnumProcesses(ids.data(), capacity, &bytes)) {
            if (logFailure)
                Log(L"EnumProcesses fail dwError = %lu", GetLastError());
            return {};
        }
        if (bytes < capacity || ids.size() >= 64 * kMaxProcesses) {
            ids.resize(bytes / sizeof(DWORD));
            return ids;
        }
        ids.resize(ids.size() * 2);
    }
}

std::wstring ImagePath(DWORD processId) {
    wchar_t buffer[kImagePathCapacity] = {};
    int length = GetProcessImagePath(processId, buffer, kImagePathCapacity);
    return std::wstring(buffer, length > 0 ? length : 0);
}

bool Terminate(DWORD processId) {
    base::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    return process && TerminateProcess(process.Get(), 0);
}

}  // namespace

bool EnableDebugPrivilege() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken))
        return false;
    base::UniqueHandle token(rawToken);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid))
        return false;
    return AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr,
                                 nullptr) != 0;
}

// From the basic information of NtQueryInformationProcess (class 0), looked up by name.
DWORD ParentProcessId() {
    struct BasicInformation {
        LONG exitStatus;
        void* pebBaseAddress;
        ULONG_PTR affinityMask;
        LONG basePriority;
        ULONG_PTR uniqueProcessId;
        ULONG_PTR inheritedFromUniqueProcessId;
    };
    using QueryFunction = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll ? reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
                             GetProcAddress(ntdll, "NtQueryInformationProcess")))
                       : nullptr;
    if (!query)
        return static_cast<DWORD>(-1);
    BasicInformation information = {};
    ULONG length = 0;
    if (query(GetCurrentProcess(), 0, &information, sizeof(information), &length) < 0)
        return static_cast<DWORD>(-1);
    return static_cast<DWORD>(information.inheritedFromUniqueProcessId);
}

int GetProcessImagePath(DWORD processId, wchar_t* buffer, int capacity, bool logFailures) {
    if (!buffer || capacity < 100)
        return 0;
    buffer[0] = 0;
    base::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process)
        process.Reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        if (logFailures) {
            Log(L"[kill] OpenProcess Failed: pid = %d, error = %d", static_cast<int>(processId),
                static_cast<int>(GetLastError()));
        }
        return 0;
    }
    wchar_t name[kImagePathCapacity] = {};
    // QueryFullProcessImageNameW also answers for 64-bit processes, which the module-file query
    // of a 32-bit process cannot read; the module query stays as the fallback.
    DWORD length = kImagePathCapacity;
    if (!QueryFullProcessImageNameW(process.Get(), 0, name, &length)) {
        length = GetModuleFileNameExW(process.Get(), nullptr, name, kImagePathCapacity);
        if (length == 0) {
            if (logFailures) {
                Log(L"[kill] GetModuleFileNameEx Failed: pid = %d, error = %d",
                    static_cast<int>(processId), static_cast<int>(GetLastError()));
            }
            return 0;
        }
    }
    std::wstring image(name, length);
    if (image.find(L'~') != std::wstring::npos) {
        wchar_t longName[kImagePathCapacity] = {};
        DWORD longLength = GetLongPathNameW(image.c_str(), longName, kImagePathCapacity);
        if (longLength > 0 && longLength < kImagePathCapacity - 1)
            image.assign(longName, longLength);
    }
    int count = static_cast<int>(image.size());
    if (count >= capacity)
        count = capacity - 1;
    image.copy(buffer, count);
    buffer[count] = 0;
    return count;
}

int KillMultiProcesses(const wchar_t* dir, int* killed) {
    Log(L"enter KillMultiProcesses");
    if (killed)
        *killed = 0;
    size_t dirLength = dir ? wcslen(dir) : 0;
    if (!dir || dirLength < 4 || dirLength > MAX_PATH)
        return 0;
    // The kill is by folder, and the folder came from the registry: a folder that holds the
    // system or the user's programs would take them all down with it.
    InstallDirVerdict verdict = CheckInstallDir(dir);
    if (verdict != InstallDirVerdict::kSafe) {
        Log(L"refuse to kill processes in %s: %s", dir, InstallDirVerdictText(verdict));
        return 0;
    }
    EnableDebugPrivilege();
    std::vector<DWORD> ids = ProcessIds(true);
    if (ids.empty())
        return 0;
    std::wstring folder = NormalizePath(dir);
    std::wstring ignored = path::Join(folder, kIgnoredImage);
    DWORD self = GetCurrentProcessId();
    DWORD parent = ParentProcessId();
    int count = 0;
    for (DWORD id : ids) {
        if (id == 0 || id == self || id == parent)
            continue;
        std::wstring image = ImagePath(id);
        // Below the folder on a path boundary: C:\Apps\Wp must not take C:\Apps\WpOld\x.exe.
        if (image.empty() || !IsBelow(image, folder))
            continue;
        if (base::EqualsNoCase(image, ignored)) {
            Log(L"Ignore process : %s", image.c_str());
            continue;
        }
        if (Terminate(id)) {
            Log(L"Kill process: %s", image.c_str());
            ++count;
        }
    }
    if (killed)
        *killed = count;
    Log(L"end KillMultiProcesses");
    return 0;
}

int KillProcessByPath(const wchar_t* path) {
    if (!path || !*path || wcslen(path) > MAX_PATH)
        return 0;
    EnableDebugPrivilege();
    DWORD self = GetCurrentProcessId();
    for (DWORD id : ProcessIds(false)) {
        if (id == 0 || id == self)
            continue;
        std::wstring image = ImagePath(id);
        if (image.empty() || !base::EqualsNoCase(image, path))
            continue;
        Terminate(id);
        Log(L"Kill process: %s", image.c_str());
    }
    return 0;
}

void CloseProductProcesses(const ISetupConfig& config, const std::wstring& installDir) {
    UINT quit = RegisterWindowMessageW(kQuitBroadcast);
    if (quit)
        SendNotifyMessageW(HWND_BROADCAST, quit, 0, 0);
    for (int i = 0; i < config.GetCloseProgramCount(); ++i) {
        CloseProgramRecord record = {};
        if (!config.GetCloseProgram(i, &record) || !record.windowClass[0])
            continue;
        HWND window = FindWindowW(record.windowClass, nullptr);
        if (!window)
            continue;
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, static_cast<UINT>(record.message),
                            static_cast<WPARAM>(record.wParam), static_cast<LPARAM>(record.lParam),
                            SMTO_NORMAL, static_cast<UINT>(record.timeout), &result);
        if (base::EqualsNoCase(record.windowClass, kPendantWindowClass))
            Sleep(2000);
        Log(L"Send msg to %s wnd", record.windowClass);
    }
    Log(L"enter KillProcessesInInstallPath szTargetDir=%s", installDir.c_str());
    if (installDir.size() <= 4)
        return;
    KillMultiProcesses(installDir.c_str());
    KillProcessByPath((installDir + L"\\kestipendant.exe").c_str());
    KillProcessByPath((installDir + L"\\kestiwp.exe").c_str());
    Log(L"end KillProcessesInInstallPath");
}

}  // namespace engine
