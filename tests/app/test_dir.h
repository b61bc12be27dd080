// A fresh folder under the temporary folder for one test, removed with what it holds.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "base/path.h"

class TestDir {
  public:
    TestDir() : path_(path::FreeTempName(path::TempDir())) {
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TestDir() {
        std::wstring from = path_ + L'\0';
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        SHFileOperationW(&op);
    }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path::Join(path_, name); }

  private:
    std::wstring path_;
};
