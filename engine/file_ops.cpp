#include "engine/file_ops.h"

#include <shellapi.h>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "engine/install_dir_guard.h"

namespace engine {

namespace {

constexpr size_t kMaxWalkPath = MAX_PATH;  // 260 characters and more are left alone
constexpr wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

bool IsDots(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == 0) ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

bool IsGone(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Removes a junction or symbolic link itself, never its target (which may be the user's
// documents). The link is opened as a link and deleted through that handle; when the system
// hands back the target instead (the handle shows no reparse point, as Wine does for a Unix
// symbolic link) nothing is deleted: a plain RemoveDirectoryW there would remove an empty target
// folder, and the link staying behind is the lesser harm.
bool RemoveLink(const std::wstring& path) {
    base::UniqueHandle link(
        CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link)
        return IsGone(path);
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(link.Get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        Log(L"cannot open link %s as a link, left in place", path.c_str());
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(link.Get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)))
        return false;
    link.Reset();
    return IsGone(path);
}

// Deletes a file, making it normal only when a plain delete failed: a file link (which Wine shows
// as a plain file) goes on the first try, so its target's attributes are never touched.
bool DeleteFileIfPossible(const std::wstring& path) {
    if (DeleteFileW(path.c_str()))
        return true;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != 0;
}

// Removes every link below `folder` without entering any. True when none is left, so that a
// walker that does follow links (the shell's delete) may be let loose on the tree.
bool UnlinkAllBelow(const std::wstring& folder) {
    bool clean = true;
    ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (IsLink(data.dwFileAttributes)) {
            if (!RemoveLink(entry)) {
                Log(L"cannot remove link %s, error=%d", entry.c_str(), GetLastError());
                clean = false;
            }
        } else if (IsFolder(data.dwFileAttributes)) {
            if (!UnlinkAllBelow(entry))
                clean = false;
        }
    });
    return clean;
}

// The fallback of ShellDeleteFolder when a link could not be removed: delete what can be
// deleted and leave the link, and so its target, alone.
void DeleteTreeWithoutLinks(const std::wstring& folder) {
    ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (IsLink(data.dwFileAttributes))
            return;
        if (IsFolder(data.dwFileAttributes)) {
            DeleteTreeWithoutLinks(entry);
        } else {
            DeleteFileIfPossible(entry);
        }
    });
    RemoveDirectoryW(folder.c_str());
}

bool ContainsLink(const std::wstring& folder) {
    bool found = false;
    ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (found)
            return;
        if (IsLink(data.dwFileAttributes))
            found = true;
        else if (IsFolder(data.dwFileAttributes))
            found = ContainsLink(entry);
    });
    return found;
}

std::wstring WindowsDrive() {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

// Text in the OEM code page that reads back to exactly `text`; empty when it does not.
std::string ToOemExactly(const std::wstring& text) {
    if (text.empty())
        return {};
    for (wchar_t c : text) {
        // A line break inside a name would start a second command.
        if (c < 0x20)
            return {};
    }
    BOOL usedDefault = FALSE;
    int size =
        WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return {};
    std::string oem(size, '\0');
    WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        oem.data(), size, nullptr, &usedDefault);
    if (usedDefault)
        return {};
    int wideSize = MultiByteToWideChar(CP_OEMCP, 0, oem.data(), size, nullptr, 0);
    std::wstring back(wideSize > 0 ? wideSize : 0, L'\0');
    if (wideSize > 0)
        MultiByteToWideChar(CP_OEMCP, 0, oem.data(), size, back.data(), wideSize);
    return back == text ? oem : std::string();
}

}  // namespace

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ForEachEntry(const std::wstring& folder, const wchar_t* pattern, const EntryVisitor& visit) {
    WIN32_FIND_DATAW data;
    base::FindHandle find(FindFirstFileW(path::Join(folder, pattern).c_str(), &data));
    if (!find.IsValid())
        return;
    do {
        if (IsDots(data.cFileName))
            continue;
        visit(path::Join(folder, data.cFileName), data);
    } while (FindNextFileW(find.Get(), &data));
}

bool ScheduleDeleteAtReboot(const std::wstring& path) {
    return !path.empty() && MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool DeleteOrSchedule(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // A link that cannot be removed as a link is left alone: every fallback below (attributes,
    // the pending deletion) would reach its target.
    if (IsLink(attributes))
        return RemoveLink(path);
    if (DeleteFileW(path.c_str()))
        return true;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str()))
        return true;
    DWORD error = GetLastError();
    ScheduleDeleteAtReboot(path);
    Log(L"delete %s failed, error=%d", path.c_str(), static_cast<int>(error));
    return false;
}

bool ShellDeleteFolder(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (IsLink(attributes)) {
        RemoveLink(path);
        return true;
    }
    // The shell's delete descends into junctions and links and would empty their targets. Every
    // link goes first; if one cannot go, the shell is not used at all.
    if (IsFolder(attributes) && !UnlinkAllBelow(path)) {
        DeleteTreeWithoutLinks(path);
        return true;
    }
    constexpr size_t kMaxSource = 4096;
    if (path.size() >= kMaxSource - 1)
        return true;
    std::wstring source = path;
    source.push_back(L'\0');  // the list ends with a second terminator
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = source.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    SHFileOperationW(&operation);
    return true;
}

bool DeleteOrRecord(const std::wstring& path, Leftovers& leftovers) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (IsLink(attributes)) {
        RemoveLink(path);
    } else if (IsFolder(attributes)) {
        ShellDeleteFolder(path);
    } else {
        bool deleted = DeleteFileW(path.c_str()) != 0;
        if (!deleted) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            deleted = DeleteFileW(path.c_str()) != 0;
        }
        if (deleted)
            Log(L"DeleteFile:%s suceesss", path.c_str());
    }
    if (IsGone(path))
        return true;
    leftovers.push_back(path);
    return false;
}

bool DeleteTree(const std::wstring& folder, Leftovers& leftovers, FileStepCallback callback,
                void* context) {
    if (folder.empty() || folder.size() >= kMaxWalkPath)
        return false;
    if (!IsLink(GetFileAttributesW(folder.c_str()))) {
        ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
            if (IsFolder(data.dwFileAttributes) && !IsLink(data.dwFileAttributes)) {
                DeleteTree(entry, leftovers, callback, context);
                return;
            }
            // A file, or a link (removed itself, and counted like the file it stands for).
            DeleteOrRecord(entry, leftovers);
            if (callback)
                callback(context);
        });
    }
    DeleteOrRecord(folder, leftovers);
    return true;
}

bool PurgeFolder(const std::wstring& folder) {
    if (folder.empty() || folder.size() >= kMaxWalkPath)
        return false;
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (IsLink(attributes)) {
        RemoveLink(folder);
        return true;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(folder.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (IsLink(data.dwFileAttributes))
            RemoveLink(entry);
        else if (IsFolder(data.dwFileAttributes))
            PurgeFolder(entry);
        else
            DeleteOrSchedule(entry);
    });
    ShellDeleteFolder(folder);
    return true;
}

bool ForceDelete(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD before = GetFileAttributesW(path.c_str());
    if (before == INVALID_FILE_ATTRIBUTES && IsGone(path))
        return true;
    if (IsLink(before))
        return RemoveLink(path);
    if (DeleteFileW(path.c_str()) || IsGone(path))
        return true;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str()))
        return true;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (IsFolder(attributes))
        return RemoveDirectoryW(path.c_str()) != 0;
    return false;
}

bool PurgeByExtension(const std::wstring& folder, const std::wstring& extension) {
    if (folder.empty() || extension.empty() || folder.size() >= kMaxWalkPath)
        return false;
    ForEachEntry(folder, L"*.*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        // Links are left to the sweep, which removes the link; a walk must not enter one.
        if (IsLink(data.dwFileAttributes))
            return;
        if (IsFolder(data.dwFileAttributes)) {
            PurgeByExtension(entry, extension);
            return;
        }
        std::wstring name = data.cFileName;
        size_t dot = name.rfind(L'.');
        if (dot == std::wstring::npos || !base::EqualsNoCase(name.substr(dot), extension))
            return;
        if (ForceDelete(entry))
            return;
        std::wstring moved;
        std::wstring scheduled = MoveToTemp(entry, moved) ? moved : entry;
        ScheduleDeleteAtReboot(scheduled);
        Log(L"delete file:%s by pending:%s", entry.c_str(), scheduled.c_str());
    });
    return true;
}

bool RemoveFolderRecursive(const std::wstring& folder) {
    if (folder.size() < 4)
        return false;
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (IsLink(attributes))
        return RemoveLink(folder);
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(folder.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    bool all = true;
    ForEachEntry(folder, L"*.*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (IsLink(data.dwFileAttributes)) {
            all = RemoveLink(entry) && all;
        } else if (IsFolder(data.dwFileAttributes)) {
            all = RemoveFolderRecursive(entry) && all;
        } else {
            all = DeleteFileIfPossible(entry) && all;
        }
    });
    return RemoveDirectoryW(folder.c_str()) && all;
}

bool MoveToTemp(const std::wstring& path, std::wstring& newPath) {
    newPath.clear();
    if (path.empty() || !path::Exists(path))
        return false;
    std::wstring windows = WindowsDrive();
    std::wstring tempFolder;
    if (!windows.empty() && towupper(path[0]) == towupper(windows[0])) {
        tempFolder = path::TempDir();
    } else {
        tempFolder = base::Format(16, L"%c:\\.temp", path[0]);
        if (!path::DirExists(tempFolder) && CreateDirectoryW(tempFolder.c_str(), nullptr))
            SetFileAttributesW(tempFolder.c_str(), FILE_ATTRIBUTE_HIDDEN);
    }
    std::wstring target;
    if (tempFolder.size() <= MAX_PATH)
        target = path::FreeTempName(tempFolder);
    if (target.empty() || !MoveFileW(path.c_str(), target.c_str())) {
        Log(L"move %s to %s, failed, error=%d", path.c_str(), target.c_str(),
            static_cast<int>(GetLastError()));
        return false;
    }
    if (path::Exists(path)) {
        DeleteOrSchedule(target);
        return false;
    }
    newPath = target;
    return true;
}

std::string BatchLine(RunOnceBatch::Command command, const std::wstring& path) {
    // cmd.exe reads a batch in the OEM code page. A character it cannot map would turn into "?"
    // (a wildcard) or a look-alike: the line would name some other file. The 8.3 name, when the
    // volume keeps one, is plain ASCII and names the same file.
    std::string oem = ToOemExactly(path);
    if (oem.empty()) {
        wchar_t shortName[MAX_PATH] = {};
        DWORD length = GetShortPathNameW(path.c_str(), shortName, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            oem = ToOemExactly(std::wstring(shortName, length));
    }
    if (oem.empty())
        return {};
    // "%" starts a variable even inside quotes; doubled it stands for itself.
    std::string escaped;
    for (char c : oem) {
        escaped += c;
        if (c == '%')
            escaped += '%';
    }
    const char* verb = command == RunOnceBatch::Command::kDeleteFile   ? "del /q"
                       : command == RunOnceBatch::Command::kRemoveTree ? "rd /s /q"
                                                                       : "rd /q";
    std::string line = std::string(verb) + " \"" + escaped + "\" \r\n";
    // Lines are kept within the program's 520-byte line buffer; a cut line would name another
    // path, so an over-long one is not written at all.
    return line.size() <= 519 ? line : std::string();
}

RunOnceBatch::~RunOnceBatch() {
    Close();
}

void RunOnceBatch::Close() {
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
}

bool RunOnceBatch::Create() {
    if (file_ != INVALID_HANDLE_VALUE)
        return true;
    std::wstring temp = path::TempDir();
    wchar_t name[MAX_PATH] = {};
    if (temp.empty() || !GetTempFileNameW(temp.c_str(), L"vrn", 0, name))
        return false;
    DeleteFileW(name);
    std::wstring batch = name;
    size_t dot = batch.rfind(L'.');
    if (dot != std::wstring::npos && dot > batch.rfind(L'\\'))
        batch.erase(dot);
    batch += L".bat";
    DeleteFileW(batch.c_str());
    file_ = CreateFileW(batch.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE)
        return false;
    SetFilePointer(file_, 0, nullptr, FILE_END);
    path_ = batch;
    return true;
}

bool RunOnceBatch::WriteText(const std::string& text) {
    DWORD written = 0;
    return WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

bool RunOnceBatch::AddLine(Command command, const std::wstring& path) {
    std::string line = BatchLine(command, path);
    if (line.empty())
        return false;
    return Create() && WriteText(line);
}

namespace {

// Schedules everything below a folder that was moved aside, deepest first, so that the folder's
// own pending deletion finds it empty. A file scheduled earlier under its old name (a locked one
// whose folder could still be moved) would otherwise stay behind for good.
void ScheduleContentsAtReboot(const std::wstring& folder) {
    ForEachEntry(folder, L"*", [&](const std::wstring& entry, const WIN32_FIND_DATAW& data) {
        if (IsLink(data.dwFileAttributes))
            return;
        if (IsFolder(data.dwFileAttributes))
            ScheduleContentsAtReboot(entry);
        ScheduleDeleteAtReboot(entry);
    });
}

// Writes a file line to the batch; a path the batch cannot name is left to the pending
// deletion that was already tried, and logged.
void AddToBatch(RunOnceBatch& batch, RunOnceBatch::Command command, const std::wstring& path) {
    if (batch.AddLine(command, path)) {
        Log(L"write to runonce bat: %s", path.c_str());
        return;
    }
    ScheduleDeleteAtReboot(path);
    Log(L"cannot write %s to runonce bat, left to pending deletion", path.c_str());
}

}  // namespace

bool WriteRunOnceBatch(Leftovers& leftovers, const std::wstring& installDir) {
    std::wstring root = NormalizePath(installDir);
    RunOnceBatch batch;
    std::vector<std::wstring> folders;
    for (const std::wstring& path : leftovers) {
        // Only the product's own files are ever named in the batch or scheduled: a leftover
        // outside the install folder means a list was wrong, and the batch runs elevated.
        if (root.empty() || !IsBelow(NormalizePath(path), root)) {
            Log(L"leftover outside the install folder, not removed: %s", path.c_str());
            continue;
        }
        DWORD attributes = GetFileAttributesW(path.c_str());
        // A link that could not be removed as a link stays: moving it, scheduling it or naming it
        // to "rd /s" could all end in its target.
        if (IsLink(attributes) || (IsFolder(attributes) && ContainsLink(path))) {
            Log(L"link left in place: %s", path.c_str());
            continue;
        }
        if (IsFolder(attributes)) {
            folders.push_back(path);
            continue;
        }
        std::wstring moved;
        if (!MoveToTemp(path, moved)) {
            Log(L"cut %s to temp failed, delete by pending", path.c_str());
            DeleteOrSchedule(path);
            continue;
        }
        Log(L"cut %s to %s success", path.c_str(), moved.c_str());
        if (ScheduleDeleteAtReboot(moved))
            Log(L"write %s to pending success", moved.c_str());
        else
            AddToBatch(batch, RunOnceBatch::Command::kDeleteFile, moved);
    }
    leftovers.clear();

    for (const std::wstring& folder : folders) {
        if (ForceDelete(folder))
            continue;
        std::wstring moved;
        if (!MoveToTemp(folder, moved)) {
            Log(L"cut %s to temp failed,delete by pending", folder.c_str());
            DeleteOrSchedule(folder);
            continue;
        }
        Log(L"cut %s to %s success", folder.c_str(), moved.c_str());
        ScheduleContentsAtReboot(moved);
        if (ScheduleDeleteAtReboot(moved))
            Log(L"write %s to pending success", moved.c_str());
        else
            AddToBatch(batch, RunOnceBatch::Command::kRemoveTree, moved);
    }

    if (!root.empty()) {
        std::wstring driveTemp = base::Format(16, L"%c:\\.temp", root[0]);
        // Only a folder that is there: scheduling a missing one would only add a batch line.
        if (path::DirExists(driveTemp)) {
            if (ScheduleDeleteAtReboot(driveTemp))
                Log(L"write %s to pending success", driveTemp.c_str());
            else
                AddToBatch(batch, RunOnceBatch::Command::kRemoveEmptyFolder, driveTemp);
        }
    }

    if (batch.IsCreated()) {
        std::wstring self = batch.Path();
        if (batch.AddLine(RunOnceBatch::Command::kDeleteFile, self))
            Log(L"write to runonce bat: %s", self.c_str());
        base::RegKey runOnce;
        // Quoted: an unquoted path with a blank would make the system try its first word as a
        // program of its own.
        if (runOnce.Create(HKEY_LOCAL_MACHINE, kRunOnceKey, KEY_SET_VALUE) &&
            runOnce.SetString(path::FileName(self).c_str(), L"\"" + self + L"\""))
            Log(L"write runonce bat to registry");
    }
    if (!root.empty())
        RemoveDirectoryW(root.c_str());
    batch.Close();
    return true;
}

}  // namespace engine
