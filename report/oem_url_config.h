// The OEM host override: a partner build may redirect a service's host through encrypted values
// under an "oemconfig" registry key, enabled by the value "oem_f" of its parent key.
#pragma once

#include <map>
#include <string>

class COemUrlConfig {
  public:
    // "bizhi" and "varnel" select their override keys; any other product key leaves the
    // override off. Reads the registry once, here.
    explicit COemUrlConfig(const wchar_t* productKey);

    bool IsEnabled() const { return enabled_; }
    // The URL with its host replaced by the override of `serviceKey` ("statis" for the
    // statistics); unchanged when the override is off or has no entry for the key.
    std::wstring RewriteUrl(const std::wstring& url, const wchar_t* serviceKey) const;
    // The decoded replacement of a service key; empty when none.
    std::wstring HostFor(const std::wstring& serviceKey) const;

    // The override key of a product key (HKLM, 32-bit view); empty when none.
    static std::wstring OverrideKeyPath(const wchar_t* productKey);
    // One stored text decoded: UTF-8, Base64, Blowfish with the OEM key, up to the first zero
    // byte. Empty when any step fails.
    static std::wstring DecodeText(const std::wstring& stored);

  private:
    void Load();

    std::wstring productKey_;
    std::wstring keyPath_;
    std::map<std::wstring, std::wstring> hosts_;
    bool enabled_ = false;
};
