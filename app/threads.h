// Threads, bound calls, and calls that must run on the UI thread.
//
// Worker threads never touch windows: they package UI work as an ISimpleBind and send it (when
// they need the result or the ordering) or post it (fire and forget) to a hidden window that the
// UI thread owns.
#pragma once

#include <windows.h>

#include <map>

#include "base/handle.h"

// A packaged call of a member function with its arguments.
class ISimpleBind {
  public:
    virtual int Invoke() = 0;
    virtual ~ISimpleBind() = default;
};

// object->method()
template <typename T, typename TPtr, typename R>
class mf_bind_t : public ISimpleBind {
  public:
    using Method = R (T::*)();
    mf_bind_t(Method method, TPtr object) : method_(method), object_(object) {}
    int Invoke() override {
        (object_->*method_)();
        return 1;
    }

  private:
    Method method_;
    TPtr object_;
};

// object->method(argument)
template <typename T, typename TPtr, typename R, typename A>
class mf_bind_t_1 : public ISimpleBind {
  public:
    using Method = R (T::*)(A);
    mf_bind_t_1(Method method, TPtr object, A argument)
        : method_(method), object_(object), argument_(argument) {}
    int Invoke() override {
        (object_->*method_)(argument_);
        return 1;
    }

  private:
    Method method_;
    TPtr object_;
    A argument_;
};

template <typename T, typename R>
mf_bind_t<T, T*, R> Bind(R (T::*method)(), T* object) {
    return mf_bind_t<T, T*, R>(method, object);
}
template <typename T, typename R, typename A>
mf_bind_t_1<T, T*, R, A> Bind(R (T::*method)(A), T* object, A argument) {
    return mf_bind_t_1<T, T*, R, A>(method, object, argument);
}

// Private messages of the UI-thread window.
constexpr UINT kRunAndKeep = 3002;    // wParam: ISimpleBind*, the sender keeps it
constexpr UINT kRunAndDelete = 3003;  // wParam: ISimpleBind*, deleted after it ran

// Creates the hidden window on the calling thread, which must be the UI thread. A second call
// answers true at once.
bool CreateUIThreadWindow();
void DestroyUIThreadWindow();
// Runs bind on the UI thread and returns when it has run. Does nothing without the window.
void SendToUIThread(ISimpleBind* bind);
// Queues bind for the UI thread, which runs and then deletes it. Without the window the bind is
// deleted at once (it would otherwise leak).
void PostToUIThread(ISimpleBind* bind);

// Timer-driven calls on the thread that sets them (the UI thread). The map is touched only from
// that thread, so it has no lock.
class CDelayCall {
  public:
    using Function = void (*)(void* context, UINT_PTR timerId);

    virtual ~CDelayCall();
    // Starts a thread timer; one-shot unless repeat is set. Returns the timer id (0 on failure).
    virtual UINT_PTR SetDelayCall(UINT elapse, Function function, void* context, int repeat);
    // Stops the timer, forgets it, and sets the caller's id to 0.
    virtual void KillDelayCall(UINT_PTR& timerId);

    static CDelayCall& Instance();
    bool IsPending(UINT_PTR timerId) const { return calls_.count(timerId) != 0; }

  private:
    struct Entry {
        Function function;
        void* context;
        int repeat;
    };
    static void CALLBACK TimerProc(HWND, UINT, UINT_PTR timerId, DWORD);
    std::map<UINT_PTR, Entry> calls_;
};

class IThreadCallback {
  public:
    virtual void Run(void* parameter) = 0;

  protected:
    ~IThreadCallback() = default;
};

// A worker thread that runs one callback with COM initialised. It can be started once.
class CXThread {
  public:
    CXThread() = default;
    virtual ~CXThread();
    CXThread(const CXThread&) = delete;
    CXThread& operator=(const CXThread&) = delete;

    bool Start(IThreadCallback* callback, void* parameter);
    // Signals the shutdown event and waits up to 10 s for the thread, then closes the handles.
    // Answers false when the thread was still running after the wait.
    bool Stop(DWORD timeoutMs = 10000);
    bool IsBusy() const { return busy_ != 0; }
    bool IsStarted() const { return thread_.IsValid(); }
    HANDLE ThreadHandle() const { return thread_.Get(); }
    HANDLE ShutdownEvent() const { return shutdown_.Get(); }

  protected:
    virtual DWORD ThreadBody();
    virtual int Hook() { return 0; }

  private:
    static DWORD WINAPI ThreadEntry(void* self);

    base::UniqueHandle thread_;
    volatile LONG busy_ = 0;
    DWORD threadId_ = 0;
    base::UniqueHandle shutdown_;
    IThreadCallback* callback_ = nullptr;
    void* parameter_ = nullptr;
};
