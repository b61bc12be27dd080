// What the program needs to know about the running Windows: the true version (which the
// compatibility layer may hide from GetVersionExW), 32-bit emulation, the machine's native
// architecture, and the version text of a file. Newer system functions are looked up by name;
// their absence is a normal case on older systems.
#pragma once

#include <windows.h>

#include <string>

class COSVersionCheck {
  public:
    COSVersionCheck();
    virtual ~COSVersionCheck() = default;
    COSVersionCheck(const COSVersionCheck&) = delete;
    COSVersionCheck& operator=(const COSVersionCheck&) = delete;

    // The process's one instance, created and queried on first use. Creation is guarded by an
    // interlocked flag; a concurrent caller sleeps in 1 ms steps until it is finished.
    static COSVersionCheck& Instance();

    // GetVersionExW, raised by RtlGetVersion and by the product version of the kernel file
    // when either reports a higher major.minor. Always answers 1.
    int QueryVersion(OSVERSIONINFOW& info);

    const OSVERSIONINFOW& Version() const { return version_; }
    // -1 before the first query; 1 when the version came from the kernel file, else 0.
    int UsedKernelFile() const { return usedKernelFile_; }

  private:
    int usedKernelFile_ = -1;
    OSVERSIONINFOW version_;
};

// IsWow64Process for the current process; false when the function is missing or fails.
bool IsWow64();
// True on x64, IA-64 and ARM64 machines (a 32-bit Windows on ARM64 included). Cached.
bool Is64BitMachine();
// "major.minor" from RtlGetNtVersionNumbers; empty when the function is missing.
std::wstring GetNtVersionText();
// Major 10 or above, or 6.4, by RtlGetNtVersionNumbers. Cached.
bool IsWindows10Family();

// The file's version text. On 64-bit Windows 10 the fixed information ("%d.%d.%d.%d"), since
// the string table there may be stale; elsewhere the string table's "FileVersion" of the first
// translation that has one, commas turned into dots and spaces removed, falling back to the
// fixed information. False when the file has no version resource.
bool GetFileVersionText(const std::wstring& path, std::wstring& text);

namespace os_version {

// The facts QueryVersion combines, gathered from the system.
struct VersionSources {
    OSVERSIONINFOW reported;  // GetVersionExW
    bool wow64 = false;
    bool haveRtlVersion = false;
    OSVERSIONINFOW rtlVersion;  // RtlGetVersion, when present
    bool haveKernelVersion = false;
    DWORD kernelMajor = 0, kernelMinor = 0, kernelBuild = 0;  // the kernel file's product version
};
// The version QueryVersion answers: the highest major.minor of the three sources, except that
// the 5.x answer of a WOW64 process is kept as it is. `usedKernelFile` is 1 when the kernel
// file's version won, else 0.
OSVERSIONINFOW CombineVersion(const VersionSources& sources, int& usedKernelFile);
// The native-architecture decision of Is64BitMachine: x64, IA-64 or ARM64 from
// GetNativeSystemInfo, or an ARM64 native machine from IsWow64Process2 (0 when unknown).
bool IsNative64Bit(WORD processorArchitecture, USHORT nativeMachine);

// GetFileVersionText with the choice between the two sources made by the caller.
bool GetFileVersionTextFrom(const std::wstring& path, bool preferFixedInfo, std::wstring& text);
// "%d.%d.%d.%d" of a fixed file version.
std::wstring FormatFixedFileVersion(const VS_FIXEDFILEINFO& info);
// A string-table version as the statistics expect it: "," becomes "." and spaces go.
std::wstring NormalizeVersionString(std::wstring text);
// The kernel file whose product version QueryVersion consults.
std::wstring KernelFilePath();

}  // namespace os_version
