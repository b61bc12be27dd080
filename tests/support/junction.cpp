#include "tests/support/junction.h"

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "base/handle.h"

namespace test_support {

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

}  // namespace test_support
