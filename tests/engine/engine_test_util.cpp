#include "engine_test_util.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"

namespace engine_test {

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    base::UniqueHandle handle(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (!handle) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    // REPARSE_DATA_BUFFER's mount-point form: tag, sizes, then "\??\target" and the print name.
    std::wstring substitute = L"\\??\\" + target;
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + target.size() + 2) * sizeof(wchar_t));
    auto* words = reinterpret_cast<WORD*>(buffer.data());
    *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
    words[2] = static_cast<WORD>(buffer.size() - 8);
    words[4] = 0;
    words[5] = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    words[6] = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
    words[7] = static_cast<WORD>(target.size() * sizeof(wchar_t));
    auto* names = reinterpret_cast<wchar_t*>(buffer.data() + 16);
    substitute.copy(names, substitute.size());
    target.copy(names + substitute.size() + 1, target.size());
    DWORD returned = 0;
    bool made = DeviceIoControl(handle.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    handle.Reset();
    if (!made || !(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    return true;
}

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
