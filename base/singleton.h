// Process-wide objects created on first use and never destroyed before exit.
#pragma once

#include <atomic>

#include "base/locker.h"

// Double-checked creation on a critical section of the class's own. The object is deliberately
// leaked: threads still running at exit (detached statistics jobs, library callbacks) may use it.
template <typename T>
class CSingletonT {
  public:
    static T* Instance() {
        T* object = instance_.load(std::memory_order_acquire);
        if (!object) {
            _BaseModule::CAutoLocker guard(Lock());
            object = instance_.load(std::memory_order_relaxed);
            if (!object) {
                object = new T();
                instance_.store(object, std::memory_order_release);
            }
        }
        return object;
    }

  private:
    static _BaseModule::CCriticalSection& Lock() {
        // Function-local so that it exists before any static constructor could ask for T.
        static _BaseModule::CCriticalSection* lock = new _BaseModule::CCriticalSection();
        return *lock;
    }
    static inline std::atomic<T*> instance_{nullptr};
};
