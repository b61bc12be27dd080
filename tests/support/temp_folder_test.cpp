#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace std::string_literals;
using test_support::RemoveTree;
using test_support::TempFolder;

std::string ReadAll(const std::wstring& file) {
    base::UniqueHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    std::string data;
    char buffer[4096];
    DWORD read = 0;
    while (handle && ReadFile(handle.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        data.append(buffer, read);
    return data;
}

TEST(TempFolder, IsAFreshFolderUnderTheTemporaryFolder) {
    TempFolder one, two;
    EXPECT_TRUE(path::DirExists(one.Path()));
    EXPECT_NE(one.Path(), two.Path());
    EXPECT_EQ(path::DirName(one.Path()), path::TempDir());
}

TEST(TempFolder, NamesMakesAndWritesBelowItself) {
    TempFolder folder;
    std::wstring named = folder / L"a\\b.txt";
    EXPECT_EQ(named, folder.Path() + L"\\a\\b.txt");
    EXPECT_FALSE(path::Exists(named));
    EXPECT_FALSE(path::Exists(folder / L"a"));

    EXPECT_EQ(folder.Dir(L"x\\y\\z"), folder.Path() + L"\\x\\y\\z");
    EXPECT_TRUE(path::DirExists(folder / L"x\\y\\z"));

    std::string bytes("with\0nul", 8);
    std::wstring file = folder.File(L"p\\q\\data.bin", bytes);
    EXPECT_EQ(file, folder.Path() + L"\\p\\q\\data.bin");
    EXPECT_EQ(ReadAll(file), bytes);
    EXPECT_EQ(ReadAll(folder.File(L"default.txt")), "x");
    EXPECT_EQ(ReadAll(folder.File(L"default.txt", "")), "");  // replaced, not appended
}

TEST(TempFolder, GoesWithEverythingInItReadOnlyEntriesIncluded) {
    std::wstring kept;
    {
        TempFolder folder;
        kept = folder.Path();
        std::wstring file = folder.File(L"deep\\er\\ro.txt");
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        std::wstring dir = folder.Dir(L"deep\\ro-dir");
        folder.File(L"deep\\ro-dir\\inside.txt");
        SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(folder.File(L"hidden.txt").c_str(),
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    EXPECT_FALSE(path::Exists(kept));
}

TEST(RemoveTree, TakesAFileAFolderOrNothing) {
    TempFolder folder;
    std::wstring file = folder.File(L"ro.txt");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    std::wstring sibling = folder.File(L"sibling.txt");
    std::wstring tree = folder.Dir(L"tree\\sub");
    folder.File(L"tree\\sub\\f.txt");
    for (const std::wstring& target : {file, path::DirName(tree), folder / L"missing", L""s}) {
        SCOPED_TRACE(base::ToUtf8(target));
        RemoveTree(target);
        EXPECT_TRUE(target.empty() || !path::Exists(target));
    }
    EXPECT_TRUE(path::FileExists(sibling));
}

// A link goes as a link, alone or inside the tree removed; what it points at stays whole.
// Skipped where this system makes no directory link for an unprivileged process (or none at all).
TEST(RemoveTree, RemovesALinkWithoutEnteringIt) {
    TempFolder outside;
    std::wstring target = outside.Dir(L"letters");
    std::wstring precious = outside.File(L"letters\\letter.txt", "mine");
    for (bool wholeTree : {false, true}) {
        SCOPED_TRACE(wholeTree ? "the folder holding the link" : "the link itself");
        TempFolder holder;
        std::wstring link = holder / L"linked";
        constexpr DWORD kAllowUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
        CreateSymbolicLinkW(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | kAllowUnprivileged);
        DWORD attributes = GetFileAttributesW(link.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            GTEST_SKIP() << "no directory link can be made here";
        std::wstring removed = wholeTree ? holder.Path() : link;
        RemoveTree(removed);
        EXPECT_FALSE(path::Exists(removed));
        EXPECT_EQ(ReadAll(precious), "mine");
    }
}

}  // namespace
