#include "report/http_library.h"

#include <utility>

#include "app/log.h"
#include "base/path.h"
#include "base/strings.h"
#include "trust/signature.h"

namespace {

constexpr wchar_t kLibraryName[] = L"ZemNetUL.dll";

}  // namespace

HttpTaskPtr MakeHttpTaskPtr(IHttpTask* task) {
    if (!task)
        return nullptr;
    return HttpTaskPtr(task, HttpTaskDeletor());
}

bool CHttpLibrary::Load(const std::wstring& path) {
    if (module_)
        return factory_ != nullptr;
    // The library runs inside an elevated process and sees every request the program makes:
    // a module planted beside the executable (the folder may be writable by others after the
    // copy to the temporary directory) must never be loaded. Only a file that carries the
    // signature of an accepted publisher is; without it every request simply fails.
    if (!path::FileExists(path)) {
        Log(L"http library missing: %s", path.c_str());
        return false;
    }
    if (!VerifyFileSigner(path.c_str())) {
        Log(L"http library not signed by an accepted publisher: %s", path.c_str());
        return false;
    }
    // A full path and the altered search order: the library's own imports are looked up
    // beside it, never in the current directory.
    module_.Reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module_) {
        Log(L"http library not loaded: %s (error %lu)", path.c_str(), GetLastError());
        return false;
    }
    HMODULE module = module_.Get();
    httpInit_ = GetProcAddress(module, "HttpInit");
    httpUninit_ = GetProcAddress(module, "HttpUninit");
    zlibUncompress_ = GetProcAddress(module, "zlib_uncompress");
    zlibCompress_ = GetProcAddress(module, "zlib_compress");
    zlibCompressBound_ = GetProcAddress(module, "zlib_compressBound");
    if (httpInit_)
        factory_ = reinterpret_cast<HttpInitFn>(reinterpret_cast<void*>(httpInit_))();
    if (!factory_)
        Log(L"http library has no task factory: %s", path.c_str());
    return factory_ != nullptr;
}

void CHttpLibrary::Unload() {
    factory_ = nullptr;
    httpInit_ = httpUninit_ = zlibUncompress_ = zlibCompress_ = zlibCompressBound_ = nullptr;
    module_.Reset();
}

CHttpLibrary& HttpLibrary() {
    static CHttpLibrary* library = new CHttpLibrary();  // leaked: library threads outlive main
    return *library;
}

bool LoadHttpLibrary() {
    return HttpLibrary().Load(path::Join(path::ModuleDir(), kLibraryName));
}

HttpTaskPtr CreateHttpTask() {
    IHttpTaskFactory* factory = HttpLibrary().Factory();
    if (!factory)
        return nullptr;
    HttpTaskPtr task = MakeHttpTaskPtr(factory->CreateTask());
    if (task) {
        task->SetOption("ungzip", 0);
        task->SetOption("gzip", 0);
    }
    return task;
}

void CPendingHttpTask::Replace(HttpTaskPtr task) {
    HttpTaskPtr previous;
    {
        _BaseModule::CAutoLocker guard(lock_);
        previous = std::exchange(task_, std::move(task));
    }
    // `previous` is released here, outside the lock: releasing waits for a notification in
    // progress, which may itself be waiting for this lock.
}

HttpTaskPtr CPendingHttpTask::TakeIf(IHttpTask* task) {
    _BaseModule::CAutoLocker guard(lock_);
    if (!task || task_.get() != task)
        return nullptr;
    return std::exchange(task_, nullptr);
}

void CPendingHttpTask::Reset() {
    Replace(nullptr);
}

bool CPendingHttpTask::IsPending() const {
    _BaseModule::CAutoLocker guard(lock_);
    return task_ != nullptr;
}

HttpField HttpField::Wide(std::wstring name, std::wstring value) {
    HttpField field;
    field.name = std::move(name);
    field.value = std::move(value);
    return field;
}

HttpField HttpField::Narrow(std::wstring name, std::string value) {
    HttpField field;
    field.name = std::move(name);
    field.narrow = true;
    field.narrowValue = std::move(value);
    return field;
}

bool StartHttpRequest(CPendingHttpTask& pending, IHttpTaskCallback* owner, int method,
                      const std::wstring& url, const std::vector<HttpField>& fields) {
    // `task` keeps the task alive through the set-up even if the owner's thread cancels the
    // pending request meanwhile.
    HttpTaskPtr task = CreateHttpTask();
    if (!task)
        return false;
    pending.Replace(task);
    task->SetCallback(owner);
    for (const HttpField& field : fields) {
        if (field.narrow)
            task->AddFieldA(base::ToUtf8(field.name).c_str(), field.narrowValue.c_str());
        else
            task->AddFieldW(field.name.c_str(), field.value.c_str());
    }
    if (!task->Start(method, url.c_str())) {
        task->SetCallback(nullptr);
        pending.TakeIf(task.get());
        return false;
    }
    return true;
}

CHttpTaskAdapterPost::CHttpTaskAdapterPost()
    : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CHttpTaskAdapterPost::~CHttpTaskAdapterPost() {
    if (task_)
        task_->SetCallback(nullptr);
}

bool CHttpTaskAdapterPost::Send(const std::wstring& url, const std::wstring& name,
                                const std::wstring& value) {
    if (!event_)
        return false;
    task_ = CreateHttpTask();
    if (!task_)
        return false;
    taskId_ = task_->Id();
    task_->SetCallback(this);
    task_->AddFieldW(name.c_str(), value.c_str());
    if (!task_->Start(kHttpPost, url.c_str())) {
        task_->SetCallback(nullptr);
        return false;
    }
    return true;
}

bool CHttpTaskAdapterPost::Wait(DWORD timeoutMs, HANDLE extra, std::string& reply) {
    HANDLE waits[] = {event_.Get(), extra};
    DWORD count = extra ? 2 : 1;
    if (WaitForMultipleObjects(count, waits, FALSE, timeoutMs) != WAIT_OBJECT_0)
        return false;
    _BaseModule::CAutoLocker guard(lock_);
    if (!success_)
        return false;
    reply = reply_;
    return true;
}

void CHttpTaskAdapterPost::Notify(IHttpTask* /*task*/, const HttpTaskEvent* event) {
    if (!event || event->status == kHttpTaskConnected || event->status == kHttpTaskReceiving ||
        event->id != taskId_) {
        return;
    }
    {
        _BaseModule::CAutoLocker guard(lock_);
        success_ = event->status == kHttpTaskSucceeded;
        reply_.assign(event->body ? event->body : "", event->body ? event->bodyLength : 0);
    }
    SetEvent(event_.Get());
}

bool PostForm(const std::wstring& url, const std::wstring& name, const std::wstring& value,
              std::wstring& reply, DWORD timeoutMs, HANDLE extra) {
    CHttpTaskAdapterPost adapter;
    if (timeoutMs == 0)
        return false;
    if (!adapter.Send(url, name, value))
        return false;
    std::string body;
    if (!adapter.Wait(timeoutMs, extra, body))
        return false;
    reply = base::FromUtf8(body);
    return true;
}
