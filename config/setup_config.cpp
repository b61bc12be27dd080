// The setup project.
#include "config/setup_config.h"

#include <cwchar>

#include "app/log.h"
#include "base/path.h"
#include "config/resource_unpack.h"
#include "config/seven_zip.h"
#include "config/xml_archive.h"
#include "sysinfo/os_version.h"

namespace {

bool CopyText(const std::wstring& text, wchar_t* buffer, int size) {
    if (!buffer || size <= 0)
        return false;
    buffer[0] = L'\0';
    if (text.size() >= static_cast<size_t>(size))
        return false;
    wmemcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

template <typename Record>
bool CopyRecord(const std::vector<Record>& records, int index, Record* record) {
    if (!record)
        return false;
    *record = Record{};
    if (index < 0 || static_cast<size_t>(index) >= records.size())
        return false;
    *record = records[static_cast<size_t>(index)];
    return true;
}

// Copies `text` into a record's field; false when it does not fit.
template <size_t N>
bool SetField(wchar_t (&field)[N], const std::wstring& text) {
    if (text.size() >= N)
        return false;
    wmemcpy(field, text.c_str(), text.size() + 1);
    return true;
}

std::wstring MakeAbsolute(const std::wstring& projectDir, const std::wstring& file) {
    return path::Join(projectDir, file);
}

}  // namespace

CSetupConfig::CSetupConfig() : is64BitProbe_(&Is64BitMachine) {}

CSetupConfig::~CSetupConfig() = default;

void CSetupConfig::Release() {
    delete this;
}

bool CSetupConfig::LoadFromResource(HMODULE module, int resourceId, const wchar_t* resourceType,
                                    const wchar_t* projectFileName) {
    CResourceUnpack resource;
    if (!resource.Init(module, resourceId, resourceType)) {
        Log(L"configuration resource %d not found", resourceId);
        return false;
    }
    std::wstring directory;
    if (!resource.ExtractTo(directory, true))
        return false;
    bool ok = LoadProject(path::Join(directory, projectFileName ? projectFileName : L""));
    extractDir_ = directory;
    return ok;
}

bool CSetupConfig::LoadProject(const std::wstring& path) {
    if (path.size() >= 512 || !path::FileExists(path)) {
        Log(L"setup project [%s] not found", path.c_str());
        return false;
    }
    std::wstring projectDir = path::DirName(path);
    CXMLArchive archive;
    if (FAILED(archive.Open(path, false)) || !archive.HasDocument()) {
        Log(L"cannot parse the setup project [%s]", path.c_str());
        return false;
    }

    CXMLArchiveItem main = archive.SelectFirst(L"Setup/Main");
    if (!main.IsEmpty()) {
        main.GetText(L"Version", version_, L"");
        main.GetInt(L"MinimizeSpace", minimizeSpace_, 100);
        CXMLArchiveItem rootList = archive.SelectFirst(L"Setup/UninstallRootDirFileList");
        if (!rootList.IsEmpty()) {
            std::wstring file;
            rootList.GetText(L"File", file, L"");
            rootDirListPath_ = MakeAbsolute(projectDir, file);
        }
        CXMLArchiveItem fileList = archive.SelectFirst(L"Setup/FileList");
        if (!fileList.IsEmpty()) {
            fileList.GetInt(L"FileCount", fileCount_, 200);
            std::wstring file;
            fileList.GetText(L"File", file, L"");
            fileListPath_ = MakeAbsolute(projectDir, file);
        }
    }
    if (!path::FileExists(rootDirListPath_) ||
        !rootDirList_.LoadFromFile(rootDirListPath_.c_str())) {
        Log(L"install-root list [%s] not loaded", rootDirListPath_.c_str());
        return false;
    }

    CXMLArchiveItem regAppPath = archive.SelectFirst(L"Setup/RegAppPath");
    std::wstring rootName;
    regAppPath.GetText(L"HKEY", rootName, L"HKEY_LOCAL_MACHINE");
    regRoot_ = config::RootKeyFromName(rootName);
    regAppPath.GetText(L"SubKey", regSubKey_, L"");
    regAppPath.GetText(L"Value", regValue_, L"");

    archive.SelectFirst(L"Setup/Application").GetText(L"MainApp", mainApp_, L"");

    CXMLArchiveItemList programs = archive.Select(L"Setup/CloseAllPrograms/Program");
    for (int i = 0; i < programs.Count(); ++i) {
        CXMLArchiveItem item = programs.Item(i);
        CloseProgramRecord record = {};
        std::wstring text;
        item.GetText(L"WindowClass", text, L"");
        // Under 196 characters, as the product's own tools write them.
        if (text.size() >= 196)
            continue;
        SetField(record.windowClass, text);
        item.GetText(L"Message", text, L"WM_CLOSE");
        record.message = config::MessageFromName(text);
        item.GetInt(L"WPARAM", record.wParam, 0x168);
        item.GetInt(L"LPARAM", record.lParam, 0x168);
        item.GetInt(L"Timeout", record.timeout, 2000);
        closePrograms_.push_back(record);
    }

    bool is64Bit = is64BitProbe_ && is64BitProbe_();
    CXMLArchiveItemList rundll = archive.Select(L"Setup/RundllUnRegisterOnUnInst/Item");
    for (int i = 0; i < rundll.Count(); ++i) {
        CXMLArchiveItem item = rundll.Item(i);
        std::wstring system;
        bool hasSystem = item.GetText(L"System", system, L"");
        if (hasSystem && system != L"32" && system != L"64")
            continue;
        if (hasSystem && system == (is64Bit ? L"32" : L"64"))
            continue;
        RundllRecord record = {};
        std::wstring text;
        item.GetText(L"FileName", text, L"");
        if (!SetField(record.fileName, text))
            continue;
        // The other texts are held to the same bound: a cut entry name or command line would
        // call something else than the project says.
        item.GetText(L"Entry", text, L"");
        if (!SetField(record.entry, text))
            continue;
        item.GetText(L"Cmdline", text, L"");
        if (!SetField(record.cmdline, text))
            continue;
        item.GetInt(L"WaitTime", record.waitTime, 0);
        rundllItems_.push_back(record);
    }

    callOnUninstall_.clear();
    CXMLArchiveItemList calls = archive.Select(L"Setup/CallProgramOnUninst/Program");
    for (int i = 0; i < calls.Count(); ++i) {
        CXMLArchiveItem item = calls.Item(i);
        CallProgramRecord record = {};
        std::wstring text;
        bool fits = true;
        struct Field {
            const wchar_t* attribute;
            wchar_t* target;
        };
        const Field kFields[] = {
            {L"FileName", record.fileName}, {L"Type", record.type},
            {L"FuncName", record.funcName}, {L"Para", record.para},
            {L"Cmdline", record.cmdline},   {L"SignType", record.signType},
        };
        for (const Field& field : kFields) {
            item.GetText(field.attribute, text, L"");
            if (text.size() >= 260) {
                fits = false;
                break;
            }
            wmemcpy(field.target, text.c_str(), text.size() + 1);
        }
        if (!fits)
            continue;
        item.GetInt(L"WaitTime", record.waitTime, 0);
        item.GetInt(L"Sync", record.sync, 1);
        callOnUninstall_.push_back(record);
    }
    return true;
}

int CSetupConfig::GetMinimizeSpace() const {
    return minimizeSpace_;
}

IUninstallRootDirList* CSetupConfig::GetRootDirList() {
    return &rootDirList_;
}

bool CSetupConfig::GetVersion(wchar_t* buffer, int size) const {
    return CopyText(version_, buffer, size);
}

bool CSetupConfig::GetMainApp(wchar_t* buffer, int size) const {
    return CopyText(mainApp_, buffer, size);
}

HKEY CSetupConfig::GetRegRoot() const {
    return regRoot_;
}

bool CSetupConfig::GetRegSubKey(wchar_t* buffer, int size) const {
    return CopyText(regSubKey_, buffer, size);
}

bool CSetupConfig::GetRegValue(wchar_t* buffer, int size) const {
    return CopyText(regValue_, buffer, size);
}

int CSetupConfig::GetCloseProgramCount() const {
    return static_cast<int>(closePrograms_.size());
}

bool CSetupConfig::GetCloseProgram(int index, CloseProgramRecord* record) const {
    return CopyRecord(closePrograms_, index, record);
}

bool CSetupConfig::GetCheckFile(int index, wchar_t* buffer, int size) const {
    if (buffer && size > 0)
        buffer[0] = L'\0';
    if (index < 0 || static_cast<size_t>(index) >= checkFiles_.size())
        return false;
    return CopyText(checkFiles_[static_cast<size_t>(index)], buffer, size);
}

int CSetupConfig::GetCheckFileCount() const {
    return static_cast<int>(checkFiles_.size());
}

bool CSetupConfig::GetCallOnInstall(int index, CallProgramRecord* record) const {
    return CopyRecord(callOnInstall_, index, record);
}

int CSetupConfig::GetCallOnInstallCount() const {
    return static_cast<int>(callOnInstall_.size());
}

bool CSetupConfig::GetCallOnUninstall(int index, CallProgramRecord* record) const {
    return CopyRecord(callOnUninstall_, index, record);
}

int CSetupConfig::GetCallOnUninstallCount() const {
    return static_cast<int>(callOnUninstall_.size());
}

int CSetupConfig::GetFileCount() const {
    return fileCount_;
}

int CSetupConfig::GetRundllItemCount() const {
    return static_cast<int>(rundllItems_.size());
}

bool CSetupConfig::GetRundllItem(int index, RundllRecord* record) const {
    return CopyRecord(rundllItems_, index, record);
}
