#include "base/reg_key.h"

#include <vector>

namespace base {

RegKey& RegKey::operator=(RegKey&& other) noexcept {
    if (this != &other) {
        Close();
        key_ = other.key_;
        other.key_ = nullptr;
    }
    return *this;
}

bool RegKey::Open(HKEY root, const wchar_t* subKey, REGSAM access, RegView view) {
    Close();
    LSTATUS status = RegOpenKeyExW(root, subKey, 0, access | static_cast<REGSAM>(view), &key_);
    if (status != ERROR_SUCCESS) {
        key_ = nullptr;
        SetLastError(status);
        return false;
    }
    return true;
}

bool RegKey::Create(HKEY root, const wchar_t* subKey, REGSAM access, RegView view) {
    Close();
    LSTATUS status = RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     access | static_cast<REGSAM>(view), nullptr, &key_, nullptr);
    if (status != ERROR_SUCCESS) {
        key_ = nullptr;
        SetLastError(status);
        return false;
    }
    return true;
}

void RegKey::Close() {
    if (key_)
        RegCloseKey(key_);
    key_ = nullptr;
}

bool RegKey::QueryText(const wchar_t* name, std::wstring& value, size_t maxChars,
                       bool requireTerminator) const {
    if (!key_ || maxChars == 0)
        return false;
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(maxChars * sizeof(wchar_t));
    LSTATUS status = RegQueryValueExW(key_, name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        SetLastError(ERROR_INVALID_DATATYPE);
        return false;
    }
    if (requireTerminator && (bytes < sizeof(wchar_t) || bytes % sizeof(wchar_t) != 0 ||
                              buffer[bytes / sizeof(wchar_t) - 1] != L'\0')) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    // The stored data need not be terminated; the extra element keeps the copy bounded. A text
    // that leaves no room for its terminator does not fit the caller's buffer.
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    size_t length = wcslen(buffer.data());
    if (length >= maxChars) {
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    value.assign(buffer.data(), length);
    return true;
}

bool RegKey::QueryString(const wchar_t* name, std::wstring& value, size_t maxChars) const {
    return QueryText(name, value, maxChars, false);
}

bool RegKey::QueryTerminatedString(const wchar_t* name, std::wstring& value,
                                   size_t maxChars) const {
    return QueryText(name, value, maxChars, true);
}

bool RegKey::QueryDword(const wchar_t* name, DWORD& value) const {
    if (!key_)
        return false;
    DWORD type = 0, data = 0, bytes = sizeof(data);
    LSTATUS status =
        RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
    if (status != ERROR_SUCCESS || type != REG_DWORD) {
        SetLastError(status != ERROR_SUCCESS ? status : ERROR_INVALID_DATATYPE);
        return false;
    }
    value = data;
    return true;
}

bool RegKey::SetString(const wchar_t* name, const std::wstring& value, bool withTerminator) {
    if (!key_)
        return false;
    DWORD bytes = static_cast<DWORD>((value.size() + (withTerminator ? 1 : 0)) * sizeof(wchar_t));
    LSTATUS status =
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool RegKey::SetDword(const wchar_t* name, DWORD value) {
    if (!key_)
        return false;
    LSTATUS status = RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                    sizeof(value));
    SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool RegKey::DeleteValue(const wchar_t* name) {
    if (!key_)
        return false;
    LSTATUS status = RegDeleteValueW(key_, name);
    SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool ReadRegString(HKEY root, const wchar_t* subKey, const wchar_t* name, std::wstring& value,
                   RegView view, size_t maxChars) {
    RegKey key;
    return key.Open(root, subKey, KEY_QUERY_VALUE, view) && key.QueryString(name, value, maxChars);
}

}  // namespace base
