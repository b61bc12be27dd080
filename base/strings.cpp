#include "base/strings.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace base {
namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring MapCase(std::wstring_view text, DWORD flags) {
    std::wstring result(text);
    if (!result.empty()) {
        LCMapStringW(LOCALE_INVARIANT, flags, result.data(), static_cast<int>(result.size()),
                     result.data(), static_cast<int>(result.size()));
    }
    return result;
}

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty())
        return {};
    int count =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(count > 0 ? count : 0, L'\0');
    if (count > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(),
                            count);
    }
    return result;
}

}  // namespace

std::wstring Trim(std::wstring_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return std::wstring(text.substr(begin, end - begin));
}

std::wstring ToUpper(std::wstring_view text) {
    return MapCase(text, LCMAP_UPPERCASE);
}
std::wstring ToLower(std::wstring_view text) {
    return MapCase(text, LCMAP_LOWERCASE);
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() &&
           EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

bool ContainsNoCase(std::wstring_view text, std::wstring_view part) {
    if (part.empty())
        return true;
    std::wstring upperText = ToUpper(text), upperPart = ToUpper(part);
    return upperText.find(upperPart) != std::wstring::npos;
}

std::string ToUtf8(std::wstring_view text) {
    if (text.empty())
        return {};
    int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string result(count > 0 ? count : 0, '\0');
    if (count > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                            count, nullptr, nullptr);
    }
    return result;
}

std::wstring FromUtf8(std::string_view text) {
    return ToWide(CP_UTF8, text);
}
std::wstring FromAnsi(std::string_view text) {
    return ToWide(CP_ACP, text);
}

std::wstring Format(size_t maxChars, const wchar_t* format, ...) {
    std::vector<wchar_t> buffer(maxChars ? maxChars : 1, L'\0');
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer.data(), buffer.size() - 1, format, args);
    va_end(args);
    buffer.back() = L'\0';
    return std::wstring(buffer.data());
}

}  // namespace base
