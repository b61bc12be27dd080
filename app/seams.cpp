#include "app/seams.h"

#include "app/log.h"
#include "app/silent.h"

namespace seams {

// The skinned message box arrives with the screens; until then the log shows what it would say.
int ShowMessage(const wchar_t* text, UINT style) {
    if (IsSilentRun())
        return -1;
    Log(L"message box: %s", text);
    return (style & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
}

// Without the screens nobody can confirm an interactive uninstall, so nothing is removed.
int RunScreens(const std::wstring&, int) {
    Log(L"the uninstall screens are not part of this build; nothing was removed");
    return 0;
}

void RestoreDesktopIntegration() {
    Log(L"keep mode: restoring is not part of this build");
}

}  // namespace seams
