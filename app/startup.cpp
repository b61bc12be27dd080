#include "app/startup.h"

#include <shellapi.h>
#include <shlobj.h>

#include <gdiplus.h>

#include <clocale>

#include "app/command_parser.h"
#include "app/instance_mutex.h"
#include "app/log.h"
#include "app/launch.h"
#include "app/seams.h"
#include "app/silent.h"
#include "app/silent_flow.h"
#include "app/threads.h"
#include "base/handle.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "deploy/deployment_config.h"
#include "config/setup_config.h"
#include "engine/file_ops.h"
#include "engine/install_dir_guard.h"
#include "engine/process_shutdown.h"
#include "engine/uninstall_task.h"
#include "product/product_info.h"
#include "report/http_library.h"
#include "report/statistic.h"
#include "report/uninstall_config.h"
#include "sysinfo/machine_id.h"
#include "trust/signature.h"

namespace {

constexpr wchar_t kDamagedText[] = L"卸载程序已被破坏，请重新下载安装后再进行卸载";
constexpr wchar_t kAlreadyRunningText[] = L"安装或卸载程序已经在运行,点击“确定”退出";
constexpr wchar_t kSilentChannel[] = L"rovozazo";
constexpr DWORD kFailureReportPauseMs = 3000;
constexpr int kConfigResourceId = 209;
constexpr DWORD kPendingReportsWaitMs = 3000;

bool g_silent = false;

// One file of the temporary copy.
struct CopyItem {
    const wchar_t* target;  // below <temp>\<guid>.tmp
    const wchar_t* source;  // below the install folder
    bool required;
};

// Copied in this order. VRNBasic.dll goes last, after the "uninstall_from" event.
constexpr CopyItem kCopyTable[] = {
    {L"Zembase.dll", L"Zembase.dll", true},
    {L"ZemNetUL.dll", L"wallpaperhelper\\ZemNetUL.dll", false},
    {L"7z.dll", L"Utils\\7z.dll", true},
};
constexpr CopyItem kLateCopy = {L"Utils\\VRNBasic.dll", L"Utils\\VRNBasic.dll", false};

bool CopyInto(const std::wstring& installDir, const std::wstring& tempDir, const CopyItem& item) {
    std::wstring target = path::Join(tempDir, item.target);
    std::wstring targetDir = path::DirName(target);
    if (!path::DirExists(targetDir))
        SHCreateDirectoryExW(nullptr, targetDir.c_str(), nullptr);
    return CopyFileW(path::Join(installDir, item.source).c_str(), target.c_str(), FALSE) != FALSE;
}

// The system's own version numbers, which a compatibility shim cannot change.
std::wstring NtVersionText() {
    using Fn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto fn = ntdll ? reinterpret_cast<Fn>(
                          reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers")))
                    : nullptr;
    if (!fn)
        return L"";
    DWORD major = 0, minor = 0, build = 0;
    fn(&major, &minor, &build);
    return base::Format(32, L"%d.%d", static_cast<int>(major), static_cast<int>(minor));
}

void StartGdiplus(ULONG_PTR& token) {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        token = 0;
}

void CleanUp(ULONG_PTR gdiplusToken) {
    InstanceMutex().ReleaseAll();
    // Statistics events leave on threads of their own; the process's end would cut them off.
    CStatistic::Instance()->WaitForPendingReports(kPendingReportsWaitMs);
    DestroyUIThreadWindow();
    CoUninitialize();
    if (gdiplusToken)
        Gdiplus::GdiplusShutdown(gdiplusToken);
}

// The failure events go out on threads of their own; give them time to leave before the
// process ends.
void PauseForFailureReport() {
    Sleep(kFailureReportPauseMs);
}

void SetStatisticProduct(const std::wstring& installDir) {
    CStatistic& statistic = *CStatistic::Instance();
    statistic.SetType(L"bizhi");
    statistic.SetVersionFile(path::Join(installDir, product::kMainExecutable).c_str());
}

// The configuration archive is unpacked into a folder of its own under the temporary folder; the
// uninstall reads from it until it ends, and nothing needs it after that.
void RemoveUnpackedConfig() {
    const std::wstring& dir = GetUninstallConfig().GetExtractDir();
    if (!dir.empty() && engine::IsBelow(dir, path::TempDir()))
        engine::RemoveFolderRecursive(dir);
}

// The running copy's folder. Its executable and the modules it loaded stay locked until the
// process ends: those are scheduled for deletion at the next start, the folder after them.
void RemoveOwnDirectory(const std::wstring& dir) {
    if (engine::RemoveFolderRecursive(dir))
        return;
    engine::PurgeFolder(dir);
    if (path::Exists(dir))
        engine::ScheduleDeleteAtReboot(dir);
}

void RunSecondStage(HINSTANCE instance, const std::wstring& commandLine, int show) {
    std::wstring installDir;
    if (!GetInstallDir(installDir) || !path::DirExists(installDir)) {
        seams::ShowMessage(kDamagedText, MB_OK);
        return;
    }
    IUninstallTask& task = *GetUninstallTask();
    task.SetInstallDir(installDir.c_str());
    SetStatisticProduct(installDir);

    std::wstring ownDir = path::ModuleDir();
    SetCurrentDirectoryW(ownDir.c_str());

    if (CommandLine().HasOption(L"/K")) {
        seams::RestoreDesktopIntegration();
        UninstallFeedbackConfig::Instance()->Release();
        RemoveOwnDirectory(ownDir);
        return;
    }

    LoadHttpLibrary();
    UninstallFeedbackConfig::Instance()->Start();
    SetStatisticProduct(installDir);
    CStatistic::Instance()->Report(L"uninstall_1", nullptr, false);

    int code = task.PreInitCheck();
    if (code != 0) {
        Log(L"pre init check failed, ret = %d", code);
        seams::ShowMessage(PreInitErrorText(code).c_str(), MB_OK);
        report::ReportPreInitCheckFailed(code);
        PauseForFailureReport();
        return;
    }
    if (!task.InitConfig(instance, kConfigResourceId, L"SETUPCONFIG", L"bizhi.vrnprj")) {
        Log(L"init config failed, exit");
        ReportDamagedAndOfferDownload();
        report::ReportInitConfigFailed();
        RemoveUnpackedConfig();
        PauseForFailureReport();
        return;
    }
    if (IsSilentRun()) {
        CSilentUninstallFlow().Run(task);
    } else {
        seams::RunScreens(commandLine, show);
    }
    UninstallFeedbackConfig::Instance()->Release();
    RemoveUnpackedConfig();
    // What is locked now is left to the deletion at the next start.
    RemoveOwnDirectory(ownDir);
}

}  // namespace

void SetSilentRun(bool silent) {
    g_silent = silent;
}
bool IsSilentRun() {
    return g_silent;
}

std::wstring PreInitErrorText(int code) {
    switch (code) {
        case 1:
            return L"ZemBase.dll文件初始化失败";
        case 2:
            return kDamagedText;
        case 3:
            return L"7z.dll文件破坏，请重新下载安装后进行卸载";
        default:
            return L"";
    }
}

void ReportDamagedAndOfferDownload() {
    if (seams::ShowMessage(kDamagedText, MB_YESNO) == IDYES) {
        ShellExecuteW(nullptr, L"open", deploy::kInstallerDownloadUrl, nullptr, nullptr,
                      SW_SHOWNORMAL);
    }
}

std::wstring GetParentProcessPath() {
    DWORD parent = engine::ParentProcessId();
    if (parent == static_cast<DWORD>(-1))
        return L"";
    wchar_t image[MAX_PATH + 1] = {};
    int length = engine::GetProcessImagePath(parent, image, MAX_PATH + 1, false);
    return std::wstring(image, length);
}

std::wstring ParentFileStem(const std::wstring& imagePath) {
    size_t slash = imagePath.rfind(L'\\');
    if (slash == std::wstring::npos)
        return L"";
    std::wstring name = imagePath.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos)
        return L"";
    return name.substr(0, dot);
}

int CheckCaller() {
    CCommandParser& commandLine = CommandLine();
    if (!commandLine.IsSilent())
        return 1;
    if (!base::EqualsNoCase(GetPid(), kSilentChannel))
        return 0;

    if (!commandLine.HasOption(L"/READYUNINSTALL")) {
        std::wstring installDir;
        bool haveBase =
            path::FileExists(path::Join(path::ModuleDir(), L"Zembase.dll")) ||
            (GetInstallDir(installDir) && path::FileExists(path::Join(installDir, L"Zembase.dll")));
        if (!haveBase)
            return 0;
        // A silent uninstall removes the product without asking anyone: only the maker's own
        // signed programs may ask for one.
        std::wstring parent = GetParentProcessPath();
        if (!parent.empty() && VerifyFileSigner(parent.c_str()))
            return 1;
        Log(L"parent process = %s", parent.c_str());
        return 0;
    }

    std::wstring token;
    if (!commandLine.GetOption(L"/CHK", token) || token.empty())
        return 0;
    std::wstring mid = GetMid();
    return !mid.empty() && CCommandParser::CheckSilenceToken(token, mid) ? 1 : 0;
}

int RelaunchFromTempCopy(const std::wstring& commandLine) {
    std::wstring ownDir = path::ModuleDir();
    std::wstring installDir;
    if (!GetInstallDir(installDir)) {
        if (!path::FileExists(path::Join(ownDir, L"Zembase.dll")))
            return 0;
        installDir = ownDir;
        base::RegKey key;
        if (key.Create(HKEY_LOCAL_MACHINE, product::kAppPathsKey, KEY_SET_VALUE)) {
            key.DeleteValue(L"path");
            key.SetString(L"path", installDir, false);
        }
    }
    if (!path::FileExists(path::Join(installDir, L"Zembase.dll")))
        return 0;

    std::wstring tempDir = path::FreeTempName(path::TempDir());
    if (tempDir.empty())
        return 0;
    DeleteFileW(tempDir.c_str());
    SHCreateDirectory(nullptr, tempDir.c_str());
    if (!path::DirExists(tempDir))
        return 0;

    std::wstring exeSource = path::Join(installDir, L"Uninstall.exe");
    if (!path::FileExists(exeSource))
        exeSource = path::Join(installDir, L"Vadorive.exe");
    std::wstring exeCopy = path::Join(tempDir, L"Uninstall.exe");
    if (!CopyFileW(exeSource.c_str(), exeCopy.c_str(), FALSE))
        return 0;
    for (const CopyItem& item : kCopyTable) {
        if (!CopyInto(installDir, tempDir, item) && item.required)
            return 0;
    }

    std::wstring parent = GetParentProcessPath();
    Log(L"parent process path= %s", parent.c_str());
    report::ReportUninstallFrom(ParentFileStem(parent), NtVersionText());
    CopyInto(installDir, tempDir, kLateCopy);

    std::wstring parameters = commandLine + L"  /READYUNINSTALL";
    if (CommandLine().IsSilent()) {
        parameters += L"  /CHK=" + CCommandParser::MakeSilenceToken(GetMid());
    }
    return LaunchProgram(exeCopy.c_str(), parameters.c_str(), SW_SHOWNORMAL, true, false) ? 1 : 0;
}

int RunUninstaller(HINSTANCE instance, const wchar_t* rawCommandLine, int show) {
    CoInitialize(nullptr);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    _wsetlocale(LC_ALL, L"chs");

    std::wstring logDir = path::TempDir();
    Logger().SetPath(path::Join(logDir, L"bizhi_uninst.log"));

    std::wstring commandLine = rawCommandLine ? rawCommandLine : L"";
    CommandLine().Parse(commandLine);
    Log(L"command line: %s", commandLine.c_str());

    if (!CheckCaller()) {
        Log(L"illegal call");
        return 0;
    }

    ULONG_PTR gdiplusToken = 0;
    StartGdiplus(gdiplusToken);
    SetSilentRun(CommandLine().IsSilent());

    if (!InstanceMutex().CheckSingleInstance()) {
        Log(L"CheckSingleInstance failed, exit");
        seams::ShowMessage(kAlreadyRunningText, MB_OK);
    } else if (!CommandLine().HasOption(L"/READYUNINSTALL")) {
        std::wstring installDir;
        if (GetInstallDir(installDir) && path::DirExists(installDir)) {
            SetStatisticProduct(installDir);
        }
        if (!RelaunchFromTempCopy(commandLine))
            ReportDamagedAndOfferDownload();
    } else {
        RunSecondStage(instance, commandLine, show);
    }
    CleanUp(gdiplusToken);
    return 0;
}
