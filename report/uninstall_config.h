// Settings of the uninstall screens fetched from the product's web service: the exit
// questionnaire page (CUninstallConfig) and the retention options (UninstallFeedbackConfig).
// Both fall back to built-in defaults when the service is silent or answers with an error.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/handle.h"
#include "base/locker.h"
#include "base/singleton.h"
#include "report/http_library.h"

namespace report {

// "appver=%s&modver=%s&pid=%s" with the product's version, the uninstaller's and the channel.
std::wstring ConfigQuery();
// Reply parsers, open to tests. Both answer false and leave the outputs alone on an error.
bool ParseQuestionnaireReply(const std::string& reply, std::wstring& url);
bool ParseOptionsReply(const std::string& reply, std::vector<int>& options);

}  // namespace report

class CUninstallConfig : public CSingletonT<CUninstallConfig>, public IHttpTaskCallback {
  public:
    CUninstallConfig() = default;
    // Detaches from a pending request before the members a late reply would touch go.
    virtual ~CUninstallConfig() { pending_.Reset(); }
    CUninstallConfig(const CUninstallConfig&) = delete;
    CUninstallConfig& operator=(const CUninstallConfig&) = delete;

    // Sends the GetConfig request and returns at once.
    void Fetch();
    std::wstring GetQuestionnaireUrl() const;
    // Forgets the pending request; a late reply changes nothing.
    void Cancel();

    void Notify(IHttpTask* task, const HttpTaskEvent* event) override;

  private:
    CPendingHttpTask pending_;
    mutable _BaseModule::CCriticalSection lock_;
    std::wstring questionnaireUrl_;
};

class UninstallFeedbackConfig : public CSingletonT<UninstallFeedbackConfig>,
                                public IHttpTaskCallback {
  public:
    UninstallFeedbackConfig() = default;
    virtual ~UninstallFeedbackConfig() { pending_.Reset(); }
    UninstallFeedbackConfig(const UninstallFeedbackConfig&) = delete;
    UninstallFeedbackConfig& operator=(const UninstallFeedbackConfig&) = delete;

    // Sets the defaults 1, 2, 3, 4 and sends the getUninstallOptions request.
    void Start();
    // Waits at most 2000 ms for the reply, copies the current options (the defaults when none
    // arrived) and answers whether the service delivered a list.
    bool GetFeedback(std::vector<int>& options);
    // Forgets the pending request and closes the event.
    void Release();

    void Notify(IHttpTask* task, const HttpTaskEvent* event) override;

    static constexpr DWORD kWaitMs = 2000;

  private:
    CPendingHttpTask pending_;
    // Guards the options, the flag and the event handle: the reply is parsed on the library's
    // thread, possibly while GetFeedback reads after its wait ran out.
    _BaseModule::CCriticalSection lock_;
    std::vector<int> options_{1, 2, 3, 4};
    bool answered_ = false;
    base::UniqueHandle event_;
};
