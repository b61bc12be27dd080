// Test fixture: remembers one registry value (or its absence) and the existence of its key,
// and puts both back when it goes out of scope, so tests can use the real keys.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/reg_key.h"

namespace testing_support {

class RegValueBackup {
  public:
    RegValueBackup(HKEY root, std::wstring subKey, std::wstring name,
                   base::RegView view = base::RegView::kDefault)
        : root_(root), subKey_(std::move(subKey)), name_(std::move(name)), view_(view) {
        // The keys on the way that do not exist yet are removed again afterwards.
        for (size_t end = subKey_.find(L'\\'); end != std::wstring::npos;
             end = subKey_.find(L'\\', end + 1)) {
            base::RegKey parent;
            if (!parent.Open(root_, subKey_.substr(0, end).c_str(), KEY_READ, view_))
                createdParents_.push_back(subKey_.substr(0, end));
        }
        base::RegKey key;
        keyExisted_ = key.Open(root_, subKey_.c_str(), KEY_READ, view_);
        if (!keyExisted_)
            return;
        DWORD bytes = 0;
        if (RegQueryValueExW(key.Get(), name_.c_str(), nullptr, &type_, nullptr, &bytes) !=
            ERROR_SUCCESS)
            return;
        data_.resize(bytes);
        valueExisted_ =
            RegQueryValueExW(key.Get(), name_.c_str(), nullptr, &type_,
                             data_.empty() ? nullptr : data_.data(), &bytes) == ERROR_SUCCESS;
        data_.resize(bytes);
    }

    ~RegValueBackup() {
        base::RegKey key;
        if (!key.Open(root_, subKey_.c_str(), KEY_READ | KEY_WRITE, view_))
            return;
        if (valueExisted_)
            RegSetValueExW(key.Get(), name_.c_str(), 0, type_, data_.data(),
                           static_cast<DWORD>(data_.size()));
        else
            RegDeleteValueW(key.Get(), name_.c_str());
        if (!keyExisted_) {
            key.Close();
            // Only keys the test created and left without subkeys are removed.
            RegDeleteKeyExW(root_, subKey_.c_str(), static_cast<REGSAM>(view_), 0);
            for (auto parent = createdParents_.rbegin(); parent != createdParents_.rend(); ++parent)
                RegDeleteKeyExW(root_, parent->c_str(), static_cast<REGSAM>(view_), 0);
        }
    }

    RegValueBackup(const RegValueBackup&) = delete;
    RegValueBackup& operator=(const RegValueBackup&) = delete;

  private:
    HKEY root_;
    std::wstring subKey_;
    std::wstring name_;
    base::RegView view_;
    std::vector<std::wstring> createdParents_;
    bool keyExisted_ = false;
    bool valueExisted_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> data_;
};

// Machine-wide values need administrator rights (every process has them under Wine); tests
// that write them skip themselves on a real machine without.
inline bool CanWriteMachineKey() {
    constexpr wchar_t kProbe[] = L"Software\\KestiUninstallerTests";
    base::RegKey key;
    if (!key.Create(HKEY_LOCAL_MACHINE, kProbe, KEY_READ | KEY_WRITE))
        return false;
    key.Close();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProbe);
    return true;
}

// Writes a value of any type, creating the key.
inline bool WriteRawValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type,
                          const void* data, DWORD bytes,
                          base::RegView view = base::RegView::kDefault) {
    base::RegKey key;
    return key.Create(root, subKey, KEY_READ | KEY_WRITE, view) &&
           RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes) ==
               ERROR_SUCCESS;
}

inline bool WriteStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name,
                             const std::wstring& value,
                             base::RegView view = base::RegView::kDefault) {
    return WriteRawValue(root, subKey, name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), view);
}

inline std::wstring ReadStringValue(HKEY root, const wchar_t* subKey, const wchar_t* name,
                                    base::RegView view = base::RegView::kDefault) {
    std::wstring value;
    base::ReadRegString(root, subKey, name, value, view, 2048);
    return value;
}

}  // namespace testing_support
