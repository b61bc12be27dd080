#include "report/uninstall_info.h"

#include <cJSON.h>

#include "base/crypto.h"
#include "base/path.h"
#include "base/strings.h"
#include "report/endpoints.h"
#include "report/http_library.h"
#include "report/statistic.h"
#include "sysinfo/machine_id.h"

namespace {

constexpr char kReportKey[] = "e4a71d05-6b3c-4f82-8d19-07c3fb52e6a8";
constexpr wchar_t kReportPath[] = L"/pc/udda/dogsun";

}  // namespace

namespace report {

std::string BuildUninstallInfoJson(const char* type, const std::wstring& pid,
                                   const std::wstring& mid, const std::wstring& mid2,
                                   const std::wstring& appver, const std::wstring& modver) {
    cJSON* root = cJSON_CreateObject();
    if (!root)
        return {};
    cJSON_AddStringToObject(root, "type", type ? type : "");
    cJSON_AddStringToObject(root, "pid", base::ToUtf8(pid).c_str());
    cJSON_AddStringToObject(root, "mid", base::ToUtf8(mid).c_str());
    cJSON_AddStringToObject(root, "mid2", base::ToUtf8(mid2).c_str());
    cJSON_AddStringToObject(root, "appver", base::ToUtf8(appver).c_str());
    cJSON_AddStringToObject(root, "modver", base::ToUtf8(modver).c_str());
    cJSON_AddStringToObject(root, "appname", "kesti");
    char* printed = cJSON_PrintUnformatted(root);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    cJSON_Delete(root);
    return text;
}

std::string EncryptUninstallInfo(const std::string& json) {
    return crypto::Base64Encode(crypto::BlowfishEncrypt(kReportKey, json));
}

bool DecryptUninstallReply(const std::string& encoded, std::string& plain) {
    plain.clear();
    std::string encrypted;
    if (!crypto::Base64Decode(base::ToUtf8(base::Trim(base::FromUtf8(encoded))), encrypted) ||
        encrypted.empty() || encrypted.size() % 8 != 0) {
        return false;
    }
    plain = crypto::BlowfishDecrypt(kReportKey, encrypted);
    size_t zero = plain.find('\0');
    if (zero != std::string::npos)
        plain.resize(zero);
    return true;
}

DWORD PreliminaryUninstallInfoResult(const wchar_t* pid) {
    if (!pid)
        return 0;
    static const wchar_t* const kConfirmed[] = {L"bizhi_home", L"Zemsafe", L"bird", L"softmgr",
                                                L"Zemse"};
    for (const wchar_t* name : kConfirmed) {
        if (base::EqualsNoCase(pid, name))
            return 1;
    }
    return base::StartsWithNoCase(pid, L"system") ? 1 : 0;
}

}  // namespace report

DWORD ReportUninstallInfo(const char* type, const wchar_t* pid, const wchar_t* appver) {
    DWORD result = report::PreliminaryUninstallInfoResult(pid);

    CStatistic* statistic = CStatistic::Instance();
    wchar_t mid[260] = {}, mid2[260] = {};
    statistic->GetMid(mid, 260);
    statistic->GetMid2(mid2, 260);
    std::wstring modver;
    report::FileVersionText(path::ModulePath(), modver);

    std::string json = report::BuildUninstallInfoJson(type, pid ? pid : L"", mid, mid2,
                                                      appver ? appver : L"", modver);
    std::string encoded = report::EncryptUninstallInfo(json);
    std::wstring reply;
    if (!PostForm(report::ReportUrl() + kReportPath, L"data", base::FromUtf8(encoded), reply,
                  report::kUninstallInfoTimeoutMs)) {
        return result;
    }
    std::string plain;
    std::string wantedMid2 = base::ToUtf8(mid2);
    // The host proves it processed this machine's record by echoing its `mid2`; an empty one
    // proves nothing.
    if (!report::DecryptUninstallReply(base::ToUtf8(reply), plain) || wantedMid2.empty()) {
        return 0;
    }
    size_t at = plain.find(wantedMid2);
    return at != std::string::npos && at > 0 ? 1 : 0;
}
