#include "app/threads.h"

#include <objbase.h>

namespace {

constexpr wchar_t kWindowClass[] = L"KestiUninstUIThreadWnd";

// The UI-thread window. One exists per process.
class CUIThreadWindow {
  public:
    bool Create();
    void Destroy();
    HWND Handle() const { return window_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT OnRunBind(WPARAM wParam, bool deleteAfter);
    HWND window_ = nullptr;
};

CUIThreadWindow* g_uiWindow = nullptr;

LRESULT CUIThreadWindow::OnRunBind(WPARAM wParam, bool deleteAfter) {
    auto* bind = reinterpret_cast<ISimpleBind*>(wParam);
    if (!bind)
        return 0;
    bind->Invoke();
    if (deleteAfter)
        delete bind;
    return 1;
}

LRESULT CALLBACK CUIThreadWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    switch (message) {
        case kRunAndKeep:
            return OnRunBind(wParam, false);
        case kRunAndDelete:
            return OnRunBind(wParam, true);
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool CUIThreadWindow::Create() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {sizeof(windowClass)};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    window_ = CreateWindowExW(0, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              instance, nullptr);
    return window_ != nullptr;
}

void CUIThreadWindow::Destroy() {
    if (window_)
        DestroyWindow(window_);
    window_ = nullptr;
}

}  // namespace

bool CreateUIThreadWindow() {
    if (g_uiWindow)
        return true;
    auto* window = new CUIThreadWindow();
    if (!window->Create()) {
        delete window;
        return false;
    }
    g_uiWindow = window;
    return true;
}

void DestroyUIThreadWindow() {
    if (!g_uiWindow)
        return;
    g_uiWindow->Destroy();
    delete g_uiWindow;
    g_uiWindow = nullptr;
}

void SendToUIThread(ISimpleBind* bind) {
    if (!g_uiWindow)
        return;
    SendMessageW(g_uiWindow->Handle(), kRunAndKeep, reinterpret_cast<WPARAM>(bind), 0);
}

void PostToUIThread(ISimpleBind* bind) {
    if (!g_uiWindow ||
        !PostMessageW(g_uiWindow->Handle(), kRunAndDelete, reinterpret_cast<WPARAM>(bind), 0)) {
        delete bind;
    }
}

// ---- delayed calls --------------------------------------------------------------------------

CDelayCall::~CDelayCall() = default;

CDelayCall& CDelayCall::Instance() {
    static CDelayCall instance;
    return instance;
}

UINT_PTR CDelayCall::SetDelayCall(UINT elapse, Function function, void* context, int repeat) {
    // The identifier is ignored for a thread timer; the system picks the id.
    UINT_PTR id = SetTimer(nullptr, 2468, elapse, TimerProc);
    if (id != 0)
        calls_[id] = Entry{function, context, repeat};
    return id;
}

void CDelayCall::KillDelayCall(UINT_PTR& timerId) {
    KillTimer(nullptr, timerId);
    calls_.erase(timerId);
    timerId = 0;
}

void CALLBACK CDelayCall::TimerProc(HWND, UINT, UINT_PTR timerId, DWORD) {
    CDelayCall& self = Instance();
    auto found = self.calls_.find(timerId);
    if (found == self.calls_.end())
        return;
    Entry entry = found->second;
    entry.function(entry.context, timerId);
    if (entry.repeat == 0) {
        UINT_PTR id = timerId;
        self.KillDelayCall(id);
    }
}

// ---- worker thread ----------------------------------------------------------------------------

CXThread::~CXThread() {
    if (thread_)
        Stop();
}

bool CXThread::Start(IThreadCallback* callback, void* parameter) {
    if (thread_)
        return false;
    callback_ = callback;
    parameter_ = parameter;
    shutdown_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.Reset(CreateThread(nullptr, 0, ThreadEntry, this, 0, &threadId_));
    return thread_.IsValid();
}

bool CXThread::Stop(DWORD timeoutMs) {
    if (!thread_)
        return true;
    if (shutdown_)
        SetEvent(shutdown_.Get());
    bool ended = WaitForSingleObject(thread_.Get(), timeoutMs) == WAIT_OBJECT_0;
    thread_.Reset();
    shutdown_.Reset();
    return ended;
}

DWORD WINAPI CXThread::ThreadEntry(void* self) {
    return static_cast<CXThread*>(self)->ThreadBody();
}

DWORD CXThread::ThreadBody() {
    HRESULT com = CoInitialize(nullptr);
    InterlockedExchange(&busy_, 1);
    if (callback_)
        callback_->Run(parameter_);
    InterlockedExchange(&busy_, 0);
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}
