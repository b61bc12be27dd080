// Owners of Win32 handles. Each closes what it holds exactly once and cannot be copied.
#pragma once

#include <windows.h>

#include <utility>

namespace base {

// Closes with CloseHandle. Both NULL and INVALID_HANDLE_VALUE count as "no handle", since
// Win32 uses one or the other as the failure value depending on the call.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }
    HANDLE Release() { return std::exchange(handle_, nullptr); }
    void Reset(HANDLE handle = nullptr) {
        if (IsValid())
            CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

// FindFirstFileW's handle, closed with FindClose.
class FindHandle {
  public:
    FindHandle() = default;
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (IsValid())
            FindClose(handle_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A module from LoadLibrary, freed with FreeLibrary.
class UniqueModule {
  public:
    UniqueModule() = default;
    explicit UniqueModule(HMODULE module) : module_(module) {}
    ~UniqueModule() { Reset(); }
    UniqueModule(UniqueModule&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
    UniqueModule& operator=(UniqueModule&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.module_, nullptr));
        return *this;
    }
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;

    HMODULE Get() const { return module_; }
    explicit operator bool() const { return module_ != nullptr; }
    void Reset(HMODULE module = nullptr) {
        if (module_)
            FreeLibrary(module_);
        module_ = module;
    }

  private:
    HMODULE module_ = nullptr;
};

// A service control manager or service handle, closed with CloseServiceHandle.
class ServiceHandle {
  public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_ = nullptr;
};

}  // namespace base
