#include "report/statistic.h"

// wininet.h, not winhttp.h: the two cannot share a translation unit.
#include <windows.h>
#include <iphlpapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "report/endpoints.h"
#include "sysinfo/machine_id.h"

namespace {

constexpr size_t kJobUrlChars = 2048;
constexpr size_t kJobFileChars = 520;
constexpr size_t kValueChars = 260;
constexpr size_t kMinMid2Chars = 50;
constexpr DWORD kMaxVersionBlockBytes = 0x3FFF;
constexpr wchar_t kUrlTemplate[] =
    L"/dot?ptype=kestipaper&pid={pid}&type={type}&action={action}&appver={ver}&mid={mid}"
    L"&mid2={mid2}";
constexpr wchar_t kInitFailKey[] = L"{720260B5-154E-483f-A485-0B46C3D6C50D}";

// One asynchronous send. The job owns copies of everything it needs, so it never touches the
// caller's memory; the reporter itself lives until the process ends.
struct StatisticJob {
    CStatistic* owner = nullptr;
    wchar_t url[kJobUrlChars] = {};
    wchar_t file[kJobFileChars] = {};
    bool autoDelete = true;
    StatisticCallback callback;
};

void ReplaceAll(std::wstring& text, const wchar_t* placeholder, const std::wstring& value) {
    size_t length = wcslen(placeholder);
    for (size_t at = text.find(placeholder); at != std::wstring::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, length, value);
    }
}

void CopyCut(wchar_t* buffer, size_t chars, const wchar_t* text) {
    if (!text) {
        buffer[0] = L'\0';
        return;
    }
    wcsncpy(buffer, text, chars - 1);
    buffer[chars - 1] = L'\0';
}

DWORD WINAPI RunStatisticJob(void* param) {
    StatisticJob* job = static_cast<StatisticJob*>(param);
    CStatistic* owner = job->owner;
    if (job->url[0] && owner->IsNetworkConnected()) {
        bool ok = CStatistic::Fetch(job->url, job->file[0] ? job->file : nullptr);
        if (job->callback)
            job->callback(ok);
    }
    if (job->autoDelete)
        delete job;
    owner->JobDone();
    return 0;
}

// COM for urlmon on a thread that may or may not have it already.
class ComScope {
  public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    HRESULT result_;
};

}  // namespace

namespace report {

bool FileVersionText(const std::wstring& path, std::wstring& text) {
    text.clear();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0 || size > kMaxVersionBlockBytes)
        return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info ||
        infoSize < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    text = base::Format(64, L"%d.%d.%d.%d", HIWORD(info->dwFileVersionMS),
                        LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                        LOWORD(info->dwFileVersionLS));
    return true;
}

int ReportPreInitCheckFailed(int code) {
    std::wstring extra = base::Format(128, L"&%s=PreInitCheck:%d", kInitFailKey, code);
    return CStatistic::Instance()->Report(L"unist_init_fail", extra.c_str(), false);
}

int ReportInitConfigFailed() {
    std::wstring extra = base::Format(128, L"&%s=InitConfigFaile", kInitFailKey);
    return CStatistic::Instance()->Report(L"unist_init_fail", extra.c_str(), false);
}

int ReportUninstallFrom(const std::wstring& parentStem, const std::wstring& windowsVersion) {
    std::wstring extra = L"&ex1=" + parentStem + L"&ex2=" + windowsVersion;
    return CStatistic::Instance()->Report(L"uninstall_from", extra.c_str(), true);
}

int ReportUninstallFinished(int days, const std::wstring& installDate) {
    std::wstring extra =
        base::Format(64, L"&ex1=%d&ex2=", days) + EscapeStatisticValue(installDate);
    return CStatistic::Instance()->Report(L"uninstall_2", extra.c_str(), false);
}

std::wstring EscapeStatisticValue(const std::wstring& text) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    static const char kKept[] = "!'()*-./:_~%";
    std::wstring escaped;
    for (unsigned char c : base::ToUtf8(text)) {
        bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    (c != 0 && strchr(kKept, c) != nullptr);
        if (kept) {
            escaped += static_cast<wchar_t>(c);
        } else {
            escaped += L'%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

}  // namespace report

CStatistic::CStatistic() : oem_(std::make_unique<COemUrlConfig>(L"bizhi")) {}

int CStatistic::SendUrl(const wchar_t* url, bool wait, const StatisticCallback& callback) {
    if (!url)
        return 0;
    std::wstring rewritten = oem_->RewriteUrl(url, L"statis");
    return Download(rewritten.c_str(), nullptr, !wait, 0, callback);
}

int CStatistic::GetFileVersion(const wchar_t* path, wchar_t* buffer, size_t chars) {
    if (!path || !buffer || chars == 0)
        return 0;
    std::wstring text;
    if (!report::FileVersionText(path, text) || text.size() >= chars)
        return 0;
    wcscpy(buffer, text.c_str());
    return 1;
}

int CStatistic::IsNetworkConnected() {
    DWORD flags = 0;
    if (InternetGetConnectedState(&flags, 0) &&
        (flags &
         (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)) != 0) {
        return 1;
    }
    return HasGatewayAdapter();
}

int CStatistic::HasGatewayAdapter() {
    ULONG size = sizeof(IP_ADAPTER_INFO);
    std::vector<BYTE> buffer(size);
    DWORD result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS)
        return 0;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->GatewayList.IpAddress.String[0] != '\0')
            return 1;
    }
    return 0;
}

bool CStatistic::Fetch(const wchar_t* url, const wchar_t* file) {
    ComScope com;
    if (file && *file)
        return SUCCEEDED(URLDownloadToFileW(nullptr, url, file, 0, nullptr));
    wchar_t cached[MAX_PATH] = {};
    if (SUCCEEDED(URLDownloadToCacheFileW(nullptr, url, cached, MAX_PATH, 0, nullptr))) {
        if (cached[0])
            DeleteFileW(cached);
        return true;
    }
    // Some urlmon implementations (Wine's) name the cache file after the text behind the URL's
    // last dot and fail before sending anything when that text holds the port and path, which
    // is the case whenever no query value has a dot. The reply is never read, so a private
    // temporary file serves as well.
    std::wstring temporary = path::FreeTempName(path::TempDir());
    if (temporary.empty())
        return false;
    bool ok = SUCCEEDED(URLDownloadToFileW(nullptr, url, temporary.c_str(), 0, nullptr));
    DeleteFileW(temporary.c_str());
    return ok;
}

int CStatistic::Download(const wchar_t* url, const wchar_t* file, bool async, int /*reserved*/,
                         const StatisticCallback& callback) {
    if (!url)
        return 0;
    if (!async) {
        bool ok = Fetch(url, file);
        if (callback)
            callback(ok);
        return ok ? 1 : 0;
    }
    auto* job = new (std::nothrow) StatisticJob();
    if (!job)
        return 0;
    job->owner = this;
    CopyCut(job->url, kJobUrlChars, url);  // a longer URL is cut to 2047 characters
    CopyCut(job->file, kJobFileChars, file);
    job->callback = callback;
    InterlockedIncrement(&pendingJobs_);
    HANDLE thread = CreateThread(nullptr, 0, &RunStatisticJob, job, 0, nullptr);
    if (!thread) {
        InterlockedDecrement(&pendingJobs_);
        delete job;
        return 0;
    }
    CloseHandle(thread);  // detached: the job frees itself
    return 1;
}

bool CStatistic::WaitForPendingReports(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (InterlockedCompareExchange(&pendingJobs_, 0, 0) > 0) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

int CStatistic::GetMid(wchar_t* buffer, size_t chars) {
    if (!buffer || chars == 0)
        return 1;
    CopyCut(buffer, chars, ::GetMid().c_str());
    return 1;
}

int CStatistic::GetMid2(wchar_t* buffer, size_t chars) {
    if (!buffer || chars < kMinMid2Chars)
        return 0;
    std::wstring mid2 = ::GetMid2();
    if (mid2.empty() || mid2.size() >= chars)
        return 0;
    wcscpy(buffer, mid2.c_str());
    return 1;
}

void CStatistic::SetType(const wchar_t* type) {
    _BaseModule::CAutoLocker guard(lock_);
    type_ = type ? type : L"";
}

void CStatistic::SetVersionFile(const wchar_t* path) {
    wchar_t buffer[kValueChars] = {};
    GetFileVersion(path, buffer, kValueChars);
    _BaseModule::CAutoLocker guard(lock_);
    ver_ = buffer;
}

void CStatistic::FillMissingValues() {
    bool needMid, needMid2, needVer, needPid;
    {
        _BaseModule::CAutoLocker guard(lock_);
        needMid = mid_.empty();
        needMid2 = mid2_.empty();
        needVer = ver_.empty();
        needPid = pid_.empty();
    }
    // Computed outside the lock: the machine identifiers may take a while the first time.
    wchar_t mid[kValueChars] = {}, mid2[kValueChars] = {}, ver[kValueChars] = {};
    std::wstring pid;
    if (needMid)
        GetMid(mid, kValueChars);
    if (needMid2)
        GetMid2(mid2, kValueChars);
    if (needVer) {
        std::wstring main = path::Join(path::ModuleDir(), L"kestiwp.exe");
        GetFileVersion(main.c_str(), ver, kValueChars);
    }
    if (needPid)
        base::ReadRegString(HKEY_CURRENT_USER, L"Software\\KestiWallPaper", L"pid", pid);
    _BaseModule::CAutoLocker guard(lock_);
    if (mid_.empty())
        mid_ = mid;
    if (mid2_.empty())
        mid2_ = mid2;
    if (ver_.empty())
        ver_ = ver;
    if (pid_.empty())
        pid_ = pid;
}

std::wstring CStatistic::BuildUrl(const wchar_t* action, const wchar_t* extra) {
    FillMissingValues();
    std::wstring url = L"http://" + report::StatisticsHost() + kUrlTemplate;
    _BaseModule::CAutoLocker guard(lock_);
    ReplaceAll(url, L"{type}", type_);
    ReplaceAll(url, L"{action}", action ? action : L"");
    ReplaceAll(url, L"{ver}", ver_);
    ReplaceAll(url, L"{mid}", mid_);
    ReplaceAll(url, L"{mid2}", mid2_);
    ReplaceAll(url, L"{pid}", pid_);
    if (extra)
        url += extra;
    return url;
}

int CStatistic::Report(const wchar_t* action, const wchar_t* extra, bool wait,
                       const StatisticCallback& callback) {
    {
        _BaseModule::CAutoLocker guard(lock_);
        if (!action || !*action || type_.empty())
            return 0;
    }
    std::wstring url = BuildUrl(action, extra);
    return SendUrl(url.c_str(), wait, callback);
}
