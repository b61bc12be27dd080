#include "sysinfo/os_version.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "base/path.h"
#include "base/strings.h"

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

DWORD Rank(DWORD major, DWORD minor) {
    return major * 10 + minor;
}

TEST(OsVersionTest, QueryNeverReportsLessThanTheSystemCalls) {
    COSVersionCheck check;
    EXPECT_EQ(check.UsedKernelFile(), -1);
    OSVERSIONINFOW info = {};
    EXPECT_EQ(check.QueryVersion(info), 1);
    EXPECT_TRUE(check.UsedKernelFile() == 0 || check.UsedKernelFile() == 1);
    EXPECT_EQ(info.dwOSVersionInfoSize, sizeof(OSVERSIONINFOW));

    OSVERSIONINFOW plain = {};
    plain.dwOSVersionInfoSize = sizeof(plain);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(&plain));
#pragma GCC diagnostic pop
    EXPECT_GE(Rank(info.dwMajorVersion, info.dwMinorVersion),
              Rank(plain.dwMajorVersion, plain.dwMinorVersion));
    // The compatibility layer may hide the true version from GetVersionExW, not from ntdll.
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (rtlGetVersion) {
        OSVERSIONINFOW real = {};
        real.dwOSVersionInfoSize = sizeof(real);
        ASSERT_EQ(rtlGetVersion(&real), 0);
        EXPECT_GE(Rank(info.dwMajorVersion, info.dwMinorVersion),
                  Rank(real.dwMajorVersion, real.dwMinorVersion));
    }
    EXPECT_EQ(GetNtVersionText(),
              base::Format(32, L"%d.%d", info.dwMajorVersion, info.dwMinorVersion));
}

OSVERSIONINFOW Version(DWORD major, DWORD minor, DWORD build) {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.dwBuildNumber = build;
    return info;
}

TEST(OsVersionTest, CombinedVersionTakesTheHighestSource) {
    struct Case {
        const char* name;
        OSVERSIONINFOW reported;
        bool wow64;
        bool haveRtl;
        OSVERSIONINFOW rtl;
        bool haveKernel;
        DWORD kernelMajor, kernelMinor, kernelBuild;
        DWORD major, minor, build;
        int usedKernelFile;
    } const cases[] = {
        {"Windows 10 hidden by the compatibility layer", Version(6, 2, 9200), true, true,
         Version(10, 0, 19045), true, 10, 0, 19041, 10, 0, 19045, 0},
        {"no RtlGetVersion: the kernel file tells",
         Version(6, 2, 9200),
         false,
         false,
         {},
         true,
         10,
         0,
         19041,
         10,
         0,
         19041,
         1},
        {"kernel file newer than ntdll's answer", Version(6, 2, 9200), false, true,
         Version(6, 3, 9600), true, 10, 0, 22621, 10, 0, 22621, 1},
        {"all agree", Version(6, 1, 7601), true, true, Version(6, 1, 7601), true, 6, 1, 7601, 6, 1,
         7601, 0},
        {"no kernel file", Version(6, 1, 7601), false, false, {}, false, 0, 0, 0, 6, 1, 7601, 0},
        {"64-bit XP keeps its own answer", Version(5, 2, 3790), true, true, Version(6, 0, 1), true,
         6, 0, 1, 5, 2, 3790, 0},
        {"32-bit XP asks further", Version(5, 1, 2600), false, true, Version(5, 1, 2600), true, 5,
         2, 3790, 5, 2, 3790, 1},
    };
    for (const auto& c : cases) {
        os_version::VersionSources sources = {};
        sources.reported = c.reported;
        sources.wow64 = c.wow64;
        sources.haveRtlVersion = c.haveRtl;
        sources.rtlVersion = c.rtl;
        sources.haveKernelVersion = c.haveKernel;
        sources.kernelMajor = c.kernelMajor;
        sources.kernelMinor = c.kernelMinor;
        sources.kernelBuild = c.kernelBuild;
        int used = -1;
        OSVERSIONINFOW info = os_version::CombineVersion(sources, used);
        EXPECT_EQ(info.dwMajorVersion, c.major) << c.name;
        EXPECT_EQ(info.dwMinorVersion, c.minor) << c.name;
        EXPECT_EQ(info.dwBuildNumber, c.build) << c.name;
        EXPECT_EQ(used, c.usedKernelFile) << c.name;
        EXPECT_EQ(info.dwOSVersionInfoSize, sizeof(OSVERSIONINFOW)) << c.name;
    }
}

TEST(OsVersionTest, NativeArchitectureTable) {
    struct Case {
        WORD architecture;
        USHORT nativeMachine;
        bool is64;
    } const cases[] = {
        {PROCESSOR_ARCHITECTURE_AMD64, 0, true},
        {PROCESSOR_ARCHITECTURE_IA64, 0, true},
        {12, 0, true},                                  // ARM64
        {PROCESSOR_ARCHITECTURE_INTEL, 0xAA64, true},   // 32-bit Windows on an ARM64 machine
        {PROCESSOR_ARCHITECTURE_INTEL, 0x014C, false},  // i386
        {PROCESSOR_ARCHITECTURE_INTEL, 0, false},       // IsWow64Process2 missing
        {PROCESSOR_ARCHITECTURE_ARM, 0x01C4, false},    // 32-bit ARM
        {PROCESSOR_ARCHITECTURE_UNKNOWN, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(os_version::IsNative64Bit(c.architecture, c.nativeMachine), c.is64)
            << c.architecture << " " << c.nativeMachine;
}

TEST(OsVersionTest, OneInstanceUnderConcurrentFirstUse) {
    std::vector<std::thread> threads;
    std::atomic<const COSVersionCheck*> seen[4] = {};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&seen, i] { seen[i] = &COSVersionCheck::Instance(); });
    for (auto& thread : threads)
        thread.join();
    for (auto& instance : seen)
        EXPECT_EQ(instance.load(), &COSVersionCheck::Instance());
    EXPECT_NE(COSVersionCheck::Instance().UsedKernelFile(), -1);
    EXPECT_GE(COSVersionCheck::Instance().Version().dwMajorVersion, 5u);
}

TEST(OsVersionTest, ArchitectureFacts) {
    // This program is 32-bit: emulation implies a 64-bit machine, and a 64-bit x64 or IA-64
    // machine always runs it under emulation.
    if (IsWow64()) {
        EXPECT_TRUE(Is64BitMachine());
    }
    SYSTEM_INFO native = {};
    GetNativeSystemInfo(&native);
    if (native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
        EXPECT_TRUE(IsWow64());
    }
    EXPECT_EQ(Is64BitMachine(), Is64BitMachine());

    std::wstring kernel = os_version::KernelFilePath();
    EXPECT_TRUE(base::EndsWithNoCase(
        kernel, IsWow64() ? L"\\SysNative\\ntoskrnl.exe" : L"\\System32\\ntoskrnl.exe"))
        << kernel;
    EXPECT_TRUE(path::FileExists(kernel)) << kernel;
}

TEST(FileVersionTest, StringTableOrFixedInformation) {
    // This test executable carries FILEVERSION 3,1,4,15 and the string "9, 2, 6, 5 ".
    std::wstring self = path::ModulePath();
    std::wstring text;
    ASSERT_TRUE(os_version::GetFileVersionTextFrom(self, false, text));
    EXPECT_EQ(text, L"9.2.6.5");
    ASSERT_TRUE(os_version::GetFileVersionTextFrom(self, true, text));
    EXPECT_EQ(text, L"3.1.4.15");
    ASSERT_TRUE(GetFileVersionText(self, text));
    EXPECT_EQ(text, IsWindows10Family() && Is64BitMachine() ? L"3.1.4.15" : L"9.2.6.5");
}

TEST(FileVersionTest, FilesWithoutVersion) {
    std::wstring plain = path::Join(path::TempDir(), L"kesti_version_test.txt");
    std::ofstream(plain.c_str()) << "no version here";
    std::wstring text = L"unchanged";
    EXPECT_FALSE(GetFileVersionText(plain, text));
    EXPECT_FALSE(GetFileVersionText(plain + L".missing", text));
    EXPECT_EQ(text, L"unchanged");
    DeleteFileW(plain.c_str());
}

TEST(FileVersionTest, Normalization) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } const cases[] = {
        {L"1, 2, 3, 4", L"1.2.3.4"},
        {L" 10,0,19041,1 ", L"10.0.19041.1"},
        {L"6.1.7601.17514 (win7sp1_rtm.101119-1850)", L"6.1.7601.17514(win7sp1_rtm.101119-1850)"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(os_version::NormalizeVersionString(c.in), c.out);

    VS_FIXEDFILEINFO info = {};
    info.dwFileVersionMS = MAKELONG(2, 65535);
    info.dwFileVersionLS = MAKELONG(4, 3);
    EXPECT_EQ(os_version::FormatFixedFileVersion(info), L"65535.2.3.4");
}

}  // namespace
