// Hardware facts behind the machine identifiers: processor, disk serial, network-card address.
// Every probe is best effort: a device that cannot be opened or queried is skipped.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <nb30.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cpuid.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/handle.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "sysinfo/machine_id.h"
#include "sysinfo/os_version.h"

namespace machine_id {

namespace {

constexpr int kMaxDrives = 16;
constexpr DWORD kIoctlScsiMiniportIdentify = 0x001B0501;
constexpr DWORD kIoctlNdisQueryGlobalStats = 0x00170002;
constexpr DWORD kOid8023PermanentAddress = 0x01010101;
constexpr size_t kIdentifySize = IDENTIFY_BUFFER_SIZE;
// The serial number of ATA identify data: words 10 to 19.
constexpr size_t kSerialOffset = 20;
constexpr size_t kSerialLength = 20;

constexpr wchar_t kNetworkCardsKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr wchar_t kNetworkClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

std::string TrimSpaces(std::string text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(' ');
    return text.substr(begin, end - begin + 1);
}

// Only printable ASCII survives: serials become part of texts that are hashed and logged.
std::string Printable(const char* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && bytes[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
    }
    return text;
}

base::UniqueHandle OpenDevice(const std::wstring& name, DWORD access) {
    return base::UniqueHandle(CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
}

std::wstring DriveName(int index) {
    return base::Format(64, L"\\\\.\\PhysicalDrive%d", index);
}

// SMART_RCV_DRIVE_DATA with the ATA identify command; the serial from the answer.
std::string IdentifyBySmart(HANDLE drive, BYTE driveNumber, BYTE command) {
    SENDCMDINPARAMS in = {};
    in.cBufferSize = kIdentifySize;
    in.irDriveRegs.bSectorCountReg = 1;
    in.irDriveRegs.bSectorNumberReg = 1;
    in.irDriveRegs.bDriveHeadReg = static_cast<BYTE>(0xA0 | ((driveNumber & 1) << 4));
    in.irDriveRegs.bCommandReg = command;
    in.bDriveNumber = driveNumber;
    std::vector<BYTE> out(sizeof(SENDCMDOUTPARAMS) - 1 + kIdentifySize);
    DWORD returned = 0;
    if (!DeviceIoControl(drive, SMART_RCV_DRIVE_DATA, &in, sizeof(in) - 1, out.data(),
                         static_cast<DWORD>(out.size()), &returned, nullptr) ||
        returned < offsetof(SENDCMDOUTPARAMS, bBuffer) + kSerialOffset + kSerialLength)
        return {};
    const auto* answer = reinterpret_cast<const SENDCMDOUTPARAMS*>(out.data());
    return SerialFromIdentifyWords(reinterpret_cast<const char*>(answer->bBuffer) + kSerialOffset,
                                   kSerialLength);
}

// Method 1: SMART version query first, then the identify data of the drive it reports.
std::string SerialBySmartVersion() {
    for (int i = 0; i < kMaxDrives; ++i) {
        base::UniqueHandle drive = OpenDevice(DriveName(i), GENERIC_READ | GENERIC_WRITE);
        if (!drive)
            continue;
        GETVERSIONINPARAMS version = {};
        DWORD returned = 0;
        if (!DeviceIoControl(drive.Get(), SMART_GET_VERSION, nullptr, 0, &version, sizeof(version),
                             &returned, nullptr) ||
            version.bIDEDeviceMap == 0)
            continue;
        // Bit 4 upward of the device map marks ATAPI devices, which answer the packet command.
        BYTE command = (version.bIDEDeviceMap >> i) & 0x10 ? ATAPI_ID_CMD : ID_CMD;
        std::string serial = IdentifyBySmart(drive.Get(), static_cast<BYTE>(i), command);
        if (!serial.empty())
            return serial;
    }
    return {};
}

// Method 2: the SCSI port with the miniport identify request, for IDE disks behind SCSI
// miniport drivers (works without administrator rights on old systems).
std::string SerialByScsiMiniport() {
    for (int port = 0; port < kMaxDrives; ++port) {
        base::UniqueHandle scsi =
            OpenDevice(base::Format(64, L"\\\\.\\Scsi%d:", port), GENERIC_READ | GENERIC_WRITE);
        if (!scsi)
            continue;
        for (BYTE driveNumber = 0; driveNumber < 2; ++driveNumber) {
            std::vector<BYTE> buffer(sizeof(SRB_IO_CONTROL) + sizeof(SENDCMDOUTPARAMS) - 1 +
                                     kIdentifySize);
            auto* control = reinterpret_cast<SRB_IO_CONTROL*>(buffer.data());
            control->HeaderLength = sizeof(SRB_IO_CONTROL);
            control->Timeout = 10000;
            control->Length = static_cast<ULONG>(buffer.size() - sizeof(SRB_IO_CONTROL));
            control->ControlCode = kIoctlScsiMiniportIdentify;
            memcpy(control->Signature, "SCSIDISK", 8);
            auto* in = reinterpret_cast<SENDCMDINPARAMS*>(buffer.data() + sizeof(SRB_IO_CONTROL));
            in->cBufferSize = kIdentifySize;
            in->irDriveRegs.bSectorCountReg = 1;
            in->irDriveRegs.bSectorNumberReg = 1;
            in->irDriveRegs.bDriveHeadReg = static_cast<BYTE>(0xA0 | (driveNumber << 4));
            in->irDriveRegs.bCommandReg = ID_CMD;
            in->bDriveNumber = driveNumber;
            DWORD returned = 0;
            if (!DeviceIoControl(
                    scsi.Get(), IOCTL_SCSI_MINIPORT, buffer.data(),
                    static_cast<DWORD>(sizeof(SRB_IO_CONTROL) + sizeof(SENDCMDINPARAMS) - 1),
                    buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr))
                continue;
            const auto* answer =
                reinterpret_cast<const SENDCMDOUTPARAMS*>(buffer.data() + sizeof(SRB_IO_CONTROL));
            std::string serial = SerialFromIdentifyWords(
                reinterpret_cast<const char*>(answer->bBuffer) + kSerialOffset, kSerialLength);
            if (!serial.empty())
                return serial;
        }
    }
    return {};
}

// Method 3: the storage property query, which needs no access rights to the disk.
std::string SerialByStorageQuery() {
    for (int i = 0; i < kMaxDrives; ++i) {
        base::UniqueHandle drive = OpenDevice(DriveName(i), 0);
        if (!drive)
            continue;
        STORAGE_PROPERTY_QUERY query = {};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        std::vector<char> buffer(4096);
        DWORD returned = 0;
        if (!DeviceIoControl(drive.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                             buffer.data(), static_cast<DWORD>(buffer.size()), &returned,
                             nullptr) ||
            returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
            continue;
        const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
        DWORD offset = descriptor->SerialNumberOffset;
        if (offset == 0 || offset >= returned)
            continue;
        std::string serial = TrimSpaces(Printable(&buffer[offset], returned - offset));
        if (!serial.empty())
            return serial;
    }
    return {};
}

// Method 4: the identify request straight away, for drivers that lack the version query.
std::string SerialBySmartIdentify() {
    for (int i = 0; i < kMaxDrives; ++i) {
        base::UniqueHandle drive = OpenDevice(DriveName(i), GENERIC_READ | GENERIC_WRITE);
        if (!drive)
            continue;
        std::string serial = IdentifyBySmart(drive.Get(), static_cast<BYTE>(i), ID_CMD);
        if (!serial.empty())
            return serial;
    }
    return {};
}

// The permanent (burnt-in) address from the adapter's driver; the current address may be
// changed by the user, the permanent one identifies the card.
bool QueryPermanentAddress(const std::wstring& serviceName, std::string& mac) {
    base::UniqueHandle device = OpenDevice(L"\\\\.\\" + serviceName, 0);
    if (!device)
        return false;
    DWORD oid = kOid8023PermanentAddress;
    uint8_t address[64] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device.Get(), kIoctlNdisQueryGlobalStats, &oid, sizeof(oid), address,
                         sizeof(address), &returned, nullptr) ||
        returned < 6)
        return false;
    mac = FormatMac(address);
    return true;
}

// The "ServiceName" of every adapter under NetworkCards, properly terminated texts only.
std::vector<std::wstring> NetworkCardServiceNames() {
    std::vector<std::wstring> names;
    base::RegKey cards;
    if (!cards.Open(HKEY_LOCAL_MACHINE, kNetworkCardsKey, KEY_READ))
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t subKey[256] = {};
        DWORD length = 256;
        LSTATUS status =
            RegEnumKeyExW(cards.Get(), index, subKey, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS)
            continue;
        base::RegKey card;
        std::wstring service;
        if (card.Open(cards.Get(), subKey, KEY_READ) &&
            card.QueryTerminatedString(L"ServiceName", service) && !service.empty() &&
            service.find_first_of(L"\\/") == std::wstring::npos)
            names.push_back(service);
    }
    return names;
}

bool ReadBusType(const base::RegKey& key, DWORD& busType) {
    if (key.QueryDword(L"BusType", busType))
        return true;
    std::wstring text;
    if (!key.QueryString(L"BusType", text))
        return false;
    wchar_t* end = nullptr;
    busType = wcstoul(text.c_str(), &end, 10);
    return end != text.c_str();
}

std::string NetBiosAddress() {
    base::UniqueModule netapi(LoadLibraryW(L"netapi32.dll"));
    if (!netapi)
        return {};
    using NetbiosFn = UCHAR(APIENTRY*)(PNCB);
    auto netbios = reinterpret_cast<NetbiosFn>(
        reinterpret_cast<void*>(GetProcAddress(netapi.Get(), "Netbios")));
    if (!netbios)
        return {};
    LANA_ENUM lanas = {};
    NCB ncb = {};
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof(lanas);
    if (netbios(&ncb) != NRC_GOODRET || lanas.length == 0)
        return {};
    UCHAR lana = lanas.lana[0];
    ncb = {};
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lana;
    if (netbios(&ncb) != NRC_GOODRET)
        return {};
    struct {
        ADAPTER_STATUS status;
        NAME_BUFFER names[30];
    } answer = {};
    ncb = {};
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lana;
    memset(ncb.ncb_callname, ' ', NCBNAMSZ);
    ncb.ncb_callname[0] = '*';
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&answer);
    ncb.ncb_length = sizeof(answer);
    if (netbios(&ncb) != NRC_GOODRET)
        return {};
    return FormatMac(answer.status.adapter_address);
}

// The adapter list of the IP helper, for systems whose NetworkCards list gives nothing.
std::string NetworkCardFromAdapterList() {
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0)
        return {};
    std::vector<BYTE> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (GetAdaptersInfo(list, &size) != ERROR_SUCCESS)
        return {};
    base::RegKey classKey;
    bool haveClassKey = classKey.Open(HKEY_LOCAL_MACHINE, kNetworkClassKey, KEY_READ);
    std::vector<FoundAdapter> found;
    for (const IP_ADAPTER_INFO* adapter = list; adapter; adapter = adapter->Next) {
        if (adapter->AddressLength != 6)
            continue;
        if (adapter->Type != MIB_IF_TYPE_ETHERNET && adapter->Type != IF_TYPE_IEEE80211)
            continue;
        std::wstring name = base::FromAnsi(adapter->AdapterName);
        AdapterKind kind =
            haveClassKey ? ClassifyAdapter(classKey.Get(), name) : AdapterKind::kWired;
        if (kind == AdapterKind::kSkipped)
            continue;
        std::wstring description = base::FromAnsi(adapter->Description);
        bool wireless = kind == AdapterKind::kWireless || adapter->Type == IF_TYPE_IEEE80211 ||
                        base::ContainsNoCase(description, L"wifi") ||
                        base::ContainsNoCase(description, L"wireless");
        found.push_back({FormatMac(adapter->Address), wireless});
    }
    return ChooseNetworkCard(found);
}

}  // namespace

std::string NormalizeVendor(std::string vendor) {
    if (vendor == "GenuineIotel")
        vendor = "GenuineIntel";
    return vendor;
}

CpuFacts ReadCpuFacts() {
    CpuFacts facts;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
        return facts;
    char vendor[13] = {};
    memcpy(vendor, &ebx, 4);
    memcpy(vendor + 4, &edx, 4);
    memcpy(vendor + 8, &ecx, 4);
    facts.vendor = NormalizeVendor(vendor);
    if (eax >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        facts.signature = eax;
        facts.features = edx;
    }
    if (__get_cpuid_max(0x80000000, nullptr) >= 0x80000004) {
        char brand[49] = {};
        for (unsigned int leaf = 0; leaf < 3; ++leaf) {
            __get_cpuid(0x80000002 + leaf, &eax, &ebx, &ecx, &edx);
            memcpy(brand + leaf * 16, &eax, 4);
            memcpy(brand + leaf * 16 + 4, &ebx, 4);
            memcpy(brand + leaf * 16 + 8, &ecx, 4);
            memcpy(brand + leaf * 16 + 12, &edx, 4);
        }
        facts.brand = TrimSpaces(Printable(brand, 48));
    }
    return facts;
}

std::string SerialFromIdentifyWords(const char* bytes, size_t count) {
    std::string swapped(bytes, count);
    for (size_t i = 0; i + 1 < count; i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    return TrimSpaces(Printable(swapped.data(), swapped.size()));
}

std::string FormatMac(const uint8_t* address) {
    char text[13] = {};
    snprintf(text, sizeof(text), "%02X%02X%02X%02X%02X%02X", address[0], address[1], address[2],
             address[3], address[4], address[5]);
    return text;
}

std::string ReadDiskSerial() {
    for (auto method : {SerialBySmartVersion, SerialByScsiMiniport, SerialByStorageQuery,
                        SerialBySmartIdentify}) {
        std::string serial = method();
        if (!serial.empty())
            return serial;
    }
    return {};
}

std::string ReadMidMacAddress() {
    std::string smallest;
    for (const std::wstring& service : NetworkCardServiceNames()) {
        std::string mac;
        if (QueryPermanentAddress(service, mac) && (smallest.empty() || mac < smallest))
            smallest = mac;
    }
    if (!smallest.empty())
        return smallest;
    return NetBiosAddress();
}

AdapterKind ClassifyAdapter(HKEY networkClassKey, const std::wstring& serviceName) {
    for (DWORD index = 0;; ++index) {
        wchar_t subKey[256] = {};
        DWORD length = 256;
        LSTATUS status = RegEnumKeyExW(networkClassKey, index, subKey, &length, nullptr, nullptr,
                                       nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS)
            continue;
        base::RegKey adapter;
        if (!adapter.Open(networkClassKey, subKey, KEY_READ))
            continue;  // "Properties" is not readable, and need not be
        std::wstring instanceId;
        if (!adapter.QueryString(L"NetCfgInstanceId", instanceId) ||
            !base::EqualsNoCase(instanceId, serviceName))
            continue;
        DWORD busType = 0;
        if (!ReadBusType(adapter, busType) || busType != 5)
            return AdapterKind::kSkipped;  // not on the PCI bus: virtual, USB or software
        std::wstring description;
        if (adapter.QueryString(L"DriverDesc", description) &&
            base::ContainsNoCase(description, L"Wireless"))
            return AdapterKind::kWireless;
        base::RegKey interfaces;
        std::wstring lowerRange;
        if (interfaces.Open(adapter.Get(), L"Ndi\\Interfaces", KEY_READ) &&
            interfaces.QueryString(L"LowerRange", lowerRange) &&
            (base::ContainsNoCase(lowerRange, L"wlan") ||
             base::ContainsNoCase(lowerRange, L"vwifi")))
            return AdapterKind::kWireless;
        return AdapterKind::kWired;
    }
    return AdapterKind::kSkipped;
}

std::string ChooseNetworkCard(const std::vector<FoundAdapter>& adapters) {
    std::string wired, wireless;
    for (const FoundAdapter& adapter : adapters) {
        if (adapter.mac.empty())
            continue;
        std::string& best = adapter.wireless ? wireless : wired;
        if (best.empty() || adapter.mac < best)
            best = adapter.mac;
    }
    return wired.empty() ? wireless : wired;
}

std::string ReadMid2NetworkCard() {
    base::RegKey classKey;
    bool haveClassKey = classKey.Open(HKEY_LOCAL_MACHINE, kNetworkClassKey, KEY_READ);
    std::vector<FoundAdapter> found;
    for (const std::wstring& service : NetworkCardServiceNames()) {
        // Without the class key nothing tells physical from virtual; every card counts.
        AdapterKind kind =
            haveClassKey ? ClassifyAdapter(classKey.Get(), service) : AdapterKind::kWired;
        if (kind == AdapterKind::kSkipped)
            continue;
        std::string mac;
        if (QueryPermanentAddress(service, mac))
            found.push_back({mac, kind == AdapterKind::kWireless});
    }
    std::string chosen = ChooseNetworkCard(found);
    if (chosen.empty())
        chosen = NetworkCardFromAdapterList();
    return chosen;
}

std::string ReadMid2Disk() {
    return ReadDiskSerial();
}

bool IsProcessElevated() {
    if (COSVersionCheck::Instance().Version().dwMajorVersion < 6)
        return true;  // no split tokens before Vista: an administrator is an administrator
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return true;
    base::UniqueHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    DWORD returned = 0;
    if (!GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &returned))
        return true;
    return elevation.TokenIsElevated != 0;
}

}  // namespace machine_id
