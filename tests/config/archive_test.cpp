// The 7z client over the real engine: the shipped configuration, damaged archives, hostile item
// names, and the memory stream.
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "base/com_ptr.h"
#include "base/path.h"
#include "base/strings.h"
#include "config/seven_zip.h"
#include "config/seven_zip_client.h"
#include "config/setup_config.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using config_test::ListDir;
using config_test::ReadBytes;
using config_test::ResourceBytes;
using test_support::TempFolder;

const wchar_t kConfigType[] = L"SETUPCONFIG";
constexpr int kShippedConfigId = 209;

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Temporary names ("{GUID}.tmp") that appear while a test runs; a failed extraction leaves its
// copy and folder there on purpose, and the test removes them.
class NewTempEntries {
  public:
    NewTempEntries() : before_(Names()) {}
    ~NewTempEntries() {
        for (const std::wstring& name : Names()) {
            if (!before_.count(name))
                test_support::RemoveTree(path::Join(path::TempDir(), name));
        }
    }
    static std::set<std::wstring> Names() {
        std::set<std::wstring> names;
        for (const std::wstring& name : ListDir(path::TempDir())) {
            if (name.size() == 42 && name.front() == L'{' && name.ends_with(L"}.tmp"))
                names.insert(name);
        }
        return names;
    }
    // Files left in the new folders, relative to the temporary directory.
    std::vector<std::wstring> NewFiles() const {
        std::vector<std::wstring> files;
        for (const std::wstring& name : Names()) {
            std::wstring full = path::Join(path::TempDir(), name);
            if (!before_.count(name) && path::DirExists(full)) {
                for (const std::wstring& inner : ListDir(full))
                    files.push_back(path::Join(name, inner));
            }
        }
        return files;
    }

  private:
    std::set<std::wstring> before_;
};

class ArchiveTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(config::LoadEngine(path::Join(path::ModuleDir(), L"7z.dll")));
    }
    void SetUp() override {
        shipped_ = ResourceBytes(kShippedConfigId, kConfigType);
        ASSERT_FALSE(shipped_.empty());
    }
    std::wstring WriteArchive(const std::wstring& name, const std::vector<BYTE>& bytes) {
        std::wstring file = dir_ / name;
        EXPECT_TRUE(config_test::WriteBytes(file, bytes.data(), bytes.size()));
        return file;
    }

    TempFolder dir_;
    std::vector<BYTE> shipped_;
};

bool MachineIs64Bit() {
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64 ||
           info.wProcessorArchitecture == 12;  // ARM64
}

TEST_F(ArchiveTest, LoadsTheShippedConfiguration) {
    CSetupConfig config;
    ASSERT_TRUE(config.LoadFromResource(GetModuleHandleW(nullptr), kShippedConfigId, kConfigType,
                                        L"bizhi.vrnprj"));
    std::wstring extracted = config.GetExtractDir();
    ASSERT_FALSE(extracted.empty());
    EXPECT_EQ(Sorted(ListDir(extracted)),
              (std::vector<std::wstring>{L"UninstallRootDirFileList.xml", L"bizhi.vrnprj"}));
    EXPECT_EQ(path::DirName(extracted), path::TempDir());

    wchar_t text[260];
    ASSERT_TRUE(config.GetVersion(text, 260));
    EXPECT_STREQ(text, L"1.2.1.8888");
    EXPECT_EQ(config.GetMinimizeSpace(), 200);
    ASSERT_TRUE(config.GetMainApp(text, 260));
    EXPECT_STREQ(text, L"kestiwp.exe");
    EXPECT_EQ(config.GetRegRoot(), HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(config.GetRegSubKey(text, 260));
    EXPECT_STREQ(text,
                 L"SOFTWARE\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\App "
                 L"Paths\\\\kestiwp.exe");
    ASSERT_TRUE(config.GetRegValue(text, 260));
    EXPECT_STREQ(text, L"Path");
    EXPECT_EQ(config.GetFileCount(), 200);

    const wchar_t* kClasses[] = {L"ZemWallpaperMsgWndClass", L"ZemWallPaperCtrlCls"};
    ASSERT_EQ(config.GetCloseProgramCount(), 2);
    for (int i = 0; i < 2; ++i) {
        CloseProgramRecord close;
        ASSERT_TRUE(config.GetCloseProgram(i, &close));
        EXPECT_STREQ(close.windowClass, kClasses[i]);
        EXPECT_EQ(close.message, WM_COMMAND);
        EXPECT_EQ(close.wParam, 40011);
        EXPECT_EQ(close.lParam, 102);
        EXPECT_EQ(close.timeout, 2000);
    }

    ASSERT_EQ(config.GetCallOnUninstallCount(), 1);
    CallProgramRecord call;
    ASSERT_TRUE(config.GetCallOnUninstall(0, &call));
    EXPECT_STREQ(call.fileName, L"lpi\\KsSvc.dll");
    EXPECT_STREQ(call.type, L"dll");
    EXPECT_STREQ(call.funcName, L"DS");
    EXPECT_STREQ(call.cmdline, L"");
    EXPECT_EQ(call.waitTime, 0);
    EXPECT_EQ(call.sync, 1);

    ASSERT_EQ(config.GetRundllItemCount(), 1);
    RundllRecord rundll;
    ASSERT_TRUE(config.GetRundllItem(0, &rundll));
    EXPECT_STREQ(rundll.fileName,
                 MachineIs64Bit() ? L"Utils\\VRNShellExt64.dll" : L"Utils\\VRNShellExt.dll");
    EXPECT_STREQ(rundll.entry, L"ShellOpen_Varnel32W");
    EXPECT_STREQ(rundll.cmdline, L"--verb=UnInstall");
    EXPECT_EQ(rundll.waitTime, 5000);

    EXPECT_EQ(config.GetCheckFileCount(), 0);
    EXPECT_EQ(config.GetCallOnInstallCount(), 0);
    IUninstallRootDirList* roots = config.GetRootDirList();
    EXPECT_EQ(roots->GetCount(), 51);
    EXPECT_TRUE(roots->Contains(L"uninstall.exe"));
    EXPECT_TRUE(roots->Contains(L"UTILS"));
    test_support::RemoveTree(extracted);
}

TEST_F(ArchiveTest, AProjectNameNotInTheArchiveFailsButKeepsTheFolder) {
    CSetupConfig config;
    EXPECT_FALSE(config.LoadFromResource(GetModuleHandleW(nullptr), kShippedConfigId, kConfigType,
                                         L"other.vrnprj"));
    std::wstring extracted = config.GetExtractDir();
    ASSERT_FALSE(extracted.empty());
    EXPECT_TRUE(path::FileExists(path::Join(extracted, L"bizhi.vrnprj")));
    test_support::RemoveTree(extracted);
}

TEST_F(ArchiveTest, DamagedResourcesFailTheLoad) {
    for (int id : {config_test::kCorruptConfigId, config_test::kTruncatedConfigId, 999}) {
        SCOPED_TRACE(id);
        NewTempEntries temp;
        CSetupConfig config;
        EXPECT_FALSE(
            config.LoadFromResource(GetModuleHandleW(nullptr), id, kConfigType, L"bizhi.vrnprj"));
        EXPECT_EQ(config.GetRootDirList()->GetCount(), 0);
        // What stays behind is the archive copy and an output folder without the damaged items.
        for (const std::wstring& file : temp.NewFiles())
            ADD_FAILURE() << "left behind: " << base::ToUtf8(file);
    }
}

TEST_F(ArchiveTest, DamagedArchivesFailWithoutPassingOffPartialFiles) {
    TempFolder good;
    ASSERT_EQ(config::Extract7z(WriteArchive(L"good.7z", shipped_), good.Path(), nullptr), 0);

    std::vector<BYTE> flipped = ResourceBytes(config_test::kCorruptConfigId, kConfigType);
    std::vector<BYTE> truncated = ResourceBytes(config_test::kTruncatedConfigId, kConfigType);
    std::vector<BYTE> signature(shipped_);
    signature[0] ^= 0xFF;
    std::vector<BYTE> headerOnly(shipped_.begin(), shipped_.begin() + 32);
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
    } const kCases[] = {
        {"packed byte flipped", flipped},
        {"cut short", truncated},
        {"wrong signature", signature},
        {"signature header only", headerOnly},
        {"empty file", {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        std::wstring out = dir_ / L"out";
        EXPECT_EQ(config::Extract7z(WriteArchive(L"damaged.7z", c.bytes), out, nullptr), -1);
        for (const std::wstring& name : ListDir(out))
            EXPECT_EQ(ReadBytes(path::Join(out, name)), ReadBytes(good / name))
                << base::ToUtf8(name) << " is not the good file";
        EXPECT_EQ(
            config::Extract7zFromMemory(c.bytes.data(), c.bytes.size(), dir_ / L"mem", nullptr),
            -1);
        test_support::RemoveTree(out);
        test_support::RemoveTree(dir_ / L"mem");
    }
    EXPECT_EQ(config::Extract7z(dir_ / L"missing.7z", dir_ / L"out", nullptr), -1);
}

TEST_F(ArchiveTest, HostileItemNamesStayInsideTheOutputFolder) {
    std::vector<BYTE> hostile = ResourceBytes(config_test::kHostileArchiveId, RT_RCDATA);
    ASSERT_FALSE(hostile.empty());
    // Two levels of folders above the output, so that "..\..\" lands where the test can look.
    std::wstring out = dir_ / L"a\\b\\out";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, out.c_str(), nullptr), ERROR_SUCCESS);
    std::wstring archive = WriteArchive(L"hostile.7z", hostile);
    EXPECT_EQ(config::Extract7z(archive, out, nullptr), 0);

    EXPECT_EQ(ListDir(out), std::vector<std::wstring>{L"good.txt"});
    EXPECT_EQ(ListDir(dir_ / L"a\\b"), std::vector<std::wstring>{L"out"});
    EXPECT_EQ(ListDir(dir_ / L"a"), std::vector<std::wstring>{L"b"});
    EXPECT_EQ(Sorted(ListDir(dir_.Path())), (std::vector<std::wstring>{L"a", L"hostile.7z"}));
    wchar_t drive[MAX_PATH];
    GetFullPathNameW(L"\\", MAX_PATH, drive, nullptr);
    for (const std::wstring& escaped :
         {std::wstring(L"C:\\config_escape_b.txt"), std::wstring(drive) + L"config_escape_c.txt",
          path::Join(path::TempDir(), L"config_escape_a.txt")})
        EXPECT_FALSE(path::Exists(escaped)) << base::ToUtf8(escaped);
}

class RecordingObserver : public config::IExtractObserver {
  public:
    void OnExtractStart(const wchar_t* archive, const wchar_t* out) override {
        events.push_back(L"start " + path::FileName(archive) + L" " + path::FileName(out));
    }
    void OnExtractEnd(bool success) override {
        events.push_back(success ? L"end ok" : L"end failed");
    }
    std::vector<std::wstring> events;
};

TEST_F(ArchiveTest, TellsTheObserverAboutStartAndEnd) {
    RecordingObserver observer;
    std::wstring archive = WriteArchive(L"shipped.7z", shipped_);
    EXPECT_EQ(config::Extract7z(archive, dir_ / L"out", &observer), 0);
    std::vector<BYTE> cut(shipped_.begin(), shipped_.end() - 40);
    EXPECT_EQ(config::Extract7z(WriteArchive(L"cut.7z", cut), dir_ / L"out2", &observer), -1);
    EXPECT_EQ(observer.events, (std::vector<std::wstring>{L"start shipped.7z out", L"end ok",
                                                          L"start cut.7z out2", L"end failed"}));
}

TEST_F(ArchiveTest, ExtractsFromMemory) {
    std::wstring out = dir_ / L"mem";
    ASSERT_EQ(config::Extract7zFromMemory(shipped_.data(), shipped_.size(), out, nullptr), 0);
    EXPECT_EQ(Sorted(ListDir(out)),
              (std::vector<std::wstring>{L"UninstallRootDirFileList.xml", L"bizhi.vrnprj"}));
    std::vector<BYTE> project = ReadBytes(path::Join(out, L"bizhi.vrnprj"));
    ASSERT_GE(project.size(), 2u);
    EXPECT_EQ(project[0], 0xFF);  // UTF-16 LE byte-order mark
    EXPECT_EQ(project[1], 0xFE);
}

TEST(InBufferStream, ReadsAndSeeksWithinItsBuffer) {
    const char kData[] = "0123456789";
    base::ComPtr<IInStream> stream;
    *stream.Put() = new config::CInBufferStream(kData, 10);
    struct Step {
        Int64 offset;
        UInt32 origin;
        UInt32 toRead;
        HRESULT seekResult;
        UInt64 position;
        const char* read;
    } const kSteps[] = {
        {0, STREAM_SEEK_SET, 4, S_OK, 0, "0123"},
        {2, STREAM_SEEK_CUR, 3, S_OK, 6, "678"},
        {-2, STREAM_SEEK_END, 5, S_OK, 8, "89"},  // a read past the end gives what is left
        {20, STREAM_SEEK_SET, 5, S_OK, 20, ""},   // seeking past the end is allowed, reads 0
    };
    for (const Step& step : kSteps) {
        UInt64 position = 99;
        EXPECT_EQ(stream->Seek(step.offset, step.origin, &position), step.seekResult);
        EXPECT_EQ(position, step.position);
        char buffer[16] = {};
        UInt32 read = 99;
        EXPECT_EQ(stream->Read(buffer, step.toRead, &read), S_OK);
        EXPECT_STREQ(buffer, step.read);
        EXPECT_EQ(read, strlen(step.read));
    }
    UInt64 position = 0;
    EXPECT_NE(stream->Seek(-11, STREAM_SEEK_END, &position), S_OK);
    EXPECT_NE(stream->Seek(0, 7, &position), S_OK);
    base::ComPtr<IStreamGetSize> sizer;
    ASSERT_EQ(stream->QueryInterface(IID_IStreamGetSize, sizer.PutVoid()), S_OK);
    UInt64 size = 0;
    EXPECT_EQ(sizer->GetSize(&size), S_OK);
    EXPECT_EQ(size, 10u);
    base::ComPtr<IOutStream> wrong;
    EXPECT_EQ(stream->QueryInterface(IID_IOutStream, wrong.PutVoid()), E_NOINTERFACE);
}

}  // namespace
