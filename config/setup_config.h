// The setup project: what the uninstaller learns from the configuration embedded in its own
// executable (main program, registry location, windows to close, product entry points to call,
// the install-root list). Loaded once at start-up, read-only afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "config/root_dir_list.h"

// A window of the product to close before removal.
struct CloseProgramRecord {
    wchar_t windowClass[200];
    int message;  // WM_CLOSE, WM_QUIT or WM_COMMAND
    int wParam;
    int lParam;
    int timeout;  // milliseconds
};

// A product program or DLL entry to call.
struct CallProgramRecord {
    wchar_t fileName[260];  // relative to the install directory
    wchar_t type[260];      // "exe" or "dll"
    wchar_t funcName[260];  // the DLL's export
    wchar_t para[260];
    wchar_t cmdline[260];
    wchar_t signType[260];
    int waitTime;  // milliseconds
    int sync;
};

// A DLL entry run through the product's rundll launcher (only items for the running system).
struct RundllRecord {
    wchar_t fileName[260];  // relative to the install directory
    wchar_t entry[260];
    wchar_t cmdline[260];
    int waitTime;  // milliseconds
};

// The operations keep this order. Text getters clear the buffer and answer true only when the
// whole text and its terminator fit in `size` characters (else the buffer stays empty). Record
// getters zero-fill the record and answer false for an index outside 0..count-1.
class ISetupConfig {
  public:
    virtual bool LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType,
                                  const wchar_t* projectFileName) = 0;
    virtual int GetMinimizeSpace() const = 0;
    // The member list; no ownership passes.
    virtual IUninstallRootDirList* GetRootDirList() = 0;
    virtual bool GetVersion(wchar_t* buffer, int size) const = 0;
    virtual bool GetMainApp(wchar_t* buffer, int size) const = 0;
    virtual HKEY GetRegRoot() const = 0;
    virtual bool GetRegSubKey(wchar_t* buffer, int size) const = 0;
    virtual bool GetRegValue(wchar_t* buffer, int size) const = 0;
    virtual int GetCloseProgramCount() const = 0;
    virtual bool GetCloseProgram(int index, CloseProgramRecord* record) const = 0;
    virtual bool GetCheckFile(int index, wchar_t* buffer, int size) const = 0;
    virtual int GetCheckFileCount() const = 0;
    virtual bool GetCallOnInstall(int index, CallProgramRecord* record) const = 0;
    virtual int GetCallOnInstallCount() const = 0;
    virtual bool GetCallOnUninstall(int index, CallProgramRecord* record) const = 0;
    virtual int GetCallOnUninstallCount() const = 0;
    virtual int GetFileCount() const = 0;

  protected:
    ~ISetupConfig() = default;
};

class CSetupConfig : public ISetupConfig {
  public:
    // Answers whether the machine's native architecture is 64-bit; decides which
    // RundllUnRegisterOnUnInst items are kept.
    using MachineIs64BitProbe = bool (*)();

    CSetupConfig();
    virtual ~CSetupConfig();
    CSetupConfig(const CSetupConfig&) = delete;
    CSetupConfig& operator=(const CSetupConfig&) = delete;
    // Destroys and frees an object made with new (never call it on an embedded one).
    virtual void Release();

    // Extracts the archive in the resource into a fresh temporary directory and parses
    // <that directory>\<projectFileName>.
    bool LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType,
                          const wchar_t* projectFileName) override;
    int GetMinimizeSpace() const override;
    IUninstallRootDirList* GetRootDirList() override;
    bool GetVersion(wchar_t* buffer, int size) const override;
    bool GetMainApp(wchar_t* buffer, int size) const override;
    HKEY GetRegRoot() const override;
    bool GetRegSubKey(wchar_t* buffer, int size) const override;
    bool GetRegValue(wchar_t* buffer, int size) const override;
    int GetCloseProgramCount() const override;
    bool GetCloseProgram(int index, CloseProgramRecord* record) const override;
    bool GetCheckFile(int index, wchar_t* buffer, int size) const override;
    int GetCheckFileCount() const override;
    bool GetCallOnInstall(int index, CallProgramRecord* record) const override;
    int GetCallOnInstallCount() const override;
    bool GetCallOnUninstall(int index, CallProgramRecord* record) const override;
    int GetCallOnUninstallCount() const override;
    int GetFileCount() const override;

    // For the engine, which holds the object itself: the rundll items kept for this machine.
    int GetRundllItemCount() const;
    bool GetRundllItem(int index, RundllRecord* record) const;
    // Where the archive was extracted (empty before a load got that far).
    const std::wstring& GetExtractDir() const { return extractDir_; }
    const std::wstring& GetRootDirListPath() const { return rootDirListPath_; }
    const std::wstring& GetFileListPath() const { return fileListPath_; }

    // Parses a project file (and the install-root list it names) into this object.
    bool LoadProject(const std::wstring& path);
    // Replaces the architecture probe (the default asks the system); for tests and callers that
    // already know the answer.
    void SetMachineIs64BitProbe(MachineIs64BitProbe probe) { is64BitProbe_ = probe; }

  private:
    std::vector<CloseProgramRecord> closePrograms_;
    std::vector<std::wstring> checkFiles_;
    std::vector<CallProgramRecord> callOnInstall_;
    std::vector<CallProgramRecord> callOnUninstall_;
    std::vector<RundllRecord> rundllItems_;
    int minimizeSpace_ = 100;
    HKEY regRoot_ = HKEY_LOCAL_MACHINE;
    std::wstring regSubKey_;
    std::wstring regValue_;
    std::wstring version_;
    std::wstring mainApp_;
    std::wstring rootDirListPath_;
    std::wstring extractDir_;
    std::wstring fileListPath_;
    int fileCount_ = 200;
    CUninstallRootDirList rootDirList_;
    // Kept for the layout the installer shares; not used by the uninstaller.
    CUninstallRootDirList spareList_;
    MachineIs64BitProbe is64BitProbe_;
};
