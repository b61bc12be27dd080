// Helpers shared by the configuration tests: COM on the test thread, files and resources.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace config_test {

// Resource identifiers of the fixtures built into the test executables.
constexpr int kHostileArchiveId = 1;     // RCDATA: 7z with escaping item names
constexpr int kBlob4096Id = 2;           // RCDATA: 4096 bytes
constexpr int kBlob4097Id = 3;           // RCDATA: 4097 bytes
constexpr int kRootListId = 4;           // RCDATA: the shipped install-root list, UTF-16
constexpr int kHostileCabinetId = 5;     // RCDATA: cabinet with escaping entry names
constexpr int kCorruptConfigId = 210;    // SETUPCONFIG: shipped archive, one packed byte flipped
constexpr int kTruncatedConfigId = 211;  // SETUPCONFIG: shipped archive, cut short

// UTF-16 LE with a byte-order mark, as the product's tools write XML.
bool WriteUtf16File(const std::wstring& path, std::wstring_view text);
bool WriteBytes(const std::wstring& path, const void* data, size_t size);
std::vector<BYTE> ReadBytes(const std::wstring& path);
// The bytes of a resource of this executable; empty when it is missing.
std::vector<BYTE> ResourceBytes(int id, const wchar_t* type);
// Names of the entries directly inside `dir`, without "." and "..".
std::vector<std::wstring> ListDir(const std::wstring& dir);

}  // namespace config_test
