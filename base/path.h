// Path and file-system queries used across subsystems. Paths are plain UTF-16 strings.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace path {

// Joins with exactly one backslash between the parts.
std::wstring Join(std::wstring_view dir, std::wstring_view name);
// The text before the last backslash (or slash); empty when there is none.
std::wstring DirName(std::wstring_view path);
// The text after the last backslash (or slash); the whole text when there is none.
std::wstring FileName(std::wstring_view path);
// Removes trailing backslashes, except the one of a drive root ("C:\").
std::wstring StripTrailingSlash(std::wstring_view path);

bool Exists(const std::wstring& path);
bool FileExists(const std::wstring& path);  // exists and is not a directory
bool DirExists(const std::wstring& path);

// The running executable's full path and its directory.
std::wstring ModulePath(HMODULE module = nullptr);
std::wstring ModuleDir(HMODULE module = nullptr);
// GetTempPathW, without the trailing backslash it returns.
std::wstring TempDir();

// "{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}" of a new GUID: the program's one format
// for temporary names (the third group lower-case, as the other tools of the product expect).
std::wstring NewGuidText();
// "<dir>\<guid>.tmp" for the first of at most 10 new GUIDs whose name does not exist yet;
// empty when all 10 are taken.
std::wstring FreeTempName(const std::wstring& dir);

}  // namespace path
