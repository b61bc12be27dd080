// The machine identifiers every statistics event and server request carries:
// - `mid`: MidHash of a text of processor, disk and network-card facts, cached in HKLM
//   "Software\ZemSafe\Liveup" "mid" together with a self-check;
// - `mid2`: SHA-1 of network card, disk and processor facts with a flags byte and a CRC-8,
//   cached in HKLM "SOFTWARE\Quorvane" "m2" (32-bit view).
// The registry values are shared with the maker's other programs, so their formats are fixed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// `mid` (32 lower-case hex characters): the stored value when its self-check holds, else
// computed from the hardware and stored. Read from the registry on every call.
std::wstring GetMid();
// `mid2` (44 characters), computed at most once per process (see new_mid.h).
std::wstring GetMid2();

// Narrow form: fills `buffer` with `mid` and its terminator. Does nothing when `buffer` is null
// or `size` leaves no room for 32 characters and the terminator.
void GetMID(char* buffer, size_t size);
// Wide form: the same value in a buffer of `count` characters.
void GetMID(wchar_t* buffer, size_t count);

namespace machine_id {

inline constexpr wchar_t kMidKey[] = L"Software\\ZemSafe\\Liveup";
inline constexpr wchar_t kMid2Key[] = L"SOFTWARE\\Quorvane";

// ---- processor facts ----

// The 12 vendor characters of CPUID leaf 0 (EBX, EDX, ECX) with "GenuineIotel", which some
// processors report, read as "GenuineIntel" so both give the same identifiers.
std::string NormalizeVendor(std::string vendor);
struct CpuFacts {
    std::string vendor;      // normalized
    uint32_t signature = 0;  // leaf 1 EAX
    uint32_t features = 0;   // leaf 1 EDX
    std::string brand;       // leaves 0x80000002..4, trimmed; empty when absent
};
CpuFacts ReadCpuFacts();
// "%s:%08x" of vendor and leaf 1 EDX: the processor part of the `mid` text.
std::string MidProcessorText(const CpuFacts& cpu);
// "%s,%x,%s" of vendor, signature and brand, both texts trimmed of spaces: the `mid2`
// processor component.
std::string Mid2ProcessorComponent(const CpuFacts& cpu);

// ---- `mid` ----

// True when `stored` has exactly 64 characters and MidHash of its first 32 equals its last 32
// (ignoring case); `mid` then receives the first 32.
bool CheckStoredMid(std::string_view stored, std::string& mid);
// What "mid" holds: `mid` followed by MidHash(mid).
std::string MakeStoredMid(const std::string& mid);
// Processor text, then the disk serial without trailing spaces, then the MAC text; at most
// 4096 bytes.
std::string BuildMidText(const std::string& processor, const std::string& diskSerial,
                         const std::string& mac);
// Computes `mid` from a hardware text; "Mid2Failed" stands in for an empty one. `store` says
// whether the result may be stored (not for the stand-in).
std::string MidFromText(const std::string& text, bool& store);

// Hardware probes (each empty when nothing could be read).
std::string ReadDiskSerial();
std::string ReadMidMacAddress();
// The "%02X%02X%02X%02X%02X%02X" text of 6 address bytes.
std::string FormatMac(const uint8_t* address);
// Identify data carries the serial as 16-bit words with their bytes swapped; this swaps them
// back and trims spaces at both ends.
std::string SerialFromIdentifyWords(const char* bytes, size_t count);

// Registry of `mid` (HKLM, ANSI). Store writes "mid" and, when a different value was there,
// copies the old one to "mid_old".
bool ReadStoredMid(std::string& value);
bool StoreMid(const std::string& mid);

// ---- `mid2` ----

enum Mid2Flags : uint8_t {
    kFlagNetworkCard = 0x01,
    kFlagDisk = 0x02,
    kFlagProcessor = 0x08,
    kFlagRandom = 0x10,
    kFlagHashed = 0x20,
};

struct Mid2Components {
    std::string networkCard;
    std::string disk;
    std::string processor;
};

// The 44-character check: REG_SZ or REG_EXPAND_SZ is the caller's test; this one checks the
// length and that the last two characters, read as hex, are the CRC-8 of the first 42.
bool IsValidMid2(std::string_view value);
// Identity (40 characters) + flags + CRC-8, each byte as two lower-case hex digits.
std::string FinishMid2(const std::string& identity, uint8_t flags);

// What computing the identity needs besides the components; the real one uses the process
// token, a new GUID and Sleep, tests give fixed answers.
class IMid2Environment {
  public:
    virtual bool IsElevated() = 0;
    // Collects the components; `have` holds those already found, only missing ones are read.
    virtual void Collect(Mid2Components& have) = 0;
    // 16 random bytes as 32 lower-case hex characters; empty on failure.
    virtual std::string NewGuidHex() = 0;
    virtual void Wait(DWORD milliseconds) = 0;

  protected:
    ~IMid2Environment() = default;
};

// Computes a `mid2` from components. `ok` is false for the random and the all-zero identities.
std::string ComputeMid2(const Mid2Components& components, bool elevated,
                        IMid2Environment& environment, bool& ok);

struct Mid2Decision {
    std::string value;   // the `mid2` to use
    bool store = false;  // whether it must be written to "m2"
};
// The whole decision between the stored value (empty when absent or invalid) and a computed
// one, including the provisional "eeeeeeee" identity of a non-elevated run.
Mid2Decision DecideMid2(const std::string& storedValid, IMid2Environment& environment);

// Registry of `mid2` (HKLM, 32-bit view). Read answers only a valid value. Store writes "m2"
// and moves a different old value to "m2_old"; it creates the key in a registry transaction
// when the system offers one and falls back to RegCreateKeyExW.
bool ReadStoredMid2(std::string& value);
bool StoreMid2(const std::string& value);

// Hardware probes of `mid2`.
enum class AdapterKind { kSkipped, kWired, kWireless };
// Looks the adapter up among the subkeys of the network class key by "NetCfgInstanceId":
// physical when its "BusType" is 5 (PCI), wireless when "DriverDesc" says "Wireless" or the
// "LowerRange" of its "Ndi\Interfaces" names "wlan" or "vwifi". Unknown ones are skipped.
AdapterKind ClassifyAdapter(HKEY networkClassKey, const std::wstring& serviceName);
struct FoundAdapter {
    std::string mac;
    bool wireless = false;
};
// The smallest wired address text, else the smallest wireless one.
std::string ChooseNetworkCard(const std::vector<FoundAdapter>& adapters);
std::string ReadMid2NetworkCard();
std::string ReadMid2Disk();
bool IsProcessElevated();

// The real environment and the full computation with the registry, uncached: read "m2",
// decide, store when the decision says so.
IMid2Environment& SystemMid2Environment();
std::string ComputeAndStoreMid2(IMid2Environment& environment);
std::string ComputeAndStoreMid2();

}  // namespace machine_id
