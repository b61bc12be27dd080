// ZemNetUL.dll: the program's HTTP library. Each task runs its one request with WinHTTP in
// synchronous mode on a transfer thread, watched by a second thread of the task's that enforces
// the time limit and cancellation and reports to the caller's IHttpTaskCallback. The watcher is
// needed because a blocked synchronous WinHTTP call does not always honour its timeouts or the
// closing of its handle (Wine's does neither); the caller must never wait on that.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "base/handle.h"
#include "base/locker.h"
#include "report/zemnetul/http_task.h"

namespace {

constexpr int kDefaultTimeoutMs = 60000;
// A reply larger than this is a server that misbehaves; the task fails instead of growing
// without bound in the caller's process.
constexpr DWORD kMaxReplyBytes = 1024 * 1024;
constexpr wchar_t kUserAgent[] = L"ZemNetUL/1.0";

std::atomic<int> g_nextTaskId{1};

// Form encoding of one name or value: unreserved bytes as they are, everything else as %XX.
void AppendFormEncoded(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
}

std::string ToUtf8(const wchar_t* text) {
    if (!text || !*text)
        return {};
    int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (count <= 1)
        return {};
    std::string result(count, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), count, nullptr, nullptr);
    result.resize(count - 1);
    return result;
}

class InternetHandle {
  public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_)
            WinHttpCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    HINTERNET handle_ = nullptr;
};

class HttpTask final : public IHttpTask {
  public:
    HttpTask()
        : id_(g_nextTaskId.fetch_add(1)),
          transferDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          cancelEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void SetCallback(IHttpTaskCallback* callback) override {
        // Taking the notification lock makes a detach wait for a notification in progress on
        // the worker (the same thread may detach from inside its own Notify: the critical
        // section is re-entrant).
        _BaseModule::CAutoLocker guard(callbackLock_);
        callback_ = callback;
    }

    int Start(int method, const wchar_t* url) override;

    void Cancel() override {
        cancelled_.store(true);
        if (cancelEvent_)
            SetEvent(cancelEvent_.Get());
        _BaseModule::CAutoLocker guard(stateLock_);
        // Closing the request handle ends a blocking WinHTTP call where the platform supports
        // it; the transfer thread sees the handle gone and does not close it again.
        if (request_) {
            WinHttpCloseHandle(request_);
            request_ = nullptr;
        }
    }

    void Release() override {
        SetCallback(nullptr);
        Cancel();
        Unref();
    }

    void SetTimeout(int milliseconds) override {
        if (milliseconds > 0)
            timeoutMs_ = milliseconds;
    }

    int AddHeader(const wchar_t* name, const wchar_t* value) override {
        if (!name || !*name || !value || started_)
            return 0;
        // A header containing a line break would let a caller's text forge further headers.
        std::wstring line = std::wstring(name) + L": " + value;
        if (line.find_first_of(L"\r\n") != std::wstring::npos)
            return 0;
        headers_ += line + L"\r\n";
        return 1;
    }

    int AddFieldA(const char* name, const char* value) override {
        if (!name || !*name || started_)
            return 0;
        fields_.emplace_back(name, value ? value : "");
        return 1;
    }

    int AddFieldW(const wchar_t* name, const wchar_t* value) override {
        if (!name || !*name || started_)
            return 0;
        fields_.emplace_back(ToUtf8(name), ToUtf8(value));
        return 1;
    }

    int Reserved8() override { return 0; }
    int Reserved9() override { return 0; }
    int Reserved10() override { return 0; }
    int Reserved11() override { return 0; }

    int SetOption(const char* name, int value) override {
        if (!name)
            return 0;
        std::string option(name);
        if (option != "ungzip" && option != "gzip")
            return 0;
        // This library never compresses a request nor inflates a reply; asking for either is
        // refused rather than silently ignored.
        return value == 0 ? 1 : 0;
    }

    int Reserved13() override { return 0; }
    int Reserved14() override { return 0; }
    int Reserved15() override { return 0; }

    int Id() override { return id_; }

  private:
    ~HttpTask() = default;

    static void RefThunk(void* task) { static_cast<HttpTask*>(task)->Ref(); }
    static void UnrefThunk(void* task) { static_cast<HttpTask*>(task)->Unref(); }
    void Ref() { refs_.fetch_add(1); }
    void Unref() {
        if (refs_.fetch_sub(1) == 1)
            delete this;
    }

    static DWORD WINAPI WatchMain(void* param);
    static DWORD WINAPI TransferMain(void* param);
    void Watch();
    bool Execute(int& httpStatus, std::string& body);
    void Notify(int status, int httpStatus, const std::string& body);
    std::string FormBody() const;

    const int id_;
    std::atomic<long> refs_{1};
    _BaseModule::CCriticalSection callbackLock_;
    IHttpTaskCallback* callback_ = nullptr;
    _BaseModule::CCriticalSection stateLock_;
    HINTERNET request_ = nullptr;
    std::atomic<bool> cancelled_{false};
    bool started_ = false;
    int method_ = kHttpGet;
    std::wstring url_;
    std::wstring headers_;
    std::vector<std::pair<std::string, std::string>> fields_;
    int timeoutMs_ = kDefaultTimeoutMs;
    bool finished_ = false;  // a final notification went out; guarded by callbackLock_
    base::UniqueHandle transferDone_;
    base::UniqueHandle cancelEvent_;
    // Written by the transfer thread before it signals transferDone_.
    bool transferOk_ = false;
    int transferHttpStatus_ = 0;
    std::string transferBody_;
};

// Starts `main` on a new thread that holds a reference of the task and one of the library:
// the thread leaves through FreeLibraryAndExitThread, so that the caller may release the task and
// unload the library while requests run.
bool StartTaskThread(LPTHREAD_START_ROUTINE main, void* task, void (*ref)(void*),
                     void (*unref)(void*)) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&StartTaskThread), &module)) {
        return false;
    }
    ref(task);
    HANDLE thread = CreateThread(nullptr, 0, main, task, 0, nullptr);
    if (!thread) {
        unref(task);
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

int HttpTask::Start(int method, const wchar_t* url) {
    if (started_ || !url || !*url || (method != kHttpGet && method != kHttpPost) ||
        !transferDone_ || !cancelEvent_) {
        return 0;
    }
    method_ = method;
    url_ = url;
    started_ = true;
    if (!StartTaskThread(&HttpTask::WatchMain, this, &HttpTask::RefThunk, &HttpTask::UnrefThunk)) {
        started_ = false;
        return 0;
    }
    return 1;
}

DWORD WINAPI HttpTask::WatchMain(void* param) {
    auto* task = static_cast<HttpTask*>(param);
    task->Watch();
    task->Unref();
    FreeLibraryAndExitThread(ThisModule(), 0);
}

DWORD WINAPI HttpTask::TransferMain(void* param) {
    auto* task = static_cast<HttpTask*>(param);
    int httpStatus = 0;
    std::string body;
    bool ok = task->Execute(httpStatus, body);
    task->transferOk_ = ok;
    task->transferHttpStatus_ = httpStatus;
    task->transferBody_ = std::move(body);
    SetEvent(task->transferDone_.Get());
    task->Unref();
    FreeLibraryAndExitThread(ThisModule(), 0);
}

void HttpTask::Watch() {
    Notify(kHttpTaskConnected, 0, {});
    bool ok = false;
    int httpStatus = 0;
    std::string body;
    if (StartTaskThread(&HttpTask::TransferMain, this, &HttpTask::RefThunk,
                        &HttpTask::UnrefThunk)) {
        HANDLE waits[] = {transferDone_.Get(), cancelEvent_.Get()};
        DWORD result = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeoutMs_));
        if (result == WAIT_OBJECT_0 && !cancelled_.load()) {
            ok = transferOk_;
            httpStatus = transferHttpStatus_;
            body = std::move(transferBody_);
        } else {
            // Out of time or cancelled: the transfer thread may go on until the platform gives
            // up, but nobody hears from it any more.
            Cancel();
        }
    }
    Notify(ok ? kHttpTaskSucceeded : kHttpTaskFailed, httpStatus, ok ? body : std::string());
}

void HttpTask::Notify(int status, int httpStatus, const std::string& body) {
    HttpTaskEvent event{id_, status, httpStatus, body.c_str(), static_cast<uint32_t>(body.size())};
    bool final = status == kHttpTaskSucceeded || status == kHttpTaskFailed;
    _BaseModule::CAutoLocker guard(callbackLock_);
    // A late progress note of an abandoned transfer must not follow the final notification.
    if (finished_)
        return;
    finished_ = final;
    if (callback_)
        callback_->Notify(this, &event);
}

std::string HttpTask::FormBody() const {
    std::string body;
    for (const auto& [name, value] : fields_) {
        if (!body.empty())
            body += '&';
        AppendFormEncoded(body, name);
        body += '=';
        AppendFormEncoded(body, value);
    }
    return body;
}

bool HttpTask::Execute(int& httpStatus, std::string& body) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url_.c_str(), 0, 0, &parts) || !parts.lpszHostName ||
        parts.dwHostNameLength == 0) {
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object;
    if (parts.lpszUrlPath)
        object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo)
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty())
        object = L"/";

    std::string formBody = FormBody();
    if (method_ == kHttpGet && !formBody.empty()) {
        wchar_t last = object.back();
        if (object.find(L'?') == std::wstring::npos)
            object += L'?';
        else if (last != L'?' && last != L'&')
            object += L'&';
        object += std::wstring(formBody.begin(), formBody.end());  // already plain ASCII
        formBody.clear();
    }

    InternetHandle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return false;
    // Each phase gets the whole allowance; the watcher enforces the total.
    WinHttpSetTimeouts(session.Get(), timeoutMs_, timeoutMs_, timeoutMs_, timeoutMs_);
    InternetHandle connection(WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
    if (!connection)
        return false;

    DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET request = WinHttpOpenRequest(
        connection.Get(), method_ == kHttpPost ? L"POST" : L"GET", object.c_str(), nullptr,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!request)
        return false;
    {
        _BaseModule::CAutoLocker guard(stateLock_);
        if (cancelled_.load()) {
            WinHttpCloseHandle(request);
            return false;
        }
        request_ = request;
    }

    // Redirects are refused: a reply of this service never moves, and following one would let
    // whoever answers send the request (and its form fields) to any host they like.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));

    std::wstring headers = headers_;
    if (method_ == kHttpPost)
        headers += L"Content-Type: application/x-www-form-urlencoded\r\n";

    bool ok = WinHttpSendRequest(
                  request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                  headers.empty() ? 0 : static_cast<DWORD>(-1),
                  formBody.empty() ? WINHTTP_NO_REQUEST_DATA : formBody.data(),
                  static_cast<DWORD>(formBody.size()), static_cast<DWORD>(formBody.size()), 0) &&
              WinHttpReceiveResponse(request, nullptr);
    if (ok) {
        DWORD code = 0, size = sizeof(code);
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            httpStatus = static_cast<int>(code);
        }
        Notify(kHttpTaskReceiving, httpStatus, {});
        for (;;) {
            DWORD available = 0;
            if (cancelled_.load() || !WinHttpQueryDataAvailable(request, &available)) {
                ok = false;
                break;
            }
            if (available == 0)
                break;
            if (available > kMaxReplyBytes || body.size() + available > kMaxReplyBytes) {
                ok = false;
                break;
            }
            size_t offset = body.size();
            body.resize(offset + available);
            DWORD read = 0;
            if (!WinHttpReadData(request, body.data() + offset, available, &read)) {
                ok = false;
                break;
            }
            body.resize(offset + read);
        }
    }
    {
        _BaseModule::CAutoLocker guard(stateLock_);
        if (request_) {
            WinHttpCloseHandle(request_);
            request_ = nullptr;
        }
    }
    // Only a 2xx answer is a success; anything else (a refused redirect included) is a failure.
    return ok && httpStatus >= 200 && httpStatus < 300;
}

class HttpTaskFactory final : public IHttpTaskFactory {
  public:
    IHttpTask* CreateTask() override { return new (std::nothrow) HttpTask(); }
};

HttpTaskFactory g_factory;

}  // namespace

extern "C" __declspec(dllexport) IHttpTaskFactory* HttpInit() {
    return &g_factory;
}

// Tasks end by themselves (each holds the library while it runs), so there is nothing to undo.
extern "C" __declspec(dllexport) void HttpUninit() {}
