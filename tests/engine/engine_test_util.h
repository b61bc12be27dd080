// Small real fixtures for the engine tests: a folder of the test's own under the temporary
// folder, files in it, junctions where the system can make them, and the log's text.
#pragma once

#include <windows.h>

#include <string>

namespace engine_test {

// A fresh folder under the temporary folder, removed with its contents at the end. The removal
// never enters a junction, so a test that points one at a second folder cannot lose that one.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // <folder>\<relative>, with the folders on the way created.
    std::wstring Dir(const std::wstring& relative) const;
    std::wstring File(const std::wstring& relative, const char* text = "x") const;
    // Removes a tree the test made elsewhere (without entering junctions).
    static void RemoveTreeForTest(const std::wstring& folder);

  private:
    std::wstring path_;
};

bool Exists(const std::wstring& path);
// Makes `link` a junction to `target`; false where the system cannot (the tests then skip).
bool MakeJunction(const std::wstring& link, const std::wstring& target);

// Sends the log to a file of its own for the life of the object and reads it back.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    std::wstring Text() const;
    int Count(const std::wstring& line) const;

  private:
    TempFolder folder_;
    std::wstring previous_;
    std::wstring file_;
};

}  // namespace engine_test
