#include "engine/shortcuts.h"

#include <shlobj.h>

#include <string>

#include "base/path.h"
#include "engine/file_ops.h"

namespace engine {
namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return {};
    return buffer;
}

}  // namespace

void RemoveDesktopShortcuts() {
    for (int csidl : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY}) {
        std::wstring folder = ShellFolder(csidl);
        if (!folder.empty())
            DeleteOrSchedule(path::Join(folder, kShortcutFileName));
    }
}

void RemoveStartMenuFolder() {
    std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
    if (programs.empty())
        return;
    std::wstring folder = path::Join(programs, kStartMenuFolderName);
    // PurgeFolder removes a link in place of the folder as a link, never what it points to.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    PurgeFolder(folder);
}

}  // namespace engine
