#include "app/uninstall_end.h"

#include <cstdio>

#include "base/reg_key.h"
#include "base/strings.h"
#include "report/statistic.h"

namespace {

constexpr wchar_t kDateFormat[] = L"%04d-%02d-%02d %02d:%02d:%02d";

// Days since 1601-01-01 of a local calendar date.
bool DayNumber(int year, int month, int day, LONGLONG& number) {
    SYSTEMTIME midnight = {};
    midnight.wYear = static_cast<WORD>(year);
    midnight.wMonth = static_cast<WORD>(month);
    midnight.wDay = static_cast<WORD>(day);
    FILETIME file = {};
    if (!SystemTimeToFileTime(&midnight, &file))
        return false;
    ULARGE_INTEGER value = {{file.dwLowDateTime, file.dwHighDateTime}};
    number = static_cast<LONGLONG>(value.QuadPart / (10000000ULL * 86400ULL));
    return true;
}

}  // namespace

int DaysOfUse(const std::wstring& installDate, const SYSTEMTIME& today) {
    int year, month, day, hour, minute, second;
    if (installDate.empty() || swscanf(installDate.c_str(), kDateFormat, &year, &month, &day, &hour,
                                       &minute, &second) != 6) {
        return 0;
    }
    LONGLONG installDay = 0, todayNumber = 0;
    if (!DayNumber(year, month, day, installDay) ||
        !DayNumber(today.wYear, today.wMonth, today.wDay, todayNumber)) {
        return 0;
    }
    return static_cast<int>(todayNumber - installDay);
}

void RecordUninstallEnd(const std::wstring& installDate) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    base::RegKey key;
    if (key.Create(HKEY_CURRENT_USER, L"Software\\KestiWallPaperEver", KEY_SET_VALUE)) {
        key.SetString(L"unistdate", base::Format(32, kDateFormat, now.wYear, now.wMonth, now.wDay,
                                                 now.wHour, now.wMinute, now.wSecond));
    }
    report::ReportUninstallFinished(DaysOfUse(installDate, now), installDate);
}
