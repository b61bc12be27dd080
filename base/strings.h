// Text helpers over std::wstring, UTF-16 throughout.
#pragma once

#include <string>
#include <string_view>

namespace base {

// Trims white space (space, tab, CR, LF, vertical tab, form feed) at both ends.
std::wstring Trim(std::wstring_view text);
std::wstring ToUpper(std::wstring_view text);
std::wstring ToLower(std::wstring_view text);
// Case-insensitive comparison in the invariant locale (works for Latin and CJK alike).
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix);
bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix);
bool ContainsNoCase(std::wstring_view text, std::wstring_view part);

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);
// Text in the thread's ANSI code page, as MultiByteToWideChar(CP_ACP) reads it.
std::wstring FromAnsi(std::string_view text);

// printf-style formatting into a new string; output longer than maxChars - 1 is cut.
std::wstring Format(size_t maxChars, const wchar_t* format, ...);

}  // namespace base
