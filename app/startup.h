// The process entry's two stages: the first copies the uninstaller to a fresh temporary folder
// and starts the copy; the second (the copy, /READYUNINSTALL) does the work.
#pragma once

#include <windows.h>

#include <string>

// The whole of wWinMain; always 0.
int RunUninstaller(HINSTANCE instance, const wchar_t* commandLine, int show);

// 1 when the run may go on, 0 for an illegal silent call.
int CheckCaller();
// 1 when the temporary copy was started.
int RelaunchFromTempCopy(const std::wstring& commandLine);
void ReportDamagedAndOfferDownload();
std::wstring PreInitErrorText(int code);

// The image path of the process that started this one ("" when unknown), long form, at most
// 260 characters.
std::wstring GetParentProcessPath();
// The file name of a path without its last extension; "" when there is no backslash or no dot.
std::wstring ParentFileStem(const std::wstring& path);
