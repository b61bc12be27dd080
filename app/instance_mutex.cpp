#include "app/instance_mutex.h"

int CInstanceMutex::CheckSingleInstance() {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    if (!mutex)
        return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        if (HWND window = FindWindowW(kMainWindowClass, nullptr)) {
            PostMessageW(window, WM_ACTIVATE_SCREEN, 0, 0);
        }
        return 0;
    }
    _BaseModule::CAutoLocker guard(lock_);
    handles_.push_back(mutex);
    return 1;
}

int CInstanceMutex::CreateNamed(const wchar_t* name, const wchar_t* windowClass, HWND* outWindow) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    if (!mutex)
        return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        if (outWindow)
            *outWindow = windowClass ? FindWindowW(windowClass, nullptr) : nullptr;
        return 1;
    }
    _BaseModule::CAutoLocker guard(lock_);
    handles_.push_back(mutex);
    return 0;
}

int CInstanceMutex::Hold(const wchar_t* name) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    if (!mutex)
        return 0;
    _BaseModule::CAutoLocker guard(lock_);
    handles_.push_back(mutex);
    return 1;
}

void CInstanceMutex::ReleaseAll() {
    std::vector<HANDLE> handles;
    {
        _BaseModule::CAutoLocker guard(lock_);
        handles.swap(handles_);
    }
    for (HANDLE handle : handles)
        CloseHandle(handle);
}

CInstanceMutex& InstanceMutex() {
    static CInstanceMutex* mutex = new CInstanceMutex();
    return *mutex;
}
