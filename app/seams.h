// What the start-up sequence asks of the other subsystems, in one place. Each call forwards to
// the subsystem that owns it; where that subsystem is not part of the build yet, the call
// answers the way that is right until it is (see seams.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace seams {

// Signature check of a file the program loads or starts.
bool IsSignedByMaker(const std::wstring& path);
// This machine's identifier, the key of the silent-mode token.
std::wstring MachineId();

// Statistics: the product type and version file, and one event.
void SetStatisticProduct(const std::wstring& versionFile);
void ReportEvent(const wchar_t* action, const std::wstring& extra, bool wait);

// The HTTP library of the second stage and the server configuration it fetches.
void BindHttpLibrary(const std::wstring& ownDir);
void StartServerConfigFetch();
void ReleaseServerConfig();

// The embedded configuration and the uninstall task that owns it.
bool LoadArchiveEngine(const std::wstring& dllPath);
void SetInstallDir(const std::wstring& installDir);
bool InitConfig(HINSTANCE instance);

// The skinned message box; answers -1 at once in a silent run.
int ShowMessage(const wchar_t* text, UINT style);

// The screens (or, in a silent run, the uninstall itself); returns when they are done.
int RunMainWindow(const std::wstring& commandLine, int show);
// Keep mode: put the product's desktop integration back.
void RestoreDesktopIntegration();

// Removes the running copy's folder; what is locked is left to the deferred deletion.
void DeleteOwnDirectory(const std::wstring& dir);

}  // namespace seams
