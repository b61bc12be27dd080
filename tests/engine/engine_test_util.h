// Small real fixtures for the engine tests: a folder of the test's own under the temporary
// folder, files in it, junctions where the system can make them, and the log's text.
#pragma once

#include <windows.h>

#include <string>

#include "base/path.h"
#include "tests/support/junction.h"

#include "tests/support/temp_folder.h"

namespace engine_test {

// Its removal never enters a junction, so a test that points one at a second folder cannot lose
// that folder's contents.
using test_support::TempFolder;

using path::Exists;
using test_support::MakeJunction;

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
