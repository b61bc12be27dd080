#include <gtest/gtest.h>

#include "base/handle.h"
#include "base/path.h"
#include "base/reg_key.h"
#include "base/strings.h"
#include "engine/file_ops.h"
#include "engine_test_util.h"
#include "tests/support/temp_folder.h"

using engine_test::Exists;
using engine_test::TempFolder;

namespace {

// Holds a file open without delete sharing, as a running program holds its image.
base::UniqueHandle Lock(const std::wstring& path) {
    return base::UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
}

bool PendingDeletionNames(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size);
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    for (size_t at = 0; at < data.size();) {
        std::wstring entry = data.c_str() + at;
        if (base::EndsWithNoCase(entry, path))
            return true;
        at += entry.size() + 1;
    }
    return false;
}

int g_steps = 0;
void CountStep(void*) {
    ++g_steps;
}

}  // namespace

TEST(DeleteOrSchedule, DeletesMissingReadOnlyAndSchedulesLocked) {
    TempFolder folder;
    EXPECT_TRUE(engine::DeleteOrSchedule(path::Join(folder.Path(), L"missing.txt")));

    std::wstring readOnly = folder.File(L"ro.txt");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(engine::DeleteOrSchedule(readOnly));
    EXPECT_FALSE(Exists(readOnly));

    std::wstring locked = folder.File(L"locked.txt");
    engine_test::LogCapture log;
    {
        base::UniqueHandle hold = Lock(locked);
        EXPECT_FALSE(engine::DeleteOrSchedule(locked));
    }
    EXPECT_TRUE(Exists(locked));
    EXPECT_TRUE(PendingDeletionNames(locked));
    EXPECT_EQ(log.Count(L"delete " + locked + L" failed, error="), 1);
}

TEST(DeleteOrRecord, RecordsWhatSurvivesOncePerCall) {
    TempFolder folder;
    engine::Leftovers leftovers;
    std::wstring plain = folder.File(L"plain.txt");
    std::wstring tree = folder.Dir(L"tree\\deep");
    folder.File(L"tree\\deep\\f.txt");
    EXPECT_TRUE(engine::DeleteOrRecord(plain, leftovers));
    EXPECT_TRUE(engine::DeleteOrRecord(path::DirName(tree), leftovers));
    EXPECT_FALSE(Exists(plain));
    EXPECT_FALSE(Exists(path::DirName(tree)));
    EXPECT_TRUE(leftovers.empty());

    std::wstring locked = folder.File(L"locked.txt");
    base::UniqueHandle hold = Lock(locked);
    EXPECT_FALSE(engine::DeleteOrRecord(locked, leftovers));
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0], locked);
}

TEST(DeleteTree, CallsBackOncePerFileDeletedOrNotAndNeverForFolders) {
    TempFolder folder;
    std::wstring root = folder.Dir(L"root");
    folder.File(L"root\\a.txt");
    folder.File(L"root\\sub\\b.txt");
    folder.File(L"root\\sub\\deeper\\c.txt");
    folder.Dir(L"root\\empty");
    std::wstring locked = folder.File(L"root\\sub\\locked.txt");
    engine::Leftovers leftovers;
    g_steps = 0;
    {
        base::UniqueHandle hold = Lock(locked);
        EXPECT_TRUE(engine::DeleteTree(root, leftovers, &CountStep, nullptr));
    }
    EXPECT_EQ(g_steps, 4);
    EXPECT_TRUE(Exists(locked));
    EXPECT_FALSE(Exists(path::Join(root, L"a.txt")));
    EXPECT_FALSE(Exists(path::Join(root, L"sub\\deeper")));
    EXPECT_FALSE(Exists(path::Join(root, L"empty")));
    // The locked file, then the folders that could not go because of it.
    ASSERT_GE(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0], locked);

    EXPECT_FALSE(engine::DeleteTree(L"", leftovers));
    EXPECT_FALSE(engine::DeleteTree(path::Join(folder.Path(), std::wstring(260, L'a')), leftovers));
}

TEST(FolderRemoval, NeverReachesThroughAJunction) {
    TempFolder folder;
    std::wstring userFiles = folder.Dir(L"user");
    std::wstring precious = folder.File(L"user\\precious.txt");
    std::wstring product = folder.Dir(L"product");
    folder.File(L"product\\a.dll");
    if (!engine_test::MakeJunction(path::Join(product, L"link"), userFiles))
        GTEST_SKIP() << "this system cannot make junctions";

    struct Case {
        const char* name;
        bool (*remove)(const std::wstring&);
    } cases[] = {
        {"ShellDeleteFolder", &engine::ShellDeleteFolder},
        {"PurgeFolder", &engine::PurgeFolder},
        {"RemoveFolderRecursive", &engine::RemoveFolderRecursive},
        {"DeleteTree",
         [](const std::wstring& dir) {
             engine::Leftovers leftovers;
             return engine::DeleteTree(dir, leftovers);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        folder.File(L"product\\a.dll");
        if (!Exists(path::Join(product, L"link"))) {
            ASSERT_TRUE(engine_test::MakeJunction(path::Join(product, L"link"), userFiles));
        }
        c.remove(product);
        EXPECT_TRUE(Exists(precious));
        EXPECT_FALSE(Exists(path::Join(product, L"a.dll")));
        folder.Dir(L"product");
    }
}

TEST(PurgeByExtension, MatchesTheWholeExtensionWithoutRegardToCase) {
    TempFolder folder;
    std::wstring upper = folder.File(L"a.TMP");
    std::wstring nested = folder.File(L"sub\\b.tmp");
    std::wstring longer = folder.File(L"a.tmp.bak");
    std::wstring other = folder.File(L"c.tmpx");
    EXPECT_TRUE(engine::PurgeByExtension(folder.Path(), L".tmp"));
    EXPECT_FALSE(Exists(upper));
    EXPECT_FALSE(Exists(nested));
    EXPECT_TRUE(Exists(longer));
    EXPECT_TRUE(Exists(other));
    EXPECT_FALSE(engine::PurgeByExtension(folder.Path(), L""));
    EXPECT_FALSE(engine::PurgeByExtension(L"", L".tmp"));
}

TEST(ForceDelete, RemovesFilesAndEmptyFoldersOnly) {
    TempFolder folder;
    std::wstring readOnly = folder.File(L"ro.txt");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    std::wstring empty = folder.Dir(L"empty");
    std::wstring full = folder.Dir(L"full");
    folder.File(L"full\\f.txt");
    EXPECT_TRUE(engine::ForceDelete(readOnly));
    EXPECT_TRUE(engine::ForceDelete(path::Join(folder.Path(), L"missing")));
    EXPECT_TRUE(engine::ForceDelete(empty));
    EXPECT_FALSE(engine::ForceDelete(full));
    EXPECT_TRUE(Exists(path::Join(full, L"f.txt")));
}

TEST(RemoveFolderRecursive, RemovesReadOnlyContentAndRefusesShortOrMissingPaths) {
    TempFolder folder;
    std::wstring root = folder.Dir(L"copy");
    std::wstring file = folder.File(L"copy\\sub\\Uninstall.exe");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(engine::RemoveFolderRecursive(root));
    EXPECT_FALSE(Exists(root));
    EXPECT_FALSE(engine::RemoveFolderRecursive(root));
    EXPECT_FALSE(engine::RemoveFolderRecursive(L"C:\\"));
    EXPECT_FALSE(engine::RemoveFolderRecursive(L""));

    std::wstring busy = folder.Dir(L"busy");
    std::wstring held = folder.File(L"busy\\held.txt");
    base::UniqueHandle hold = Lock(held);
    EXPECT_FALSE(engine::RemoveFolderRecursive(busy));
}

TEST(MoveToTemp, MovesAFileOnTheWindowsDriveIntoTheTemporaryFolder) {
    TempFolder folder;
    std::wstring file = folder.File(L"moved.txt", "content");
    std::wstring moved;
    ASSERT_TRUE(engine::MoveToTemp(file, moved));
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(Exists(moved));
    EXPECT_TRUE(base::EqualsNoCase(path::DirName(moved), path::TempDir()));
    std::wstring name = path::FileName(moved);
    EXPECT_EQ(name.size(), 38u + 4u);  // "{GUID}.tmp"
    EXPECT_TRUE(base::EndsWithNoCase(name, L".tmp"));
    DeleteFileW(moved.c_str());

    EXPECT_FALSE(engine::MoveToTemp(path::Join(folder.Path(), L"missing"), moved));
    EXPECT_TRUE(moved.empty());
}

TEST(BatchLine, FormatsTheThreeCommandsForCmd) {
    using Command = engine::RunOnceBatch::Command;
    struct Case {
        Command command;
        std::wstring path;
        std::string line;
    } cases[] = {
        {Command::kDeleteFile, L"C:\\a b\\x.txt", "del /q \"C:\\a b\\x.txt\" \r\n"},
        {Command::kRemoveTree, L"C:\\Apps\\Wp", "rd /s /q \"C:\\Apps\\Wp\" \r\n"},
        {Command::kRemoveEmptyFolder, L"D:\\.temp", "rd /q \"D:\\.temp\" \r\n"},
        // cmd expands %...% even inside quotes.
        {Command::kDeleteFile, L"C:\\50%off\\%PATH%.txt",
         "del /q \"C:\\50%%off\\%%PATH%%.txt\" \r\n"},
        // A line break would start a command of its own.
        {Command::kDeleteFile, L"C:\\a\r\nrd /s /q C:\\x", ""},
        // No OEM code page holds this character, and a missing file has no short name.
        {Command::kDeleteFile, L"C:\\missing\\\U0001F600.txt", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(engine::BatchLine(c.command, c.path), c.line);
    }
}

TEST(BatchLine, NamesAFileTheCodePageCannotHoldByItsShortNameOrNotAtAll) {
    TempFolder folder;
    std::wstring file = folder.File(L"\U0001F600 emoji name.txt");
    std::string line = engine::BatchLine(engine::RunOnceBatch::Command::kDeleteFile, file);
    if (line.empty())
        return;  // no 8.3 name on this volume: left to the pending deletion
    for (char c : line)
        EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80 && c != '?') << line;
    std::string quoted = line.substr(line.find('"') + 1);
    std::wstring shortPath = base::FromAnsi(quoted.substr(0, quoted.find('"')));
    wchar_t longPath[MAX_PATH] = {};
    GetLongPathNameW(shortPath.c_str(), longPath, MAX_PATH);
    EXPECT_TRUE(base::EqualsNoCase(longPath, file));
}

TEST(WriteRunOnceBatch, LeavesPathsOutsideTheInstallFolderAlone) {
    TempFolder folder;
    std::wstring installDir = folder.Dir(L"install");
    std::wstring outside = folder.File(L"user\\notes.txt");
    std::wstring outsideFolder = folder.Dir(L"user\\photos");
    std::wstring sibling = folder.File(L"installOld\\x.exe");
    engine::Leftovers leftovers = {outside, outsideFolder, sibling};
    EXPECT_TRUE(engine::WriteRunOnceBatch(leftovers, installDir));
    EXPECT_TRUE(leftovers.empty());
    EXPECT_TRUE(Exists(outside));
    EXPECT_TRUE(Exists(outsideFolder));
    EXPECT_TRUE(Exists(sibling));
    EXPECT_FALSE(Exists(installDir));  // empty by now, so it went
}

TEST(WriteRunOnceBatch, MovesALockedFileAsideAndSchedulesIt) {
    TempFolder folder;
    std::wstring installDir = folder.Dir(L"install");
    // A running program's image can be renamed but not deleted: share delete, no delete access.
    std::wstring image = folder.File(L"install\\kestiwp.exe");
    base::UniqueHandle hold(CreateFileW(image.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    engine::Leftovers leftovers = {image};
    engine_test::LogCapture log;
    EXPECT_TRUE(engine::WriteRunOnceBatch(leftovers, installDir));
    EXPECT_FALSE(Exists(image));
    std::wstring text = log.Text();
    size_t cut = text.find(L"cut " + image + L" to ");
    ASSERT_NE(cut, std::wstring::npos) << base::ToUtf8(text);
    size_t start = cut + 4 + image.size() + 4;
    std::wstring moved = text.substr(start, text.find(L" success", start) - start);
    EXPECT_TRUE(PendingDeletionNames(moved)) << base::ToUtf8(moved);
    hold.Reset();
    DeleteFileW(moved.c_str());
}

TEST(WriteRunOnceBatch, SchedulesAMovedFolderWithEverythingInIt) {
    TempFolder folder;
    std::wstring installDir = folder.Dir(L"install");
    std::wstring config = folder.Dir(L"install\\Config");
    folder.File(L"install\\Config\\deep\\left.dat");
    engine::Leftovers leftovers = {config};
    engine_test::LogCapture log;
    EXPECT_TRUE(engine::WriteRunOnceBatch(leftovers, installDir));
    EXPECT_FALSE(Exists(config));
    std::wstring text = log.Text();
    size_t cut = text.find(L"cut " + config + L" to ");
    ASSERT_NE(cut, std::wstring::npos) << base::ToUtf8(text);
    size_t start = cut + 4 + config.size() + 4;
    std::wstring moved = text.substr(start, text.find(L" success", start) - start);
    // Children before their folder: the system deletes them in this order at the next start.
    for (const wchar_t* relative : {L"\\deep\\left.dat", L"\\deep", L""})
        EXPECT_TRUE(PendingDeletionNames(moved + relative)) << base::ToUtf8(moved + relative);
    test_support::RemoveTree(moved);
}

TEST(RunOnceBatch, CreatesItsFileOnTheFirstLineOnly) {
    using Command = engine::RunOnceBatch::Command;
    std::wstring path;
    {
        engine::RunOnceBatch batch;
        // A line that cannot be written creates nothing.
        EXPECT_FALSE(batch.AddLine(Command::kDeleteFile, L"C:\\a\nb"));
        EXPECT_FALSE(batch.IsCreated());
        ASSERT_TRUE(batch.AddLine(Command::kDeleteFile, L"C:\\Apps\\Wp\\a.dll"));
        ASSERT_TRUE(batch.AddLine(Command::kRemoveTree, L"C:\\Apps\\Wp\\Config"));
        path = batch.Path();
        EXPECT_TRUE(batch.AddLine(Command::kDeleteFile, path));
    }
    std::wstring name = path::FileName(path);
    EXPECT_TRUE(base::StartsWithNoCase(name, L"vrn")) << base::ToUtf8(name);
    EXPECT_TRUE(base::EndsWithNoCase(name, L".bat")) << base::ToUtf8(name);
    EXPECT_TRUE(base::EqualsNoCase(path::DirName(path), path::TempDir()));
    base::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    char text[1024] = {};
    DWORD read = 0;
    ReadFile(file.Get(), text, sizeof(text) - 1, &read, nullptr);
    file.Reset();
    std::string expected =
        "del /q \"C:\\Apps\\Wp\\a.dll\" \r\nrd /s /q \"C:\\Apps\\Wp\\Config\" \r\n" +
        engine::BatchLine(Command::kDeleteFile, path);
    EXPECT_EQ(std::string(text, read), expected);
    DeleteFileW(path.c_str());
}

TEST(WriteRunOnceBatch, NeverMovesOrSchedulesALinkOrAFolderHoldingOne) {
    TempFolder folder;
    std::wstring installDir = folder.Dir(L"install");
    std::wstring userFiles = folder.Dir(L"user");
    std::wstring precious = folder.File(L"user\\precious.txt");
    std::wstring link = path::Join(installDir, L"net");
    std::wstring holder = folder.Dir(L"install\\Config");
    if (!engine_test::MakeJunction(link, userFiles) ||
        !engine_test::MakeJunction(path::Join(holder, L"docs"), userFiles))
        GTEST_SKIP() << "this system cannot make junctions";
    engine::Leftovers leftovers = {link, holder};
    EXPECT_TRUE(engine::WriteRunOnceBatch(leftovers, installDir));
    EXPECT_TRUE(Exists(link));
    EXPECT_TRUE(Exists(holder));
    EXPECT_TRUE(Exists(precious));
    EXPECT_FALSE(PendingDeletionNames(link));
    EXPECT_FALSE(PendingDeletionNames(holder));
}
