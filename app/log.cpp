#include "app/log.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>

#include "base/handle.h"
#include "base/path.h"

namespace {

constexpr size_t kMaxMessage = 512;           // characters, terminator included
constexpr LONGLONG kMaxLogSize = 0x40000000;  // 1 GiB
constexpr size_t kFlushThreshold = 100;

std::wstring TimestampText() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%04d-%02d-%02d %02d:%02d:%02d ", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond);
    return text;
}

}  // namespace

CSmartLogger::CSmartLogger() = default;

CSmartLogger::~CSmartLogger() {
    // Lines still pending are dropped, not written: a destructor at exit must not block on I/O.
    _BaseModule::CAutoLocker guard(lock_);
    pending_.clear();
}

void CSmartLogger::SetPath(const std::wstring& path) {
    {
        _BaseModule::CAutoLocker guard(lock_);
        path_ = path;
    }
    base::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    LARGE_INTEGER size = {};
    bool tooLarge = GetFileSizeEx(file.Get(), &size) && size.QuadPart > kMaxLogSize;
    file.Reset();
    if (tooLarge)
        DeleteFileW(path.c_str());
}

void CSmartLogger::LogV(const wchar_t* format, va_list args) {
    wchar_t buffer[kMaxMessage] = {};
    _vsnwprintf(buffer, kMaxMessage - 1, format, args);
    buffer[kMaxMessage - 1] = L'\0';
    Append(buffer);
    Flush();
}

void CSmartLogger::Log(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(format, args);
    va_end(args);
}

void CSmartLogger::LogA(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogAV(format, args);
    va_end(args);
}

void CSmartLogger::LogAV(const char* format, va_list args) {
    char buffer[kMaxMessage] = {};
    _vsnprintf(buffer, kMaxMessage - 1, format, args);
    buffer[kMaxMessage - 1] = '\0';
    wchar_t wide[kMaxMessage] = {};
    MultiByteToWideChar(CP_THREAD_ACP, 0, buffer, -1, wide, kMaxMessage - 1);
    wide[kMaxMessage - 1] = L'\0';
    Append(wide);
    Flush();
}

size_t CSmartLogger::Append(const std::wstring& text) {
    std::wstring line = TimestampText() + text;
    if (line.empty() || line.back() != L'\n')
        line += L'\n';
    size_t count;
    {
        _BaseModule::CAutoLocker guard(lock_);
        pending_.push_back(std::move(line));
        count = pending_.size();
    }
    if (count > kFlushThreshold)
        Flush();
    return count;
}

int CSmartLogger::Flush() {
    _BaseModule::CAutoLocker guard(lock_);
    if (path_.empty())
        return 0;
    int result = 0;
    std::wstring dir = path::DirName(path_);
    if (!dir.empty() && !path::DirExists(dir))
        SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    if (dir.empty() || path::DirExists(dir)) {
        // Text mode: the C library turns each wide line into the current locale's code page.
        if (FILE* file = _wfopen(path_.c_str(), L"a")) {
            if (bannerPending_) {
                std::wstring banner = L"\r\n================== Start Log:" + TimestampText() +
                                      L"==================\n";
                fputws(banner.c_str(), file);
                bannerPending_ = false;
            }
            for (const std::wstring& line : pending_)
                fputws(line.c_str(), file);
            fflush(file);
            fclose(file);
            result = 1;
        }
    }
    pending_.clear();
    return result;
}

CSmartLogger& Logger() {
    static CSmartLogger* logger = new CSmartLogger();
    return *logger;
}

void Log(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Logger().LogV(format, args);
    va_end(args);
}

void LogA(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Logger().LogAV(format, args);
    va_end(args);
}
