// The product's autorun: the Run values of both users and both registry views, the logon task,
// and the autorun switch in the product's settings file.
#pragma once

#include <windows.h>

#include <string>

namespace engine {

inline constexpr wchar_t kAutorunName[] = L"kestiwp-srv";
inline constexpr wchar_t kRunValueName[] = L"kestiwp";
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class Autorun {
  public:
    // Deletes the value `name` under the Run key of HKEY_CURRENT_USER, then of
    // HKEY_LOCAL_MACHINE (the calling process's view). Always 1: a missing value is no error.
    int DeleteAutorunValue(const wchar_t* name);
    // Deletes the task `name` from the Task Scheduler's root folder. 1 once the delete request
    // was made (a missing task included), 0 when the scheduler could not be reached.
    int DeleteAutorunTask(const wchar_t* name);
};

// The autorun step of the uninstall: switches autorun off in <installDir>\config.set, deletes
// the kestiwp-srv value and task, and the machine Run value kestiwp in the 32-bit view and, on
// 64-bit Windows, in the 64-bit view.
void RemoveAutorun(const std::wstring& installDir);

}  // namespace engine
