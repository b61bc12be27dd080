// Small real fixtures for the engine tests: a temporary folder, a registry key, the uninstaller's
// log and the fake product's call log, each removed by the test that made it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/junction.h"

#include "tests/support/temp_folder.h"

namespace test {

using test_support::TempFolder;

// Creates HKLM or HKCU <subKey> (the program's own view) and deletes it with its sub-keys at the
// end. `preexisting` tells whether it was there before; tests that would clobber a real install
// skip then.
class ScopedKey {
  public:
    ScopedKey(HKEY root, std::wstring subKey);
    ~ScopedKey();
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    bool Preexisting() const { return preexisting_; }
    void SetString(const std::wstring& name, const std::wstring& value) const;

  private:
    HKEY root_;
    std::wstring subKey_;
    bool preexisting_ = false;
};

// Points the program's log at a fresh file for the life of the object.
class CapturedLog {
  public:
    CapturedLog();
    ~CapturedLog();
    std::wstring Text() const;
    bool Contains(const std::wstring& line) const;
    int Count(const std::wstring& line) const;

  private:
    std::wstring path_;
};

// The fake product's record of calls (C:\kesti_fixture\calls.log), emptied on construction.
class CallLog {
  public:
    CallLog();
    // The records, each split at tabs.
    std::vector<std::vector<std::wstring>> Records() const;
    // Records whose first field is `kind` and that contain every one of `parts` as a field.
    int Count(const std::wstring& kind, const std::vector<std::wstring>& parts = {}) const;
};

// A fake product binary that the build copied next to the test executable.
std::wstring FixtureBinary(const wchar_t* name);
// Copies a fake product binary to `target` (folders made).
void CopyFixture(const wchar_t* name, const std::wstring& target);
using test_support::MakeJunction;
bool ValueExists(HKEY root, const wchar_t* subKey, const wchar_t* name, REGSAM view = 0);
bool KeyExists(HKEY root, const wchar_t* subKey, REGSAM view = 0);

}  // namespace test
