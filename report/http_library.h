// The binding of the HTTP library ZemNetUL.dll and the request patterns built on it: the one
// process-wide library holder, asynchronous requests owned by an IHttpTaskCallback, and the
// blocking form POST.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/handle.h"
#include "base/locker.h"
#include "report/zemnetul/http_task.h"

// Releases a task through its slot 3.
struct HttpTaskDeletor {
    void operator()(IHttpTask* task) const {
        if (task)
            task->Release();
    }
};
using HttpTaskPtr = std::shared_ptr<IHttpTask>;
HttpTaskPtr MakeHttpTaskPtr(IHttpTask* task);

// The library holder: the module, its five entry points and the factory HttpInit returned.
class CHttpLibrary {
  public:
    CHttpLibrary() = default;
    CHttpLibrary(const CHttpLibrary&) = delete;
    CHttpLibrary& operator=(const CHttpLibrary&) = delete;

    // Loads the module at `path` once, only when its signature passes VerifyFileSigner.
    bool Load(const std::wstring& path);
    // Forgets the factory and frees the module. Requests still running keep the library loaded
    // by themselves, but no task may still be held (its Release lives in the module). Tests use
    // it; the program keeps the library until it exits.
    void Unload();
    IHttpTaskFactory* Factory() const { return factory_; }

  private:
    base::UniqueModule module_;
    FARPROC httpInit_ = nullptr;
    FARPROC httpUninit_ = nullptr;
    FARPROC zlibUncompress_ = nullptr;
    FARPROC zlibCompress_ = nullptr;
    FARPROC zlibCompressBound_ = nullptr;
    IHttpTaskFactory* factory_ = nullptr;
};

// The process's holder. Filled by LoadHttpLibrary before other threads exist; read-only after.
CHttpLibrary& HttpLibrary();
// Loads "<directory of the running executable>\ZemNetUL.dll" into the holder.
bool LoadHttpLibrary();

// A task factory's new task with the options every task gets ("ungzip" 0, "gzip" 0); null
// without a library or a task.
HttpTaskPtr CreateHttpTask();

// The pending task of an asynchronous owner, guarded by a lock of its own, so that the library's
// thread (which forgets the task on its final event) and the owner's thread (which replaces or
// cancels it) never touch the pointer at the same time. Tasks are released outside the lock.
class CPendingHttpTask {
  public:
    // Stores `task`, releasing the previous one.
    void Replace(HttpTaskPtr task);
    // Takes the pending task when it is `task`; null (and nothing changes) otherwise.
    HttpTaskPtr TakeIf(IHttpTask* task);
    // Forgets and releases the pending task, so that a late reply changes nothing.
    void Reset();
    bool IsPending() const;

  private:
    mutable _BaseModule::CCriticalSection lock_;
    HttpTaskPtr task_;
};

// One form field: wide text (sent as UTF-8, slot 7) or 8-bit text sent as it is (slot 6).
struct HttpField {
    std::wstring name;
    std::wstring value;
    bool narrow = false;
    std::string narrowValue;

    static HttpField Wide(std::wstring name, std::wstring value);
    static HttpField Narrow(std::wstring name, std::string value);
};

// The asynchronous request pattern: a new task stored as `pending` (replacing the previous
// one), `owner` as its callback, the fields in order, then started with `method` and `url`.
// False when nothing was sent (no library, no task, not started). The owner's Notify should
// ignore statuses other than 2 and 3, call pending.TakeIf(task) and act only on a non-null
// result, which releases the task when it goes out of scope.
bool StartHttpRequest(CPendingHttpTask& pending, IHttpTaskCallback* owner, int method,
                      const std::wstring& url, const std::vector<HttpField>& fields = {});

// The blocking POST of one form field.
class CHttpTaskAdapterPost : public IHttpTaskCallback {
  public:
    CHttpTaskAdapterPost();
    // Detaches from the task first, so that a completion arriving later touches nothing freed.
    ~CHttpTaskAdapterPost();
    CHttpTaskAdapterPost(const CHttpTaskAdapterPost&) = delete;
    CHttpTaskAdapterPost& operator=(const CHttpTaskAdapterPost&) = delete;

    bool Send(const std::wstring& url, const std::wstring& name, const std::wstring& value);
    // Waits for the reply at most `timeoutMs`, or until `extra` (may be null) is signalled;
    // true only when the reply arrived with status 2.
    bool Wait(DWORD timeoutMs, HANDLE extra, std::string& reply);

    void Notify(IHttpTask* task, const HttpTaskEvent* event) override;

  private:
    HttpTaskPtr task_;
    int taskId_ = 0;
    base::UniqueHandle event_;
    _BaseModule::CCriticalSection lock_;
    bool success_ = false;
    std::string reply_;
};

// POSTs `name` = `value` to `url` and waits at most `timeoutMs` (0 sends nothing) or until
// `extra` is signalled. True only when the reply arrived with status 2; it is then in `reply`
// (read as UTF-8).
bool PostForm(const std::wstring& url, const std::wstring& name, const std::wstring& value,
              std::wstring& reply, DWORD timeoutMs, HANDLE extra = nullptr);
