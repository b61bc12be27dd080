#include "report/oem_url_config.h"

#include <windows.h>

#include <vector>

#include "base/crypto.h"
#include "base/reg_key.h"
#include "base/strings.h"

namespace {

constexpr char kOemKey[] = "3E1D0C5A-9B2F-4C61-8A07-D4E2B9C1F05B";
constexpr wchar_t kOverrideSubKey[] = L"\\oemconfig";
constexpr DWORD kMaxNameChars = 4096;
constexpr DWORD kMaxDataBytes = 8192;

// A replacement must be a plain host name or address: anything else ("/", "@", "?", ":",
// spaces...) would change what the URL means rather than which host it names (the URL keeps its
// own port), so a damaged or hostile value leaves the URL as it is.
bool IsPlainHost(const std::wstring& host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (wchar_t c : host) {
        bool hostChar = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                        (c >= L'0' && c <= L'9') || c == L'.' || c == L'-';
        if (!hostChar)
            return false;
    }
    return true;
}

}  // namespace

COemUrlConfig::COemUrlConfig(const wchar_t* productKey)
    : productKey_(productKey ? productKey : L""), keyPath_(OverrideKeyPath(productKey)) {
    Load();
}

std::wstring COemUrlConfig::OverrideKeyPath(const wchar_t* productKey) {
    if (!productKey)
        return {};
    if (base::EqualsNoCase(productKey, L"bizhi"))
        return L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Zemwpapp.exe\\oemconfig";
    if (base::EqualsNoCase(productKey, L"varnel"))
        return L"SOFTWARE\\Varnel\\oemconfig";
    return {};
}

std::wstring COemUrlConfig::DecodeText(const std::wstring& stored) {
    std::string encrypted;
    if (!crypto::Base64Decode(base::ToUtf8(stored), encrypted) || encrypted.empty())
        return {};
    std::string plain = crypto::BlowfishDecrypt(kOemKey, encrypted);
    size_t zero = plain.find('\0');
    if (zero != std::string::npos)
        plain.resize(zero);
    return base::FromUtf8(plain);
}

void COemUrlConfig::Load() {
    if (keyPath_.empty())
        return;
    std::wstring parentPath = keyPath_.substr(0, keyPath_.size() - wcslen(kOverrideSubKey));
    std::wstring flag;
    if (!base::ReadRegString(HKEY_LOCAL_MACHINE, parentPath.c_str(), L"oem_f", flag,
                             base::RegView::k32) ||
        !base::EqualsNoCase(flag, L"1")) {
        return;
    }
    enabled_ = true;

    base::RegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, keyPath_.c_str(), KEY_READ, base::RegView::k32))
        return;
    std::vector<wchar_t> name(kMaxNameChars + 1);
    std::vector<BYTE> data(kMaxDataBytes + sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD dataBytes = kMaxDataBytes;
        DWORD type = 0;
        LONG result = RegEnumValueW(key.Get(), index, name.data(), &nameChars, nullptr, &type,
                                    data.data(), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            continue;  // too long a name or data: skipped like any other unusable value
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            continue;
        // Only data that ends with its terminator counts; a value written without one would
        // otherwise be read past its end.
        if (dataBytes < sizeof(wchar_t) || dataBytes % sizeof(wchar_t) != 0)
            continue;
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
        size_t chars = dataBytes / sizeof(wchar_t);
        if (text[chars - 1] != L'\0')
            continue;
        std::wstring decodedName = DecodeText(std::wstring(name.data(), nameChars));
        std::wstring decodedValue = DecodeText(std::wstring(text, wcslen(text)));
        if (decodedName.empty() || decodedValue.empty())
            continue;
        hosts_[decodedName] = decodedValue;
    }
}

std::wstring COemUrlConfig::HostFor(const std::wstring& serviceKey) const {
    auto found = hosts_.find(serviceKey);
    return found == hosts_.end() ? std::wstring() : found->second;
}

std::wstring COemUrlConfig::RewriteUrl(const std::wstring& url, const wchar_t* serviceKey) const {
    if (!enabled_ || !serviceKey)
        return url;
    std::wstring replacement = HostFor(serviceKey);
    if (replacement.empty() || !IsPlainHost(replacement))
        return url;
    size_t start = url.find(L"://");
    if (start == std::wstring::npos)
        return url;
    start += 3;
    size_t end = url.find(L'/', start);
    std::wstring host =
        url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    size_t colon = host.find(L':');
    if (colon != std::wstring::npos)
        host.resize(colon);
    if (host.empty())
        return url;
    std::wstring result;
    size_t from = 0;
    for (size_t at = url.find(host); at != std::wstring::npos; at = url.find(host, from)) {
        result.append(url, from, at - from);
        result += replacement;
        from = at + host.size();
    }
    result.append(url, from, std::wstring::npos);
    return result;
}
