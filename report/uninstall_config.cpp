#include "report/uninstall_config.h"

#include <cJSON.h>

#include <cstdlib>

#include "app/log.h"
#include "base/path.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "report/endpoints.h"
#include "report/statistic.h"

namespace {

constexpr wchar_t kGetConfigPath[] = L"/live/intf/GetConfig?";
constexpr wchar_t kGetOptionsPath[] = L"/live/intf/getUninstallOptions?";

// cJSON over the reply; null when it does not parse. Freed by the caller.
cJSON* ParseReply(const std::string& reply) {
    return cJSON_ParseWithLength(reply.data(), reply.size());
}

// Only a JSON number counts; "errno" defaults to 1, an error.
int IntMember(const cJSON* object, const char* name, int fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsNumber(item) ? item->valueint : fallback;
}

// Only a JSON string counts.
std::string StringMember(const cJSON* object, const char* name, const char* fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : fallback;
}

std::vector<int> DefaultOptions() {
    return {1, 2, 3, 4};
}

}  // namespace

namespace report {

std::wstring ConfigQuery() {
    std::wstring appver, modver, dir;
    if (GetInstallDir(dir))
        FileVersionText(path::Join(dir, L"kestiwp.exe"), appver);
    FileVersionText(path::ModulePath(), modver);
    return L"appver=" + appver + L"&modver=" + modver + L"&pid=" + GetPid();
}

bool ParseQuestionnaireReply(const std::string& reply, std::wstring& url) {
    cJSON* root = ParseReply(reply);
    if (!root)
        return false;
    bool changed = false;
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
    const cJSON* questionnaire =
        cJSON_IsObject(data) ? cJSON_GetObjectItemCaseSensitive(data, "uninstall_questionnaire")
                             : nullptr;
    if (IntMember(root, "errno", 1) == 0 && cJSON_IsObject(questionnaire)) {
        std::string status = StringMember(questionnaire, "status", "0");
        if (atoi(status.c_str()) != 0) {
            url = base::FromUtf8(StringMember(questionnaire, "url", ""));
            changed = true;
        }
    }
    cJSON_Delete(root);
    return changed;
}

bool ParseOptionsReply(const std::string& reply, std::vector<int>& options) {
    cJSON* root = ParseReply(reply);
    if (!root)
        return false;
    std::string data = StringMember(root, "data", "");
    bool ok = IntMember(root, "errno", 1) == 0 && !data.empty();
    cJSON_Delete(root);
    if (!ok)
        return false;
    options.clear();
    size_t start = 0;
    for (;;) {
        size_t comma = data.find(',', start);
        std::string piece =
            data.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        options.push_back(atoi(piece.c_str()));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

}  // namespace report

void CUninstallConfig::Fetch() {
    std::wstring url = report::WebServiceUrl() + kGetConfigPath + report::ConfigQuery();
    StartHttpRequest(pending_, this, kHttpGet, url);
}

std::wstring CUninstallConfig::GetQuestionnaireUrl() const {
    _BaseModule::CAutoLocker guard(lock_);
    return questionnaireUrl_;
}

void CUninstallConfig::Cancel() {
    pending_.Reset();
}

void CUninstallConfig::Notify(IHttpTask* task, const HttpTaskEvent* event) {
    if (!event || (event->status != kHttpTaskSucceeded && event->status != kHttpTaskFailed))
        return;
    HttpTaskPtr mine = pending_.TakeIf(task);
    if (!mine)
        return;
    if (event->status == kHttpTaskSucceeded) {
        std::wstring url;
        if (report::ParseQuestionnaireReply(std::string(event->body, event->bodyLength), url)) {
            _BaseModule::CAutoLocker guard(lock_);
            questionnaireUrl_ = url;
        }
    }
    // `mine` releases the task here.
}

void UninstallFeedbackConfig::Start() {
    {
        _BaseModule::CAutoLocker guard(lock_);
        options_ = DefaultOptions();
        answered_ = false;
        event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    std::wstring url = report::WebServiceUrl() + kGetOptionsPath + report::ConfigQuery();
    if (!StartHttpRequest(pending_, this, kHttpGet, url)) {
        // Nothing was sent, so no answer can come: GetFeedback need not wait for one.
        _BaseModule::CAutoLocker guard(lock_);
        if (event_)
            SetEvent(event_.Get());
    }
}

bool UninstallFeedbackConfig::GetFeedback(std::vector<int>& options) {
    HANDLE event = nullptr;
    {
        _BaseModule::CAutoLocker guard(lock_);
        event = event_.Get();
    }
    if (event)
        WaitForSingleObject(event, kWaitMs);
    bool answered;
    {
        _BaseModule::CAutoLocker guard(lock_);
        options = options_;
        answered = answered_;
    }
    Log(L"UninstallFeedbackConfig::GetFeedback answered=%d", answered ? 1 : 0);
    return answered;
}

void UninstallFeedbackConfig::Release() {
    pending_.Reset();
    _BaseModule::CAutoLocker guard(lock_);
    event_.Reset();
}

void UninstallFeedbackConfig::Notify(IHttpTask* task, const HttpTaskEvent* event) {
    if (!event || (event->status != kHttpTaskSucceeded && event->status != kHttpTaskFailed))
        return;
    HttpTaskPtr mine = pending_.TakeIf(task);
    if (!mine)
        return;
    std::vector<int> options;
    bool parsed = event->status == kHttpTaskSucceeded &&
                  report::ParseOptionsReply(std::string(event->body, event->bodyLength), options);
    _BaseModule::CAutoLocker guard(lock_);
    if (parsed) {
        options_ = std::move(options);
        answered_ = true;
    }
    if (event_)
        SetEvent(event_.Get());
}
