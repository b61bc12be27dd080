// Starting programs: the one primitive the start-up sequence, the program calls of the uninstall
// and the screens share.
#pragma once

#include <windows.h>

// Starts `path` with `parameters` through the shell ("open"). Refuses an empty path, one longer
// than 260 characters, or a missing file. With checkSignature the file must carry an accepted
// publisher's signature first. With wait, waits up to timeoutMs for the process; with
// outExitCode, stores its exit code (and answers false when the launch failed). Answers whether
// the program was started.
bool LaunchProgram(const wchar_t* path, const wchar_t* parameters, int show, bool checkSignature,
                   bool wait, DWORD* outExitCode = nullptr, DWORD timeoutMs = INFINITE);
