// Starts a program and waits for it, as the product's own helpers start the uninstaller:
//   launcher.exe <program> [arguments...]
// The build makes a signed copy (the maker's helper) and an unsigned one (anybody else).
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    for (int i = 2; i < argc; ++i)
        commandLine += L" " + std::wstring(argv[i]);
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 1;
    }
    WaitForSingleObject(process.hProcess, 120000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
