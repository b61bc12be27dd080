// The product's shortcuts: the desktop link of all users and of the current user, and the
// start-menu folder of all users.
#pragma once

namespace engine {

inline constexpr wchar_t kShortcutFileName[] = L"Kesti\u58c1\u7eb8.lnk";
inline constexpr wchar_t kStartMenuFolderName[] = L"Kesti\u58c1\u7eb8";

// Deletes "Kesti壁纸.lnk" from the all-users desktop, then from the user's desktop; a link that
// cannot be deleted is scheduled for deletion at the next start.
void RemoveDesktopShortcuts();
// Removes the folder "Kesti壁纸" of the all-users programs folder and everything in it.
void RemoveStartMenuFolder();

}  // namespace engine
