#include "app/uninstall_end.h"

#include <cstdio>

#include "app/seams.h"
#include "base/reg_key.h"
#include "base/strings.h"

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

std::string EscapeForUrl(const std::wstring& text, size_t maxChars) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    for (unsigned char c : base::ToUtf8(text)) {
        bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == '~' || c == ':';
        std::string piece = safe ? std::string(1, static_cast<char>(c))
                                 : std::string{'%', kHex[c >> 4], kHex[c & 15]};
        if (result.size() + piece.size() > maxChars)
            break;
        result += piece;
    }
    return result;
}

void RecordUninstallEnd(const std::wstring& installDate) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    base::RegKey key;
    if (key.Create(HKEY_CURRENT_USER, L"Software\\KestiWallPaperEver", KEY_SET_VALUE)) {
        key.SetString(L"unistdate", base::Format(32, kDateFormat, now.wYear, now.wMonth, now.wDay,
                                                 now.wHour, now.wMinute, now.wSecond));
    }
    int days = DaysOfUse(installDate, now);
    std::wstring ex2 = base::FromUtf8(EscapeForUrl(installDate));
    seams::ReportEvent(L"uninstall_2", base::Format(2700, L"&ex1=%d&ex2=%s", days, ex2.c_str()),
                       false);
}
