// Stopping the product's processes before its files are removed: polite requests first (a
// registered broadcast, then the windows the setup project names), then force for whatever still
// runs from the install folder.
#pragma once

#include <windows.h>

#include <string>

class ISetupConfig;

namespace engine {

// Enables SeDebugPrivilege on the own process token.
bool EnableDebugPrivilege();
// The image path of a process (long form), at most `capacity` characters with the terminator.
// Returns its length; 0 on failure or for a capacity below 100. Failures are logged when
// logFailures is set.
int GetProcessImagePath(DWORD processId, wchar_t* buffer, int capacity, bool logFailures = true);
// The id of the process that started this one; (DWORD)-1 when it cannot be read.
DWORD ParentProcessId();
// Kills every process whose image lies below `dir` (on a path boundary), except the own process,
// its parent, and <dir>\VorIva\VorIva.exe. Always 0; the number killed goes to `killed`.
int KillMultiProcesses(const wchar_t* dir, int* killed = nullptr);
// Kills every process whose image path equals `path` (without regard to case). Always 0.
int KillProcessByPath(const wchar_t* path);
// The shutdown step of the uninstall: broadcast "Zemwallpaper_quit", send the configured close
// messages, kill what runs from `installDir`, then kestipendant.exe and kestiwp.exe by path.
void CloseProductProcesses(const ISetupConfig& config, const std::wstring& installDir);

}  // namespace engine
