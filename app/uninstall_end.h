// What the end of an uninstall leaves behind for the maker: the date in the registry and the
// "uninstall_2" event with the days the product was in use.
#pragma once

#include <windows.h>

#include <string>

// Whole local calendar days from the install day to `today` (both taken at midnight); 0 when
// installDate is empty or not "YYYY-MM-DD hh:mm:ss".
int DaysOfUse(const std::wstring& installDate, const SYSTEMTIME& today);

// Writes HKCU\Software\KestiWallPaperEver "unistdate" and reports "uninstall_2".
void RecordUninstallEnd(const std::wstring& installDate);
