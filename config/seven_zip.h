// The client side of the 7z engine: the engine itself is 7z.dll, an outside module loaded at run
// time and reached only through its "CreateObject" export; this side supplies the streams and
// callbacks it calls (seven_zip_client.h).
#pragma once

#include <string>
#include <string_view>

namespace config {

// Told when an extraction starts and how it ended.
class IExtractObserver {
  public:
    virtual void OnExtractStart(const wchar_t* archivePath, const wchar_t* outDirectory) = 0;
    virtual void OnExtractEnd(bool success) = 0;

  protected:
    ~IExtractObserver() = default;
};

// Loads the engine from `path` once per process and keeps it. A DLL that does not load, lacks
// "CreateObject" or cannot make the 7z format handler answers false (and a later call may try
// again); once an engine is loaded every call answers true at once.
bool LoadEngine(const std::wstring& path);
bool IsEngineLoaded();

// Extracts every item of the 7z archive at `archivePath` into `outDirectory` (created when
// missing). 0 on success; -1 when the engine is missing, the archive does not open, or any item
// fails (a failed item's partial file is removed). Items whose names would land outside
// `outDirectory` are skipped and logged.
int Extract7z(const std::wstring& archivePath, const std::wstring& outDirectory,
              IExtractObserver* observer);
// The same from bytes in memory, which the caller keeps alive until it returns.
int Extract7zFromMemory(const void* data, size_t size, const std::wstring& outDirectory,
                        IExtractObserver* observer);

// True for a relative path that stays below the folder it is joined to: not empty, no drive or
// stream colon, no leading separator, no component made only of dots and spaces (".", "..",
// and the forms Windows trims to them), and no device name ("CON", "nul.txt", "COM1").
bool IsSafeRelativePath(std::wstring_view path);
// `directory` joined with `relative` when the result, made absolute, still lies inside
// `directory`; empty otherwise.
std::wstring JoinInside(const std::wstring& directory, std::wstring_view relative);

}  // namespace config
