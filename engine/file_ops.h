// File-system operations of the uninstall steps: deleting files and whole folders, recording
// what cannot be deleted, moving locked files aside, scheduling deletions for the next start,
// and the batch that the system runs once at the next logon.
//
// None of them follows a junction or symbolic link: a link met while walking is removed itself
// (the link, never what it points to), and a folder handed to the shell's delete has had its
// links removed first, so the shell cannot reach through one either.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace engine {

// Paths the uninstall could not delete; the RunOnce step handles them at the end.
using Leftovers = std::vector<std::wstring>;
// Called once per file a tree walk met (deleted or not).
using FileStepCallback = void (*)(void* context);

// Attribute tests that treat INVALID_FILE_ATTRIBUTES as "no".
bool IsLink(DWORD attributes);  // a junction or symbolic link (a reparse point)
bool IsFolder(DWORD attributes);

using EntryVisitor = std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& data)>;
// Calls `visit` for each entry of `folder` matching `pattern` ("*"), except "." and "..", which
// are recognised by name: not every file system lists them, nor lists them first.
void ForEachEntry(const std::wstring& folder, const wchar_t* pattern, const EntryVisitor& visit);

// Deletes a file (a read-only one too). When it stays, schedules it for deletion at the next
// start and logs "delete %s failed, error=%d"; false. A missing file counts as deleted.
bool DeleteOrSchedule(const std::wstring& path);
// Deletes a folder tree through the shell (silent, no confirmation, no error UI), after removing
// every link inside it. False only for an empty path.
bool ShellDeleteFolder(const std::wstring& path);
// A folder: ShellDeleteFolder; a link: the link alone; a file: DeleteFileW, then again once made
// normal. When the path still exists afterwards it is appended to `leftovers`; false.
bool DeleteOrRecord(const std::wstring& path, Leftovers& leftovers);
// Deletes a folder tree entry by entry: files with DeleteOrRecord (then `callback` once each,
// whatever the result), sub-folders recursively, then the folder itself. False for an empty or
// too long (260+) path.
bool DeleteTree(const std::wstring& folder, Leftovers& leftovers,
                FileStepCallback callback = nullptr, void* context = nullptr);
// Clears a folder: files with DeleteOrSchedule, sub-folders recursively, then ShellDeleteFolder.
bool PurgeFolder(const std::wstring& folder);
// Deletes every file below `folder` whose extension (with its dot) equals `extension` without
// regard to case; what is locked is moved aside and scheduled for deletion at the next start.
bool PurgeByExtension(const std::wstring& folder, const std::wstring& extension);
// True when the path is gone: deleted, deleted once made normal, missing, or an empty folder
// that could be removed.
bool ForceDelete(const std::wstring& path);
// Removes a folder and everything in it (used for the uninstaller's own temporary copy). True
// only when everything went.
bool RemoveFolderRecursive(const std::wstring& folder);
// Moves a file or folder to a fresh "{GUID}.tmp" name in a temporary folder on the same drive:
// the user's temporary folder on the Windows drive, "<drive>:\.temp" (hidden) elsewhere.
bool MoveToTemp(const std::wstring& path, std::wstring& newPath);
// MoveFileExW(path, null, MOVEFILE_DELAY_UNTIL_REBOOT).
bool ScheduleDeleteAtReboot(const std::wstring& path);

// The batch that removes at the next logon what could be removed neither now nor by a pending
// rename. Created on the first line, in the temporary folder, named vrn*.bat.
class RunOnceBatch {
  public:
    RunOnceBatch() = default;
    ~RunOnceBatch();
    RunOnceBatch(const RunOnceBatch&) = delete;
    RunOnceBatch& operator=(const RunOnceBatch&) = delete;

    enum class Command { kDeleteFile, kRemoveTree, kRemoveEmptyFolder };
    // Appends `del /q "<path>" `, `rd /s /q "<path>" ` or `rd /q "<path>" ` and a line break.
    // False when the path cannot be written so that cmd.exe reads the same name back (see
    // BatchPathText) or the batch cannot be created.
    bool AddLine(Command command, const std::wstring& path);
    bool IsCreated() const { return file_ != INVALID_HANDLE_VALUE; }
    const std::wstring& Path() const { return path_; }
    void Close();

  private:
    bool Create();
    bool WriteText(const std::string& text);

    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::wstring path_;
};

// The text of one batch line for `path`, in the OEM code page that cmd.exe reads batches in,
// with the trailing blank and CR LF. Empty when the path cannot be written so that it names
// the same file: its characters do not survive the code page and it has no usable 8.3 name.
// A "%" is doubled, since cmd.exe expands variables even inside quotes.
std::string BatchLine(RunOnceBatch::Command command, const std::wstring& path);

// The last step of the uninstall: leftovers outside `installDir` are refused; files are moved
// aside and scheduled, or written to the batch; folders are removed, moved aside and scheduled,
// or written to the batch; "<drive>:\.temp" is scheduled; the batch deletes itself last and is
// registered under HKLM\...\RunOnce; then `installDir` goes when empty. Empties `leftovers`.
bool WriteRunOnceBatch(Leftovers& leftovers, const std::wstring& installDir);

}  // namespace engine
