#include "sysinfo/machine_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "base/crypto.h"
#include "base/strings.h"
#include "sysinfo/new_mid.h"
#include "tests/sysinfo/reg_backup.h"

namespace {

using machine_id::Mid2Components;
using testing_support::RegValueBackup;

const std::string kCard = "001122AABBCC";
const std::string kDisk = "WD-WCC4N1234567";
const std::string kCpu = "GenuineIntel,906ea,Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz";
const std::string kGuid = "00112233445566778899aabbccddeeff";

// Expected values computed with Python's hashlib and an independent CRC-8.
const std::string kFull = "dd9a7c9c3c07b27f45a11992d2ef299a78af3c7b2bd8";
const std::string kFullProvisional = "eeeeeeee3c07b27f45a11992d2ef299a78af3c7b2b0c";
const std::string kCardOnly = "a17c9c9b88b52a192274a694b2fe5bd5574cf2e42997";
const std::string kDiskOnlyNoCpu = "a9ddb1f10e20bedee384b1eea4ab7c6a27921d9c2211";
const std::string kRandom = "ffffffff00112233445566778899aabbccddeeff187d";
const std::string kZeros = "000000000000000000000000000000000000000008a7";

class FakeEnvironment : public machine_id::IMid2Environment {
  public:
    bool elevated = true;
    // What each look at the hardware finds; the last entry repeats.
    std::vector<Mid2Components> looks;
    std::string guid = kGuid;
    int collectCalls = 0;
    int waits = 0;

    bool IsElevated() override { return elevated; }
    void Collect(Mid2Components& have) override {
        const Mid2Components& found =
            looks[std::min<size_t>(static_cast<size_t>(collectCalls), looks.size() - 1)];
        ++collectCalls;
        if (have.networkCard.empty())
            have.networkCard = found.networkCard;
        if (have.disk.empty())
            have.disk = found.disk;
        if (have.processor.empty())
            have.processor = found.processor;
    }
    std::string NewGuidHex() override { return guid; }
    void Wait(DWORD) override { ++waits; }
};

TEST(ProcessorTest, GenuineIotelCountsAsGenuineIntel) {
    machine_id::CpuFacts iotel{"GenuineIotel", 0x906ea, 0xbfebfbff, "Intel(R) Core(TM)"};
    machine_id::CpuFacts intel = iotel;
    intel.vendor = "GenuineIntel";
    EXPECT_EQ(machine_id::NormalizeVendor("GenuineIotel"), "GenuineIntel");
    EXPECT_EQ(machine_id::NormalizeVendor("AuthenticAMD"), "AuthenticAMD");
    EXPECT_EQ(machine_id::MidProcessorText(iotel), machine_id::MidProcessorText(intel));
    EXPECT_EQ(machine_id::Mid2ProcessorComponent(iotel), machine_id::Mid2ProcessorComponent(intel));
}

TEST(ProcessorTest, ComponentTexts) {
    machine_id::CpuFacts cpu{"GenuineIntel", 0x906ea, 0x0febfbff, "  Intel(R) Core(TM) i7  "};
    EXPECT_EQ(machine_id::MidProcessorText(cpu), "GenuineIntel:0febfbff");
    EXPECT_EQ(machine_id::Mid2ProcessorComponent(cpu), "GenuineIntel,906ea,Intel(R) Core(TM) i7");
    cpu.brand.clear();  // a processor without the brand leaves
    EXPECT_EQ(machine_id::Mid2ProcessorComponent(cpu), "GenuineIntel,906ea,");
}

TEST(ProcessorTest, RealProcessorAnswers) {
    machine_id::CpuFacts cpu = machine_id::ReadCpuFacts();
    EXPECT_EQ(cpu.vendor.size(), 12u);
    EXPECT_NE(cpu.signature, 0u);
    EXPECT_EQ(machine_id::MidProcessorText(cpu).size(), 21u);
}

TEST(StoredMidTest, SelfCheck) {
    const std::string mid = "0123456789abcdef0123456789abcdef";
    const std::string check = crypto::MidHash(mid);
    std::string upperCheck = check;
    std::transform(upperCheck.begin(), upperCheck.end(), upperCheck.begin(), ::toupper);
    struct Case {
        std::string stored;
        bool valid;
    } const cases[] = {
        {mid + check, true},
        {mid + upperCheck, true},  // the comparison ignores case
        {machine_id::MakeStoredMid(mid), true},
        {mid + std::string(32, '0'), false},  // wrong self-check
        {mid + check.substr(1), false},       // 63 characters
        {mid + check + "0", false},           // 65 characters
        {mid, false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::string result = "unchanged";
        EXPECT_EQ(machine_id::CheckStoredMid(c.stored, result), c.valid) << c.stored;
        EXPECT_EQ(result, c.valid ? mid : "unchanged");
    }
}

TEST(MidTextTest, Assembly) {
    EXPECT_EQ(machine_id::BuildMidText("GenuineIntel:0febfbff", "WD-123   ", "001122AABBCC"),
              "GenuineIntel:0febfbffWD-123001122AABBCC");
    EXPECT_EQ(machine_id::BuildMidText("", "", ""), "");
    EXPECT_EQ(machine_id::BuildMidText(std::string(5000, 'x'), "disk", "mac").size(), 4096u);

    bool store = true;
    EXPECT_EQ(machine_id::MidFromText("", store), crypto::MidHash("Mid2Failed"));
    EXPECT_FALSE(store);  // the stand-in is never stored
    EXPECT_EQ(machine_id::MidFromText("GenuineIntel:0febfbff", store),
              crypto::MidHash("GenuineIntel:0febfbff"));
    EXPECT_TRUE(store);
}

TEST(IdentifyDataTest, SerialWordsAreSwappedBackAndTrimmed) {
    EXPECT_EQ(machine_id::SerialFromIdentifyWords("    W -DCW4C1N325476", 20), "WD-WCC4N1234567");
    EXPECT_EQ(machine_id::SerialFromIdentifyWords("                    ", 20), "");
    // Control bytes in a broken answer do not reach the text.
    const char broken[] = {'B', '\x01', 'C', 'A'};
    EXPECT_EQ(machine_id::SerialFromIdentifyWords(broken, sizeof(broken)), "BAC");
}

TEST(NetworkCardTest, FormatAndChoice) {
    const uint8_t address[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef};
    EXPECT_EQ(machine_id::FormatMac(address), "001A2BC3D4EF");

    struct Case {
        std::vector<machine_id::FoundAdapter> adapters;
        std::string chosen;
    } const cases[] = {
        {{}, ""},
        {{{"BB0000000000", false}, {"AA0000000000", false}}, "AA0000000000"},
        {{{"CC0000000000", false}, {"AA0000000000", true}}, "CC0000000000"},  // wired first
        {{{"CC0000000000", true}, {"BB0000000000", true}}, "BB0000000000"},
        {{{"", false}, {"DD0000000000", true}}, "DD0000000000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(machine_id::ChooseNetworkCard(c.adapters), c.chosen);
}

// A copy of the network class key's layout under HKCU, removed afterwards.
class AdapterClassTest : public ::testing::Test {
  protected:
    static constexpr wchar_t kRoot[] = L"Software\\KestiUninstallerTests\\NetClass";

    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
        Add(L"0000", L"{AAA}", L"5", L"Intel(R) Ethernet Connection", nullptr);
        Add(L"0001", L"{BBB}", L"5", L"Intel(R) Wireless-AC 9560", nullptr);
        Add(L"0002", L"{CCC}", nullptr, L"Realtek PCIe Adapter", L"wlan,ethernet");
        DWORD pci = 5;
        testing_support::WriteRawValue(HKEY_CURRENT_USER, Path(L"0002").c_str(), L"BusType",
                                       REG_DWORD, &pci, sizeof(pci));
        Add(L"0003", L"{DDD}", L"15", L"TAP-Windows Adapter", nullptr);
        Add(L"0004", L"{EEE}", nullptr, L"Microsoft Wi-Fi Direct Virtual Adapter", nullptr);
        Add(L"0005", L"{FFF}", L"5", L"Broadcom NetLink", L"vwifi");
        ASSERT_TRUE(classKey_.Open(HKEY_CURRENT_USER, kRoot, KEY_READ));
    }
    void TearDown() override {
        classKey_.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KestiUninstallerTests");
    }

    static std::wstring Path(const wchar_t* sub) { return std::wstring(kRoot) + L"\\" + sub; }
    static void Add(const wchar_t* sub, const wchar_t* id, const wchar_t* bus,
                    const wchar_t* description, const wchar_t* lowerRange) {
        std::wstring key = Path(sub);
        testing_support::WriteStringValue(HKEY_CURRENT_USER, key.c_str(), L"NetCfgInstanceId", id);
        if (bus)
            testing_support::WriteStringValue(HKEY_CURRENT_USER, key.c_str(), L"BusType", bus);
        testing_support::WriteStringValue(HKEY_CURRENT_USER, key.c_str(), L"DriverDesc",
                                          description);
        if (lowerRange)
            testing_support::WriteStringValue(
                HKEY_CURRENT_USER, (key + L"\\Ndi\\Interfaces").c_str(), L"LowerRange", lowerRange);
    }

    base::RegKey classKey_;
};

TEST_F(AdapterClassTest, PhysicalWiredAndWireless) {
    using machine_id::AdapterKind;
    struct Case {
        const wchar_t* service;
        AdapterKind kind;
    } const cases[] = {
        {L"{AAA}", AdapterKind::kWired},    {L"{aaa}", AdapterKind::kWired},
        {L"{BBB}", AdapterKind::kWireless}, {L"{CCC}", AdapterKind::kWireless},
        {L"{DDD}", AdapterKind::kSkipped},  {L"{EEE}", AdapterKind::kSkipped},
        {L"{FFF}", AdapterKind::kWireless}, {L"{999}", AdapterKind::kSkipped},
    };
    for (const auto& c : cases)
        EXPECT_EQ(machine_id::ClassifyAdapter(classKey_.Get(), c.service), c.kind) << c.service;
}

TEST(Mid2FormatTest, Validity) {
    std::string wrongCheck = kFull;
    wrongCheck[43] = wrongCheck[43] == '0' ? '1' : '0';
    std::string upperCheck = kRandom.substr(0, 42) + "7D";
    struct Case {
        std::string value;
        bool valid;
    } const cases[] = {
        {kFull, true},
        {kRandom, true},
        {kZeros, true},
        {upperCheck, true},  // check digits are read as hex
        {kFull.substr(0, 43), false},
        {kFull + "0", false},
        {wrongCheck, false},
        {kFull.substr(0, 42) + "zz", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(machine_id::IsValidMid2(c.value), c.valid) << c.value;
    EXPECT_EQ(machine_id::FinishMid2("da39a3ee5e6b4b0d3255bfef95601890afd80709", 0x2b),
              "da39a3ee5e6b4b0d3255bfef95601890afd807092b4c");
}

TEST(Mid2ComputeTest, IdentityFlagsAndCheck) {
    struct Case {
        Mid2Components components;
        bool elevated;
        std::string guid;
        std::string value;
        bool ok;
    } const cases[] = {
        {{kCard, kDisk, kCpu}, true, kGuid, kFull, true},
        {{kCard, kDisk, kCpu}, false, kGuid, kFullProvisional, true},
        {{kCard, "", kCpu}, true, kGuid, kCardOnly, true},
        {{"", kDisk, ""}, true, kGuid, kDiskOnlyNoCpu, true},
        {{"", "", kCpu}, true, kGuid, kRandom, false},
        {{"", "", kCpu}, false, kGuid, kRandom, false},  // a random identity is never provisional
        {{"", "", kCpu}, true, "", kZeros, false},
    };
    for (const auto& c : cases) {
        FakeEnvironment environment;
        environment.guid = c.guid;
        bool ok = !c.ok;
        EXPECT_EQ(machine_id::ComputeMid2(c.components, c.elevated, environment, ok), c.value);
        EXPECT_EQ(ok, c.ok);
    }
}

TEST(Mid2DecisionTest, StoredValueAgainstHardware) {
    const Mid2Components all{kCard, kDisk, kCpu};
    const Mid2Components cardOnly{kCard, "", kCpu};
    const Mid2Components diskOnly{"", kDisk, kCpu};
    const Mid2Components cpuOnly{"", "", kCpu};
    struct Case {
        const char* name;
        std::string stored;
        bool elevated;
        std::vector<Mid2Components> looks;
        std::string value;
        bool store;
        int collects;
        int waits;
    } const cases[] = {
        {"stored value, not elevated: used as is",
         kFullProvisional,
         false,
         {all},
         kFullProvisional,
         false,
         0,
         0},
        {"nothing stored, not elevated: provisional identity",
         "",
         false,
         {all},
         kFullProvisional,
         true,
         1,
         0},
        {"elevated run replaces the provisional identity",
         kFullProvisional,
         true,
         {all},
         kFull,
         true,
         1,
         0},
        {"elevated run confirms the stored value", kFull, true, {all}, kFull, false, 1, 0},
        {"stored random identity, no hardware: kept",
         kRandom,
         true,
         {cpuOnly},
         kRandom,
         false,
         1,
         0},
        {"nothing stored, no hardware: random identity", "", true, {cpuOnly}, kRandom, true, 2, 1},
        {"not elevated, no hardware: random, not provisional",
         "",
         false,
         {cpuOnly},
         kRandom,
         true,
         2,
         1},
        {"second look finds the card", "", true, {diskOnly, all}, kFull, true, 2, 1},
        {"stored random identity, hardware appears", kRandom, true, {all}, kFull, true, 1, 0},
        {"card only, second look finds nothing new",
         kFull,
         true,
         {cardOnly},
         kCardOnly,
         true,
         2,
         1},
        {"stored hashed identity, hardware gone", kFull, true, {cpuOnly}, kRandom, true, 2, 1},
    };
    for (const auto& c : cases) {
        FakeEnvironment environment;
        environment.elevated = c.elevated;
        environment.looks = c.looks;
        machine_id::Mid2Decision decision = machine_id::DecideMid2(c.stored, environment);
        EXPECT_EQ(decision.value, c.value) << c.name;
        EXPECT_EQ(decision.store, c.store) << c.name;
        EXPECT_EQ(environment.collectCalls, c.collects) << c.name;
        EXPECT_EQ(environment.waits, c.waits) << c.name;
        EXPECT_TRUE(machine_id::IsValidMid2(decision.value)) << c.name;
    }
}

TEST(Mid2DecisionTest, NoGuidAndRandomStoredKeepsStored) {
    FakeEnvironment environment;
    environment.looks = {{"", "", kCpu}};
    environment.guid.clear();
    machine_id::Mid2Decision decision = machine_id::DecideMid2(kRandom, environment);
    EXPECT_EQ(decision.value, kRandom);
    EXPECT_FALSE(decision.store);
}

// The real registry values, saved and put back around each test.
class Mid2RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::CanWriteMachineKey())
            GTEST_SKIP() << "needs administrator rights";
    }

    RegValueBackup m2_{HKEY_LOCAL_MACHINE, machine_id::kMid2Key, L"m2", base::RegView::k32};
    RegValueBackup m2Old_{HKEY_LOCAL_MACHINE, machine_id::kMid2Key, L"m2_old", base::RegView::k32};

    static bool Write(DWORD type, const std::wstring& text) {
        return testing_support::WriteRawValue(
            HKEY_LOCAL_MACHINE, machine_id::kMid2Key, L"m2", type, text.c_str(),
            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), base::RegView::k32);
    }
    static std::wstring Read(const wchar_t* name) {
        return testing_support::ReadStringValue(HKEY_LOCAL_MACHINE, machine_id::kMid2Key, name,
                                                base::RegView::k32);
    }
};

TEST_F(Mid2RegistryTest, StoredValueTypeLengthAndCheck) {
    std::wstring full = base::FromUtf8(kFull);
    std::wstring wrongCheck = full.substr(0, 42) + L"00";
    struct Case {
        DWORD type;
        std::wstring text;
        bool valid;
    } const cases[] = {
        {REG_SZ, full, true},
        {REG_EXPAND_SZ, full, true},
        {REG_MULTI_SZ, full, false},
        {REG_BINARY, full, false},
        {REG_SZ, full.substr(0, 43), false},
        {REG_SZ, full + L"0", false},
        {REG_SZ, wrongCheck, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Write(c.type, c.text));
        std::string value;
        EXPECT_EQ(machine_id::ReadStoredMid2(value), c.valid) << c.type << " " << c.text.size();
        if (c.valid) {
            EXPECT_EQ(value, kFull);
        }
    }
}

TEST_F(Mid2RegistryTest, StoreKeepsThePreviousValue) {
    ASSERT_TRUE(Write(REG_SZ, base::FromUtf8(kFullProvisional)));
    ASSERT_TRUE(machine_id::StoreMid2(kFull));
    EXPECT_EQ(Read(L"m2"), base::FromUtf8(kFull));
    EXPECT_EQ(Read(L"m2_old"), base::FromUtf8(kFullProvisional));
    // Storing the same value again leaves the saved one alone.
    ASSERT_TRUE(machine_id::StoreMid2(kFull));
    EXPECT_EQ(Read(L"m2_old"), base::FromUtf8(kFullProvisional));
    std::string stored;
    ASSERT_TRUE(machine_id::ReadStoredMid2(stored));
    EXPECT_EQ(stored, kFull);
}

TEST_F(Mid2RegistryTest, CorruptStoredValueIsRecomputedEvenWithoutElevation) {
    ASSERT_TRUE(Write(REG_SZ, base::FromUtf8(kFull.substr(0, 42) + "00")));
    std::string stored;
    EXPECT_FALSE(machine_id::ReadStoredMid2(stored));
    FakeEnvironment environment;
    environment.elevated = false;
    environment.looks = {{kCard, kDisk, kCpu}};
    machine_id::Mid2Decision decision = machine_id::DecideMid2("", environment);
    EXPECT_EQ(decision.value, kFullProvisional);
    EXPECT_TRUE(decision.store);
}

TEST_F(Mid2RegistryTest, ProvisionalIdentityReplacedByTheNextElevatedRun) {
    base::RegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, machine_id::kMid2Key, KEY_WRITE, base::RegView::k32)) {
        key.DeleteValue(L"m2");
        key.DeleteValue(L"m2_old");
    }
    key.Close();
    FakeEnvironment user;
    user.elevated = false;
    user.looks = {{kCard, kDisk, kCpu}};
    EXPECT_EQ(machine_id::ComputeAndStoreMid2(user), kFullProvisional);
    EXPECT_EQ(Read(L"m2"), base::FromUtf8(kFullProvisional));
    EXPECT_EQ(Read(L"m2_old"), L"");

    // Another non-elevated run keeps it without looking at the hardware.
    FakeEnvironment again = user;
    again.collectCalls = 0;
    EXPECT_EQ(machine_id::ComputeAndStoreMid2(again), kFullProvisional);
    EXPECT_EQ(again.collectCalls, 0);

    FakeEnvironment admin;
    admin.looks = {{kCard, kDisk, kCpu}};
    EXPECT_EQ(machine_id::ComputeAndStoreMid2(admin), kFull);
    EXPECT_EQ(Read(L"m2"), base::FromUtf8(kFull));
    EXPECT_EQ(Read(L"m2_old"), base::FromUtf8(kFullProvisional));
}

TEST_F(Mid2RegistryTest, RealComputationIsStoredAndStable) {
    base::RegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, machine_id::kMid2Key, KEY_WRITE, base::RegView::k32))
        key.DeleteValue(L"m2");
    key.Close();
    std::string first = machine_id::ComputeAndStoreMid2();
    EXPECT_TRUE(machine_id::IsValidMid2(first)) << first;
    EXPECT_EQ(Read(L"m2"), base::FromUtf8(first));
    std::string second = machine_id::ComputeAndStoreMid2();
    EXPECT_EQ(second, first);
    EXPECT_EQ(Read(L"m2"), base::FromUtf8(first));
}

class MidRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::CanWriteMachineKey())
            GTEST_SKIP() << "needs administrator rights";
    }

    RegValueBackup mid_{HKEY_LOCAL_MACHINE, machine_id::kMidKey, L"mid"};
    RegValueBackup midOld_{HKEY_LOCAL_MACHINE, machine_id::kMidKey, L"mid_old"};

    static std::string ReadA(const char* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\ZemSafe\\Liveup", 0, KEY_READ, &key))
            return "";
        char buffer[1024] = {};
        DWORD bytes = sizeof(buffer) - 1;
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
        RegCloseKey(key);
        return buffer;
    }
    static void WriteA(const std::string& value) {
        testing_support::WriteStringValue(HKEY_LOCAL_MACHINE, machine_id::kMidKey, L"mid",
                                          base::FromUtf8(value));
    }
};

TEST_F(MidRegistryTest, StoreWritesSelfCheckAndKeepsOldValue) {
    const std::string a = "0123456789abcdef0123456789abcdef";
    const std::string b = "fedcba9876543210fedcba9876543210";
    WriteA(machine_id::MakeStoredMid(a));
    ASSERT_TRUE(machine_id::StoreMid(b));
    EXPECT_EQ(ReadA("mid"), b + crypto::MidHash(b));
    EXPECT_EQ(ReadA("mid_old"), machine_id::MakeStoredMid(a));
    std::string stored, mid;
    ASSERT_TRUE(machine_id::ReadStoredMid(stored));
    ASSERT_TRUE(machine_id::CheckStoredMid(stored, mid));
    EXPECT_EQ(mid, b);
}

TEST_F(MidRegistryTest, ValidStoredValueWinsAndCorruptOneIsReplaced) {
    const std::string stored = "0123456789abcdef0123456789abcdef";
    WriteA(machine_id::MakeStoredMid(stored));
    EXPECT_EQ(GetMid(), base::FromUtf8(stored));

    // Wrong self-check: recomputed from the hardware and stored with a valid check.
    WriteA(stored + std::string(32, '0'));
    std::wstring computed = GetMid();
    ASSERT_EQ(computed.size(), 32u);
    EXPECT_NE(computed, base::FromUtf8(stored));
    EXPECT_EQ(computed.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
    std::string text =
        machine_id::BuildMidText(machine_id::MidProcessorText(machine_id::ReadCpuFacts()),
                                 machine_id::ReadDiskSerial(), machine_id::ReadMidMacAddress());
    EXPECT_EQ(base::ToUtf8(computed), crypto::MidHash(text.empty() ? "Mid2Failed" : text));
    EXPECT_EQ(ReadA("mid"), machine_id::MakeStoredMid(base::ToUtf8(computed)));
    EXPECT_EQ(ReadA("mid_old"), stored + std::string(32, '0'));
    EXPECT_EQ(GetMid(), computed);

    char narrow[33] = {};
    GetMID(narrow, sizeof(narrow));
    EXPECT_EQ(base::FromUtf8(narrow), computed);
    char small[32] = "untouched";
    GetMID(small, sizeof(small));  // no room for the terminator: left alone
    EXPECT_STREQ(small, "untouched");
    GetMID(static_cast<char*>(nullptr), 64);
    wchar_t wide[40] = {};
    GetMID(wide, 40);
    EXPECT_EQ(std::wstring(wide), computed);
}

TEST(NewMidTest, ComputedOnceAcrossThreads) {
    std::atomic<int> computations{0};
    CVrnMID2 object([&] {
        ++computations;
        Sleep(50);
        return kFull;
    });
    std::vector<std::thread> threads;
    std::atomic<int> matches{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            wchar_t buffer[CVrnMID2::kBufferChars] = {};
            if (object.GetMID2(buffer) == S_OK && base::ToUtf8(buffer) == kFull)
                ++matches;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(computations.load(), 1);
    EXPECT_EQ(matches.load(), 4);
}

TEST(NewMidTest, MissingOrOversizedValueFails) {
    CVrnMID2 empty([] { return std::string(); });
    wchar_t buffer[CVrnMID2::kBufferChars] = L"untouched";
    EXPECT_EQ(empty.GetMID2(buffer), E_FAIL);
    CVrnMID2 oversized([] { return std::string(50, 'a'); });
    EXPECT_EQ(oversized.GetMID2(buffer), E_FAIL);
    CVrnMID2 fits([] { return std::string(49, 'a'); });
    EXPECT_EQ(fits.GetMID2(buffer), S_OK);
    EXPECT_EQ(fits.GetMID2(nullptr), E_POINTER);
}

TEST(NewMidTest, InterfacesAndStaticReferences) {
    CVrnMID2 object([] { return kFull; });
    INewMID* newMid = nullptr;
    ASSERT_EQ(object.QueryInterface(IID_INewMID, reinterpret_cast<void**>(&newMid)), S_OK);
    wchar_t buffer[CVrnMID2::kBufferChars] = {};
    EXPECT_EQ(newMid->GetMID2(buffer), S_OK);
    EXPECT_EQ(base::ToUtf8(buffer), kFull);
    EXPECT_EQ(newMid->AddRef(), 2u);
    EXPECT_EQ(newMid->Release(), 1u);
    IExtend* extend = nullptr;
    ASSERT_EQ(object.QueryInterface(IID_IExtend, reinterpret_cast<void**>(&extend)), S_OK);
    EXPECT_EQ(extend->Call(L"anything"), E_NOTIMPL);
    EXPECT_EQ(extend->GetOption(1, nullptr), E_NOTIMPL);
    void* other = &object;
    EXPECT_EQ(object.QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST(GetMid2Test, ProcessValueIsValid) {
    RegValueBackup m2(HKEY_LOCAL_MACHINE, machine_id::kMid2Key, L"m2", base::RegView::k32);
    RegValueBackup m2Old(HKEY_LOCAL_MACHINE, machine_id::kMid2Key, L"m2_old", base::RegView::k32);
    std::wstring value = GetMid2();
    EXPECT_TRUE(machine_id::IsValidMid2(base::ToUtf8(value))) << value;
    EXPECT_EQ(GetMid2(), value);
}

}  // namespace
