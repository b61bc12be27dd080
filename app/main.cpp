// Process entry of Uninstall.exe.
#include <windows.h>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int show) {
    return RunUninstaller(instance, commandLine, show);
}
