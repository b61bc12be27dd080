// The statistics reporter: one HTTP GET of the "dot" URL per event, normally on a detached
// thread of its own. The reply is never read.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "base/locker.h"
#include "base/singleton.h"
#include "report/oem_url_config.h"

// Called at most once with whether the download call succeeded.
using StatisticCallback = std::function<void(bool)>;

class CStatistic : public CSingletonT<CStatistic> {
  public:
    // Public for tests, which make their own; the program uses Instance().
    CStatistic();
    virtual ~CStatistic() = default;
    CStatistic(const CStatistic&) = delete;
    CStatistic& operator=(const CStatistic&) = delete;

    // Slot 0. Rewrites the host through the OEM override ("statis") and downloads; 1 when sent
    // (wait) or queued (no wait), else 0.
    virtual int SendUrl(const wchar_t* url, bool wait, const StatisticCallback& callback);
    // Slot 1. "%d.%d.%d.%d" of the file's fixed version information; 1 or 0.
    virtual int GetFileVersion(const wchar_t* path, wchar_t* buffer, size_t chars);
    // Slot 2. A connection by modem, LAN or proxy, else slot 3.
    virtual int IsNetworkConnected();
    // Slot 3. Some adapter has a gateway address.
    virtual int HasGatewayAdapter();
    // Slot 4. `file` null: the cache is used and the copy deleted. `async`: a detached thread
    // fetches when the network is up and the call returns 1 at once.
    virtual int Download(const wchar_t* url, const wchar_t* file, bool async, int reserved,
                         const StatisticCallback& callback);
    // Slot 5. `mid`; always 1.
    virtual int GetMid(wchar_t* buffer, size_t chars);
    // Slot 6. `mid2`; 0 when the buffer holds fewer than 50 characters.
    virtual int GetMid2(wchar_t* buffer, size_t chars);

    void SetType(const wchar_t* type);
    void SetVersionFile(const wchar_t* path);
    // Reports (type, action); `extra` is null or a query fragment starting with "&", appended
    // as it is. Returns the send result; 0 without an action or a type.
    int Report(const wchar_t* action, const wchar_t* extra, bool wait,
               const StatisticCallback& callback = {});

    // The URL Report would send for an action (the OEM override not yet applied).
    std::wstring BuildUrl(const wchar_t* action, const wchar_t* extra);

    // The fetch itself, on the calling thread.
    static bool Fetch(const wchar_t* url, const wchar_t* file);
    // Waits until no asynchronous job of this reporter is running, at most timeoutMs; true when
    // none is. Called before the process ends, whose exit would cut the jobs' threads short.
    bool WaitForPendingReports(DWORD timeoutMs);
    // Used by the job threads.
    void JobDone() { InterlockedDecrement(&pendingJobs_); }

  private:
    void FillMissingValues();

    // The lazily filled values are written once and read by every reporting thread; the lock
    // keeps two first reports racing on different threads from tearing a string.
    _BaseModule::CCriticalSection lock_;
    std::wstring ver_;
    std::wstring mid_;
    std::wstring type_;
    std::wstring pid_;
    std::wstring mid2_;
    std::unique_ptr<COemUrlConfig> oem_;
    volatile LONG pendingJobs_ = 0;
};

namespace report {

// "%d.%d.%d.%d" of a file's fixed version information; false when it has none (or a version
// block of 0 or 0x3FFF bytes and more).
bool FileVersionText(const std::wstring& path, std::wstring& text);

// The statistics events the start-up sequence sends, with their extra fragments.
// "unist_init_fail" after a failed pre-initialisation check (code = its return value).
int ReportPreInitCheckFailed(int code);
// "unist_init_fail" when the setup project could not be loaded.
int ReportInitConfigFailed();
// "uninstall_from", synchronously (it must leave before the first stage exits): the starting
// program's file name without folder and extension, and the Windows version "major.minor".
int ReportUninstallFrom(const std::wstring& parentStem, const std::wstring& windowsVersion);
// "uninstall_2" when the uninstall has finished: whole days since the install (0 when the date
// is unknown) and the install date text "%04d-%02d-%02d %02d:%02d:%02d", escaped.
int ReportUninstallFinished(int days, const std::wstring& installDate);

// The escaping of statistics values: letters, digits and ! ' ( ) * - . / : _ ~ % stay, every
// other UTF-8 byte becomes "%" and two lower-case hex digits.
std::wstring EscapeStatisticValue(const std::wstring& text);

}  // namespace report
