// What the start-up sequence needs from parts of the program that this build does not have
// yet: the skinned screens and the restore of keep mode. Each answers the way that is right
// until its part arrives (see seams.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace seams {

// The skinned message box; answers -1 at once in a silent run.
int ShowMessage(const wchar_t* text, UINT style);

// The retention, questionnaire and progress screens; returns when they are done.
int RunScreens(const std::wstring& commandLine, int show);
// Keep mode: put the product's desktop integration back.
void RestoreDesktopIntegration();

}  // namespace seams
