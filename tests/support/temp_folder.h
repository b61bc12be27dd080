// A fresh folder under the temporary folder for one test, removed with everything in it at the
// end, and the removal itself for trees a test makes elsewhere.
#pragma once

#include <string>
#include <string_view>

namespace test_support {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // <folder>\<relative>; nothing is created.
    std::wstring operator/(std::wstring_view relative) const;
    // <folder>\<relative>, created with the folders on the way.
    std::wstring Dir(std::wstring_view relative) const;
    // <folder>\<relative>, written with `content` (replacing what was there), its parent folders
    // made.
    std::wstring File(std::wstring_view relative, std::string_view content = "x") const;

  private:
    std::wstring path_;
};

// Removes a file, or a folder with everything in it, read-only entries included. A junction or
// symbolic link is removed as a link: the removal never enters one, so a test that points a link
// at a second folder cannot lose that folder's contents.
void RemoveTree(const std::wstring& path);

}  // namespace test_support
