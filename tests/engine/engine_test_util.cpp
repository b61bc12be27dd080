#include "engine_test_util.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"

namespace engine_test {

LogCapture::LogCapture() : previous_(Logger().Path()), file_(folder_.File(L"test.log", "")) {
    DeleteFileW(file_.c_str());
    // Lines logged while no path was set wait in the logger; they belong to earlier tests and
    // go to a file of their own.
    Logger().SetPath(path::Join(folder_.Path(), L"earlier.log"));
    Logger().Flush();
    Logger().SetPath(file_);
}

LogCapture::~LogCapture() {
    Logger().Flush();
    Logger().SetPath(previous_);
}

std::wstring LogCapture::Text() const {
    std::ifstream in(file_.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return base::FromAnsi(bytes.str());
}

int LogCapture::Count(const std::wstring& line) const {
    std::wstring text = Text();
    int count = 0;
    for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

}  // namespace engine_test
