// The uninstall-information report: an encrypted JSON record of the uninstall posted to the
// report host, whose encrypted answer must echo the machine's `mid2`.
#pragma once

#include <windows.h>

#include <string>

// 1 when the report host confirmed the record (or, when the post failed, when `pid` is one of
// the channels that count as confirmed by themselves); else 0.
DWORD ReportUninstallInfo(const char* type, const wchar_t* pid, const wchar_t* appver);

namespace report {

// The unformatted JSON text of the record, members in the fixed order.
std::string BuildUninstallInfoJson(const char* type, const std::wstring& pid,
                                   const std::wstring& mid, const std::wstring& mid2,
                                   const std::wstring& appver, const std::wstring& modver);
// Blowfish with the report key, then Base64.
std::string EncryptUninstallInfo(const std::string& json);
// The reverse, up to the first zero byte; false when the text is not Base64 of whole blocks.
bool DecryptUninstallReply(const std::string& encoded, std::string& plain);
// The result before the post: 1 for the channels that are confirmed by themselves.
DWORD PreliminaryUninstallInfoResult(const wchar_t* pid);

// The time ReportUninstallInfo waits for the report host.
inline constexpr DWORD kUninstallInfoTimeoutMs = 30000;

}  // namespace report
