// Locks shared by every subsystem: a lock interface, a critical section behind it, and the
// scoped guard. The names are the base module's own (namespace _BaseModule).
#pragma once

#include <windows.h>

namespace _BaseModule {

class ILocker {
  public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

  protected:
    ~ILocker() = default;
};

class CCriticalSection : public ILocker {
  public:
    CCriticalSection() { InitializeCriticalSection(&section_); }
    virtual ~CCriticalSection() { DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() override { EnterCriticalSection(&section_); }
    void Unlock() override { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// Calls Lock on construction and Unlock once on destruction, then forgets the locker.
class CAutoLocker {
  public:
    explicit CAutoLocker(ILocker& locker) : locker_(&locker) { locker_->Lock(); }
    ~CAutoLocker() {
        if (locker_) {
            locker_->Unlock();
            locker_ = nullptr;
        }
    }
    CAutoLocker(const CAutoLocker&) = delete;
    CAutoLocker& operator=(const CAutoLocker&) = delete;

  private:
    ILocker* locker_;
};

}  // namespace _BaseModule
