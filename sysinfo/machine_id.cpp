#include "sysinfo/machine_id.h"

#include <objbase.h>

#include <cstdio>
#include <vector>

#include "app/log.h"
#include "base/crypto.h"
#include "base/handle.h"
#include "base/locker.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "sysinfo/new_mid.h"

namespace machine_id {

namespace {

constexpr size_t kMidLength = 32;
constexpr size_t kMid2Length = 44;
constexpr size_t kMaxMidText = 4096;
constexpr char kMidFallbackText[] = "Mid2Failed";
constexpr char kRandomPrefix[] = "ffffffff";
constexpr char kProvisionalPrefix[] = "eeeeeeee";

bool EqualsNoCaseA(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string HexByte(uint8_t value) {
    return crypto::ToHex(&value, 1);
}

bool ParseHexByte(std::string_view text, uint8_t& value) {
    if (text.size() != 2)
        return false;
    unsigned result = 0;
    for (char c : text) {
        result <<= 4;
        if (c >= '0' && c <= '9')
            result |= static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            result |= static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            result |= static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
    }
    value = static_cast<uint8_t>(result);
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The processor part of the `mid` text does not change while the process runs.
std::string CachedMidProcessorText() {
    static _BaseModule::CCriticalSection* lock = new _BaseModule::CCriticalSection();
    static std::string* cached = nullptr;
    _BaseModule::CAutoLocker guard(*lock);
    if (!cached)
        cached = new std::string(MidProcessorText(ReadCpuFacts()));
    return *cached;
}

// Reads an ANSI REG_SZ value of at most 1023 characters; other types count as absent.
bool ReadAnsiValue(HKEY key, const char* name, std::string& value) {
    char buffer[1024] = {};
    DWORD type = 0;
    DWORD bytes = sizeof(buffer) - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    value.assign(buffer, strnlen(buffer, bytes));
    return true;
}

bool WriteAnsiValue(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool WriteWideValue(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

// Any previous content of "m2", valid or not, so that it can be kept as "m2_old".
std::wstring ReadRawMid2(HKEY key) {
    std::vector<wchar_t> buffer(1024, L'\0');
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"m2", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    return std::wstring(buffer.data(), wcsnlen(buffer.data(), bytes / sizeof(wchar_t)));
}

bool WriteMid2Values(HKEY key, const std::wstring& value) {
    std::wstring old = ReadRawMid2(key);
    if (!old.empty() && old != value && !WriteWideValue(key, L"m2_old", old))
        return false;
    return WriteWideValue(key, L"m2", value);
}

// Writes "m2" (and "m2_old") inside a registry transaction, so that another program reading
// the pair never sees the new value without the old one saved. False when the system has no
// transactions (looked up by name: Vista and later) or any step fails; nothing is committed
// then and the caller writes without a transaction.
bool StoreMid2Transacted(const std::wstring& value) {
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    using RegCreateKeyTransactedFn =
        LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const SECURITY_ATTRIBUTES*,
                         PHKEY, LPDWORD, HANDLE, PVOID);
    auto createTransacted =
        advapi ? reinterpret_cast<RegCreateKeyTransactedFn>(
                     reinterpret_cast<void*>(GetProcAddress(advapi, "RegCreateKeyTransactedW")))
               : nullptr;
    if (!createTransacted)
        return false;
    base::UniqueModule ktm(LoadLibraryW(L"ktmw32.dll"));
    if (!ktm)
        return false;
    using CreateTransactionFn =
        HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD, LPWSTR);
    using CommitTransactionFn = BOOL(WINAPI*)(HANDLE);
    auto createTransaction = reinterpret_cast<CreateTransactionFn>(
        reinterpret_cast<void*>(GetProcAddress(ktm.Get(), "CreateTransaction")));
    auto commitTransaction = reinterpret_cast<CommitTransactionFn>(
        reinterpret_cast<void*>(GetProcAddress(ktm.Get(), "CommitTransaction")));
    if (!createTransaction || !commitTransaction)
        return false;
    base::UniqueHandle transaction(createTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr));
    if (!transaction)
        return false;
    HKEY raw = nullptr;
    if (createTransacted(HKEY_LOCAL_MACHINE, kMid2Key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, &raw, nullptr,
                         transaction.Get(), nullptr) != ERROR_SUCCESS)
        return false;
    bool written = WriteMid2Values(raw, value);
    RegCloseKey(raw);
    // Closing the transaction handle without a commit rolls everything back.
    return written && commitTransaction(transaction.Get());
}

std::string* g_cachedComputedMid = nullptr;
_BaseModule::CCriticalSection& MidLock() {
    static _BaseModule::CCriticalSection* lock = new _BaseModule::CCriticalSection();
    return *lock;
}

class SystemEnvironment : public IMid2Environment {
  public:
    bool IsElevated() override { return IsProcessElevated(); }
    void Collect(Mid2Components& have) override {
        if (have.networkCard.empty())
            have.networkCard = ReadMid2NetworkCard();
        if (have.disk.empty())
            have.disk = ReadMid2Disk();
        if (have.processor.empty())
            have.processor = Mid2ProcessorComponent(ReadCpuFacts());
    }
    std::string NewGuidHex() override {
        GUID guid = {};
        if (FAILED(CoCreateGuid(&guid)))
            return {};
        return crypto::ToHex(reinterpret_cast<const uint8_t*>(&guid), sizeof(guid));
    }
    void Wait(DWORD milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

std::string MidProcessorText(const CpuFacts& cpu) {
    char text[64] = {};
    snprintf(text, sizeof(text), "%s:%08x", NormalizeVendor(cpu.vendor).c_str(),
             static_cast<unsigned>(cpu.features));
    return text;
}

std::string Mid2ProcessorComponent(const CpuFacts& cpu) {
    auto trim = [](const std::string& text) {
        size_t begin = text.find_first_not_of(' ');
        if (begin == std::string::npos)
            return std::string();
        return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
    };
    char signature[16] = {};
    snprintf(signature, sizeof(signature), "%x", static_cast<unsigned>(cpu.signature));
    return trim(NormalizeVendor(cpu.vendor)) + "," + signature + "," + trim(cpu.brand);
}

bool CheckStoredMid(std::string_view stored, std::string& mid) {
    if (stored.size() != 2 * kMidLength)
        return false;
    std::string first(stored.substr(0, kMidLength));
    if (!EqualsNoCaseA(crypto::MidHash(first), stored.substr(kMidLength)))
        return false;
    mid = first;
    return true;
}

std::string MakeStoredMid(const std::string& mid) {
    return mid + crypto::MidHash(mid);
}

std::string BuildMidText(const std::string& processor, const std::string& diskSerial,
                         const std::string& mac) {
    std::string disk = diskSerial;
    while (!disk.empty() && disk.back() == ' ')
        disk.pop_back();
    std::string text = processor + disk + mac;
    if (text.size() > kMaxMidText)
        text.resize(kMaxMidText);
    return text;
}

std::string MidFromText(const std::string& text, bool& store) {
    store = !text.empty();
    return crypto::MidHash(text.empty() ? std::string(kMidFallbackText) : text);
}

bool ReadStoredMid(std::string& value) {
    base::RegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kMidKey, KEY_READ))
        return false;
    return ReadAnsiValue(key.Get(), "mid", value);
}

bool StoreMid(const std::string& mid) {
    base::RegKey key;
    if (!key.Create(HKEY_LOCAL_MACHINE, kMidKey, KEY_READ | KEY_WRITE)) {
        Log(L"mid: cannot open the registry key for writing, error %u", GetLastError());
        return false;
    }
    std::string stored = MakeStoredMid(mid);
    std::string old;
    if (ReadAnsiValue(key.Get(), "mid", old) && !old.empty() && old != stored &&
        !WriteAnsiValue(key.Get(), "mid_old", old))
        return false;
    return WriteAnsiValue(key.Get(), "mid", stored);
}

bool IsValidMid2(std::string_view value) {
    if (value.size() != kMid2Length)
        return false;
    uint8_t check = 0;
    return ParseHexByte(value.substr(42), check) && check == crypto::Crc8(value.substr(0, 42));
}

std::string FinishMid2(const std::string& identity, uint8_t flags) {
    std::string value = identity + HexByte(flags);
    return value + HexByte(crypto::Crc8(value));
}

std::string ComputeMid2(const Mid2Components& components, bool elevated,
                        IMid2Environment& environment, bool& ok) {
    uint8_t flags = 0;
    if (!components.networkCard.empty())
        flags |= kFlagNetworkCard;
    if (!components.disk.empty())
        flags |= kFlagDisk;
    if (!components.processor.empty())
        flags |= kFlagProcessor;
    std::string identity;
    ok = false;
    if (!components.networkCard.empty() || !components.disk.empty()) {
        identity = crypto::Sha1(components.networkCard + components.disk + components.processor);
        flags |= kFlagHashed;
        ok = true;
    } else {
        std::string random = environment.NewGuidHex();
        if (random.size() == 32) {
            identity = kRandomPrefix + random;
            flags |= kFlagRandom;
        } else {
            identity = std::string(40, '0');
        }
    }
    // A non-elevated process cannot read every disk and card an elevated one can; its answer
    // is marked provisional so that the next elevated run replaces it.
    if (!elevated && !StartsWith(identity, kRandomPrefix))
        identity.replace(0, 8, kProvisionalPrefix);
    return FinishMid2(identity, flags);
}

Mid2Decision DecideMid2(const std::string& stored, IMid2Environment& environment) {
    bool elevated = environment.IsElevated();
    bool haveStored = !stored.empty();
    bool storedRandom = haveStored && StartsWith(stored, kRandomPrefix);
    if (haveStored && !elevated)
        return {stored, false};

    Mid2Components components;
    environment.Collect(components);
    auto hardware = [&] { return !components.networkCard.empty() || !components.disk.empty(); };
    if (!hardware() && haveStored && storedRandom)
        return {stored, false};

    std::string confirmed;
    if (hardware() && haveStored) {
        bool ok = false;
        std::string computed = ComputeMid2(components, elevated, environment, ok);
        confirmed = ok ? computed : stored;
        if (EqualsNoCaseA(confirmed, stored))
            return {stored, false};
    }

    bool both = !components.networkCard.empty() && !components.disk.empty();
    bool foundNew = false;
    if (!both) {
        // Network and disk drivers may still be starting (early autostart); one more look.
        environment.Wait(500);
        Mid2Components again = components;
        environment.Collect(again);
        foundNew = (components.networkCard.empty() && !again.networkCard.empty()) ||
                   (components.disk.empty() && !again.disk.empty());
        components = again;
        both = !components.networkCard.empty() && !components.disk.empty();
    }
    if ((both || !foundNew) && !confirmed.empty())
        return {confirmed, true};

    bool ok = false;
    std::string computed = ComputeMid2(components, elevated, environment, ok);
    if (ok || !haveStored || !storedRandom)
        return {computed, true};
    return {stored, false};
}

bool ReadStoredMid2(std::string& value) {
    base::RegKey key;
    std::wstring text;
    if (!key.Open(HKEY_LOCAL_MACHINE, kMid2Key, KEY_READ, base::RegView::k32) ||
        !key.QueryString(L"m2", text, 64))
        return false;
    std::string narrow = base::ToUtf8(text);
    if (!IsValidMid2(narrow)) {
        Log(L"mid2: the stored value (%u characters) fails its check, computing it again",
            static_cast<unsigned>(text.size()));
        return false;
    }
    value = narrow;
    return true;
}

bool StoreMid2(const std::string& value) {
    std::wstring wide = base::FromUtf8(value);
    if (StoreMid2Transacted(wide))
        return true;
    base::RegKey key;
    if (!key.Create(HKEY_LOCAL_MACHINE, kMid2Key, KEY_READ | KEY_WRITE, base::RegView::k32)) {
        Log(L"mid2: cannot open the registry key for writing, error %u", GetLastError());
        return false;
    }
    return WriteMid2Values(key.Get(), wide);
}

IMid2Environment& SystemMid2Environment() {
    static SystemEnvironment* environment = new SystemEnvironment();
    return *environment;
}

std::string ComputeAndStoreMid2() {
    return ComputeAndStoreMid2(SystemMid2Environment());
}

std::string ComputeAndStoreMid2(IMid2Environment& environment) {
    std::string stored;
    if (!ReadStoredMid2(stored))
        stored.clear();
    Mid2Decision decision = DecideMid2(stored, environment);
    if (decision.store)
        StoreMid2(decision.value);
    return decision.value;
}

}  // namespace machine_id

std::wstring GetMid() {
    using namespace machine_id;
    std::string stored, mid;
    bool haveStored = ReadStoredMid(stored);
    if (haveStored && CheckStoredMid(stored, mid))
        return base::FromUtf8(mid);
    _BaseModule::CAutoLocker guard(MidLock());
    // Without rights to store the value (a non-elevated caller), the hardware is probed once
    // per process, not once per request.
    if (g_cachedComputedMid)
        return base::FromUtf8(*g_cachedComputedMid);
    if (haveStored && !stored.empty())
        Log(L"mid: the stored value fails its check, computing it again");
    std::string text =
        BuildMidText(CachedMidProcessorText(), ReadDiskSerial(), ReadMidMacAddress());
    bool store = false;
    mid = MidFromText(text, store);
    if (store)
        StoreMid(mid);
    else
        Log(L"mid: no hardware facts, using the fallback text");
    g_cachedComputedMid = new std::string(mid);
    return base::FromUtf8(mid);
}

std::wstring GetMid2() {
    wchar_t buffer[50] = {};
    if (FAILED(CVrnMID2::Instance().GetMID2(buffer)))
        return L"";
    return buffer;
}

void GetMID(char* buffer, size_t size) {
    if (!buffer || size < 33)
        return;
    std::string mid = base::ToUtf8(GetMid());
    snprintf(buffer, size, "%s", mid.c_str());
}

void GetMID(wchar_t* buffer, size_t count) {
    if (!buffer || count < 33)
        return;
    std::wstring mid = GetMid();
    wcsncpy(buffer, mid.c_str(), count - 1);
    buffer[count - 1] = L'\0';
}
