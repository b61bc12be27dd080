#include "app/launch.h"

#include <shellapi.h>

#include <cwchar>
#include <string>

#include "base/handle.h"
#include "base/path.h"
#include "trust/signature.h"

bool LaunchProgram(const wchar_t* path, const wchar_t* parameters, int show, bool checkSignature,
                   bool wait, DWORD* outExitCode, DWORD timeoutMs) {
    if (!path || !*path || wcslen(path) > MAX_PATH)
        return false;
    if (!path::FileExists(path))
        return false;
    // A program we start runs with our (administrator) rights: only the maker's signed files.
    if (checkSignature && !VerifyFileSigner(path))
        return false;

    wchar_t quoted[1024] = {};
    _snwprintf(quoted, 1023, L"\"%s\"", path);

    SHELLEXECUTEINFOW info = {sizeof(info)};
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = quoted;
    info.lpParameters = parameters;
    info.nShow = show;
    bool launched = ShellExecuteExW(&info) != FALSE;
    base::UniqueHandle process(info.hProcess);

    if (launched && wait && process)
        WaitForSingleObject(process.Get(), timeoutMs);
    if (outExitCode) {
        if (!launched)
            return false;
        DWORD code = 0;
        if (process && GetExitCodeProcess(process.Get(), &code))
            *outExitCode = code;
    }
    return launched;
}
