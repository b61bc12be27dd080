// What the start-up sequence needs from parts of the program that this build does not have
// yet: the skinned screens, the restore of keep mode, and the statistics and web-service
// binding. Each answers the way that is right until its part arrives (see seams.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace seams {

// Statistics: the product type and version file, and one event.
void SetStatisticProduct(const std::wstring& versionFile);
void ReportEvent(const wchar_t* action, const std::wstring& extra, bool wait);

// The HTTP library of the second stage and the server configuration it fetches.
void BindHttpLibrary(const std::wstring& ownDir);
void StartServerConfigFetch();
void ReleaseServerConfig();

// The skinned message box; answers -1 at once in a silent run.
int ShowMessage(const wchar_t* text, UINT style);

// The retention, questionnaire and progress screens; returns when they are done.
int RunScreens(const std::wstring& commandLine, int show);
// Keep mode: put the product's desktop integration back.
void RestoreDesktopIntegration();

}  // namespace seams
