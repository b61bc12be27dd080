// Small real fixtures the reporting tests share: registry values made and removed by the test,
// and the endpoints pointed at the test's service double.
#pragma once

#include <windows.h>

#include <string>

#include "base/reg_key.h"
#include "report/endpoints.h"
#include "tests/report/double_client.h"

namespace report_test {

// Points the statistics host, the web service and the report host at this program's double.
inline void UseDouble() {
    report::SetEndpointsForTesting(double_client::HostAndPort(), double_client::BaseUrl(),
                                   double_client::BaseUrl());
}

// Sets (or, with no value, removes) one REG_SZ value for the test's lifetime and restores what
// was there before.
class ScopedRegString {
  public:
    ScopedRegString(HKEY root, std::wstring subKey, std::wstring name, const wchar_t* value,
                    base::RegView view = base::RegView::kDefault)
        : root_(root), subKey_(std::move(subKey)), name_(std::move(name)), view_(view) {
        base::RegKey key;
        hadKey_ = key.Open(root_, subKey_.c_str(), KEY_READ, view_);
        hadValue_ = hadKey_ && key.QueryString(name_.c_str(), oldValue_, 8192);
        Set(value);
    }
    ~ScopedRegString() {
        Set(hadValue_ ? oldValue_.c_str() : nullptr);
        if (!hadKey_)
            RegDeleteKeyExW(root_, subKey_.c_str(), static_cast<REGSAM>(view_), 0);
    }
    ScopedRegString(const ScopedRegString&) = delete;
    ScopedRegString& operator=(const ScopedRegString&) = delete;

    void Set(const wchar_t* value) {
        base::RegKey key;
        if (value) {
            if (key.Create(root_, subKey_.c_str(), KEY_SET_VALUE, view_))
                key.SetString(name_.c_str(), value);
        } else if (key.Open(root_, subKey_.c_str(), KEY_SET_VALUE, view_)) {
            key.DeleteValue(name_.c_str());
        }
    }

  private:
    HKEY root_;
    std::wstring subKey_;
    std::wstring name_;
    base::RegView view_;
    bool hadKey_ = false;
    bool hadValue_ = false;
    std::wstring oldValue_;
};

}  // namespace report_test
