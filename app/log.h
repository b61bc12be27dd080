// The program's diagnostic log: time-stamped lines appended to a text file in the temporary
// folder, written at once, each process's first write preceded by a banner.
#pragma once

#include <string>
#include <vector>

#include "base/locker.h"

class CSmartLogger {
  public:
    CSmartLogger();
    virtual ~CSmartLogger();
    CSmartLogger(const CSmartLogger&) = delete;
    CSmartLogger& operator=(const CSmartLogger&) = delete;

    // Stores the path. A file larger than 1 GiB is deleted so that a new one starts.
    void SetPath(const std::wstring& path);
    const std::wstring& Path() const { return path_; }

    // printf-style (Microsoft semantics: %s is a wide string in Log, a narrow one in LogA);
    // output past 511 characters is cut. The line is written before the call returns.
    void Log(const wchar_t* format, ...);
    void LogA(const char* format, ...);
    void LogV(const wchar_t* format, va_list args);
    void LogAV(const char* format, va_list args);

    // Queues one time-stamped line; flushes when more than 100 are pending. Returns the count.
    size_t Append(const std::wstring& text);
    // Appends the pending lines (after the banner, once per process) in the locale's code page.
    // Returns 1 when the file was written, 0 otherwise; the pending list is emptied either way.
    int Flush();

  private:
    _BaseModule::CCriticalSection lock_;
    std::vector<std::wstring> pending_;
    std::wstring path_;
    bool bannerPending_ = true;
};

// The process's logger. Created on first use and never destroyed, so that threads still running
// at exit can log safely.
CSmartLogger& Logger();

// The call every subsystem uses.
void Log(const wchar_t* format, ...);
void LogA(const char* format, ...);
