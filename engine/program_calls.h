// The product's own clean-up on uninstall: exported functions of its DLLs and its executables,
// run from the install directory after their signature checks.
#pragma once

#include <windows.h>

#include <string>

class ISetupConfig;
class CSetupConfig;

namespace engine {

// Starts `path` ("open", quoted) with `parameters`; the launch of the start-up code, with the
// same refusals (empty, too long or missing path; failed signature check when `verify`). When
// `wait`, waits at most `timeout` ms; the exit code goes to `exitCode` when given. True when the
// program started.
bool RunProgram(const wchar_t* path, const wchar_t* parameters, int show, bool verify, bool wait,
                DWORD* exitCode, DWORD timeout);

// Only when the file exists: kills what already runs from exactly `path`, then RunProgram
// (normal window), logging before and after.
void RunExe(const std::wstring& path, const std::wstring& parameters, bool verify, bool wait,
            DWORD timeout);

// Calls `exportName(argument)` (one pointer argument, stdcall) of the DLL, after its signature
// check when `verify`.
void CallDllExport(const std::wstring& dllPath, const char* exportName, const wchar_t* argument,
                   bool verify);

// Calls `exportName(argument, buffer, capacity) -> count` of the DLL: first with 260 characters,
// again with count + 1 when the export asks for more. Returns the text it wrote; empty when the
// signature check failed, the DLL did not load or the export is missing.
std::wstring CallDllInterfaceEx(const std::wstring& dllPath, const char* exportName,
                                const std::wstring& argument, bool verify);

// The plug-in's uninstall command: config.set [plugin_xd] uninstall_cmd_param, run through the
// launcher named in the plug-in's App Paths key.
class CPluginTask {
  public:
    void StartTask(const std::wstring& installDir);
};

// How long an uninstall program item of the setup project is waited for: its WaitTime, but never
// more than 50 s, and 50 s when it names none (0).
DWORD UninstallProgramWait(int waitTime);

// The five sources of program calls, each usable alone and in this order by RunProgramCalls.
void CallUninstallPrograms(const ISetupConfig& config, const std::wstring& installDir);
void CallRundllItems(const CSetupConfig& config, const std::wstring& installDir);
void CallRunList(const std::wstring& installDir);
void CallFilePe(const std::wstring& installDir);

// The program-call step of the uninstall: the setup project's uninstall programs and rundll
// items, the plug-in task, the run_list and the file_pe programs.
void RunProgramCalls(const CSetupConfig& config, CPluginTask& plugin,
                     const std::wstring& installDir);

// The helper DLL's clean-up: Uninst("") of <installDir>\wallpaperhelper\Pelmora12.dll, signed.
void CallHelperUninst(const std::wstring& installDir);

}  // namespace engine
