#include "sysinfo/os_version.h"

#include <atomic>
#include <vector>

#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO*);

template <typename Fn>
Fn Lookup(const wchar_t* module, const char* name) {
    HMODULE handle = GetModuleHandleW(module);
    if (!handle)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

DWORD VersionRank(DWORD major, DWORD minor) {
    return major * 10 + minor;
}

// The product version of the kernel file, read as a data file so that a 64-bit image can be
// read from a 32-bit process.
bool ReadKernelProductVersion(DWORD& major, DWORD& minor, DWORD& build) {
    base::UniqueModule file(
        LoadLibraryExW(os_version::KernelFilePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!file)
        return false;
    HRSRC resource = FindResourceW(file.Get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    if (!resource)
        return false;
    DWORD size = SizeofResource(file.Get(), resource);
    HGLOBAL loaded = LoadResource(file.Get(), resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0)
        return false;
    // VerQueryValueW may write into the block it is given; work on a copy.
    std::vector<BYTE> copy(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != VS_FFI_SIGNATURE)
        return false;
    major = HIWORD(info->dwProductVersionMS);
    minor = LOWORD(info->dwProductVersionMS);
    build = HIWORD(info->dwProductVersionLS);
    return true;
}

bool NtVersionNumbers(DWORD& major, DWORD& minor) {
    // ntdll is always loaded; the extra reference keeps it for the call.
    base::UniqueModule ntdll(LoadLibraryW(L"ntdll.dll"));
    if (!ntdll)
        return false;
    auto get = reinterpret_cast<RtlGetNtVersionNumbersFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll.Get(), "RtlGetNtVersionNumbers")));
    if (!get)
        return false;
    DWORD build = 0;
    get(&major, &minor, &build);
    return true;
}

}  // namespace

COSVersionCheck::COSVersionCheck() {
    ZeroMemory(&version_, sizeof(version_));
    version_.dwOSVersionInfoSize = sizeof(version_);
}

COSVersionCheck& COSVersionCheck::Instance() {
    static std::atomic<int> state{0};  // 0 none, 1 being created, 2 ready
    static COSVersionCheck* instance = nullptr;
    int expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        auto* created = new COSVersionCheck();
        created->QueryVersion(created->version_);
        instance = created;
        state.store(2);
    } else {
        while (state.load() != 2)
            Sleep(1);
    }
    return *instance;
}

int COSVersionCheck::QueryVersion(OSVERSIONINFOW& info) {
    os_version::VersionSources sources = {};
    sources.reported.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExW(&sources.reported);
#pragma GCC diagnostic pop
    sources.wow64 = IsWow64();
    // 64-bit XP and Server 2003 report themselves truthfully to 32-bit processes; nothing
    // else needs asking there.
    if (!(sources.reported.dwMajorVersion == 5 && sources.wow64)) {
        if (auto rtlGetVersion = Lookup<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion")) {
            sources.rtlVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
            sources.haveRtlVersion = rtlGetVersion(&sources.rtlVersion) == 0;
        }
        sources.haveKernelVersion =
            ReadKernelProductVersion(sources.kernelMajor, sources.kernelMinor, sources.kernelBuild);
    }
    info = os_version::CombineVersion(sources, usedKernelFile_);
    return 1;
}

bool IsWow64() {
    auto isWow64Process = Lookup<IsWow64ProcessFn>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &wow64))
        return false;
    return wow64 != FALSE;
}

bool Is64BitMachine() {
    static std::atomic<int> cached{-1};
    int answer = cached.load();
    if (answer >= 0)
        return answer == 1;
    WORD architecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
    if (auto getNative = Lookup<GetNativeSystemInfoFn>(L"kernel32.dll", "GetNativeSystemInfo")) {
        SYSTEM_INFO info = {};
        getNative(&info);
        architecture = info.wProcessorArchitecture;
    }
    USHORT nativeMachine = 0;
    if (!os_version::IsNative64Bit(architecture, 0)) {
        if (auto isWow64Process2 = Lookup<IsWow64Process2Fn>(L"kernel32.dll", "IsWow64Process2")) {
            USHORT processMachine = 0;
            if (!isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
                nativeMachine = 0;
        }
    }
    answer = os_version::IsNative64Bit(architecture, nativeMachine) ? 1 : 0;
    cached.store(answer);
    return answer == 1;
}

std::wstring GetNtVersionText() {
    DWORD major = 0, minor = 0;
    if (!NtVersionNumbers(major, minor))
        return L"";
    return base::Format(64, L"%d.%d", static_cast<int>(major), static_cast<int>(minor));
}

bool IsWindows10Family() {
    static std::atomic<int> cached{-1};
    int answer = cached.load();
    if (answer < 0) {
        DWORD major = 0, minor = 0;
        answer = NtVersionNumbers(major, minor) && (major >= 10 || (major == 6 && minor == 4));
        cached.store(answer);
    }
    return answer == 1;
}

bool GetFileVersionText(const std::wstring& path, std::wstring& text) {
    return os_version::GetFileVersionTextFrom(path, IsWindows10Family() && Is64BitMachine(), text);
}

namespace os_version {

OSVERSIONINFOW CombineVersion(const VersionSources& sources, int& usedKernelFile) {
    OSVERSIONINFOW info = sources.reported;
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    usedKernelFile = 0;
    if (info.dwMajorVersion == 5 && sources.wow64)
        return info;
    // The compatibility layer makes GetVersionExW answer 6.2 to programs whose manifest does
    // not name Windows 10; ntdll and the kernel file tell the truth.
    if (sources.haveRtlVersion &&
        VersionRank(sources.rtlVersion.dwMajorVersion, sources.rtlVersion.dwMinorVersion) >
            VersionRank(info.dwMajorVersion, info.dwMinorVersion)) {
        info = sources.rtlVersion;
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    }
    if (sources.haveKernelVersion && VersionRank(sources.kernelMajor, sources.kernelMinor) >
                                         VersionRank(info.dwMajorVersion, info.dwMinorVersion)) {
        info.dwMajorVersion = sources.kernelMajor;
        info.dwMinorVersion = sources.kernelMinor;
        info.dwBuildNumber = sources.kernelBuild;
        usedKernelFile = 1;
    }
    return info;
}

bool IsNative64Bit(WORD processorArchitecture, USHORT nativeMachine) {
    constexpr WORD kArchitectureArm64 = 12;
    constexpr USHORT kMachineArm64 = 0xAA64;
    if (processorArchitecture == PROCESSOR_ARCHITECTURE_IA64 ||
        processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
        processorArchitecture == kArchitectureArm64)
        return true;
    // A 32-bit Windows on ARM64 hands 32-bit processes an x86 native system info; only
    // IsWow64Process2 tells the real machine.
    return nativeMachine == kMachineArm64;
}

bool GetFileVersionTextFrom(const std::wstring& path, bool preferFixedInfo, std::wstring& text) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return false;

    if (!preferFixedInfo) {
        struct Translation {
            WORD language;
            WORD codePage;
        };
        Translation* translations = nullptr;
        UINT bytes = 0;
        if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void**>(&translations), &bytes) &&
            translations) {
            for (UINT i = 0; i < bytes / sizeof(Translation); ++i) {
                std::wstring key = base::Format(64, L"\\StringFileInfo\\%04x%04x\\FileVersion",
                                                translations[i].language, translations[i].codePage);
                wchar_t* value = nullptr;
                UINT chars = 0;
                if (VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value),
                                   &chars) &&
                    value && chars > 0) {
                    text = NormalizeVersionString(std::wstring(value, wcsnlen(value, chars)));
                    return true;
                }
            }
        }
    }

    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    text = FormatFixedFileVersion(*info);
    return true;
}

std::wstring FormatFixedFileVersion(const VS_FIXEDFILEINFO& info) {
    return base::Format(64, L"%d.%d.%d.%d", HIWORD(info.dwFileVersionMS),
                        LOWORD(info.dwFileVersionMS), HIWORD(info.dwFileVersionLS),
                        LOWORD(info.dwFileVersionLS));
}

std::wstring NormalizeVersionString(std::wstring text) {
    std::wstring result;
    for (wchar_t c : text) {
        if (c == L' ')
            continue;
        result += c == L',' ? L'.' : c;
    }
    return result;
}

std::wstring KernelFilePath() {
    wchar_t windows[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"";
    // A 32-bit process on 64-bit Windows sees the 32-bit System32; SysNative is the real one.
    return path::Join(windows, IsWow64() ? L"SysNative\\ntoskrnl.exe" : L"System32\\ntoskrnl.exe");
}

}  // namespace os_version
