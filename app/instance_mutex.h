// The single-instance guard shared with the product's installer.
#pragma once

#include <windows.h>

#include <vector>

#include "base/locker.h"

constexpr UINT WM_ACTIVATE_SCREEN = 0x1400;
constexpr wchar_t kInstanceMutexName[] = L"KestiWallPaperInstaller";
constexpr wchar_t kMainWindowClass[] = L"KestiWallPaperSetupMainWnd";

class CInstanceMutex {
  public:
    CInstanceMutex() = default;
    ~CInstanceMutex() { ReleaseAll(); }
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    // 1 when this process may run (it now holds the mutex, or the mutex could not be made at
    // all); 0 when another installer or uninstaller holds it, whose main window, if any, is told
    // to come to the front.
    int CheckSingleInstance();
    // 1 when the named mutex already existed (outWindow receives the top-level window of
    // windowClass, may be null); 0 when this call created it (kept) or creation failed.
    int CreateNamed(const wchar_t* name, const wchar_t* windowClass, HWND* outWindow);
    // Creates the named mutex and keeps it; 0 when creation failed.
    int Hold(const wchar_t* name);
    void ReleaseAll();

  private:
    std::vector<HANDLE> handles_;
    _BaseModule::CCriticalSection lock_;
};

CInstanceMutex& InstanceMutex();
