// Holds a named mutex for a while, as the product's installer would:
//   hold_mutex.exe <name> <seconds>
// Prints "held" once it owns the mutex, so that a test knows when to go on.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    HANDLE mutex = CreateMutexW(nullptr, TRUE, argv[1]);
    if (!mutex)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    CloseHandle(mutex);
    return 0;
}
