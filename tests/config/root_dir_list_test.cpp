// The install-root list: loading, case-insensitive names, lookups and removal.
#include <gtest/gtest.h>

#include <cstring>

#include "config/root_dir_list.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using config_test::WriteUtf16File;
using test_support::TempFolder;

TEST(RootDirList, LaterSpellingOfANameWins) {
    TempFolder dir;
    std::wstring file = dir / L"roots.xml";
    ASSERT_TRUE(WriteUtf16File(file,
                               LR"(<?xml version="1.0" encoding="UTF-16"?>
<RootDirFiles>
  <Dir><Item Name="Utils"/><Item Name="log" optional="1"/></Dir>
  <File><Item Name="utils" optional="0x2"/><Item Name="Uninstall.exe"/><Item/></File>
</RootDirFiles>)"));
    CUninstallRootDirList list;
    ASSERT_TRUE(list.LoadFromFile(file.c_str()));
    // Key order (upper-cased): "", LOG, UNINSTALL.EXE, UTILS.
    struct Expected {
        const wchar_t* name;
        int isDirectory, optional;
    } const kExpected[] = {{L"", 0, 0}, {L"log", 1, 1}, {L"Uninstall.exe", 0, 0}, {L"utils", 0, 2}};
    ASSERT_EQ(list.GetCount(), 4);
    for (int i = 0; i < 4; ++i) {
        RootDirItem item;
        ASSERT_TRUE(list.GetItem(i, &item));
        EXPECT_STREQ(item.name, kExpected[i].name) << i;
        EXPECT_EQ(item.isDirectory, kExpected[i].isDirectory) << i;
        EXPECT_EQ(item.optional, kExpected[i].optional) << i;
    }
}

TEST(RootDirList, LooksUpAndRemovesWithoutRegardToCase) {
    TempFolder dir;
    std::wstring file = dir / L"roots.xml";
    ASSERT_TRUE(WriteUtf16File(file,
                               LR"(<RootDirFiles><Dir><Item Name="Utils"/></Dir>
<File><Item Name="Uninstall.exe"/></File></RootDirFiles>)"));
    CUninstallRootDirList list;
    ASSERT_TRUE(list.LoadFromFile(file.c_str()));
    EXPECT_TRUE(list.Contains(L"uninstall.exe"));
    EXPECT_TRUE(list.Contains(L"UTILS"));
    EXPECT_FALSE(list.Contains(L"Uninstall"));
    EXPECT_FALSE(list.Contains(nullptr));
    EXPECT_TRUE(list.Remove(L"absent.dll"));
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_TRUE(list.Remove(L"UNINSTALL.EXE"));
    EXPECT_FALSE(list.Contains(L"Uninstall.exe"));
    EXPECT_EQ(list.GetCount(), 1);
}

TEST(RootDirList, GetItemOutOfRangeLeavesTheRecordAlone) {
    TempFolder dir;
    std::wstring file = dir / L"roots.xml";
    ASSERT_TRUE(
        WriteUtf16File(file, L"<RootDirFiles><Dir><Item Name=\"a\"/></Dir></RootDirFiles>"));
    CUninstallRootDirList list;
    ASSERT_TRUE(list.LoadFromFile(file.c_str()));
    for (int index : {list.GetCount(), -1, 100}) {
        RootDirItem item;
        memset(&item, 0x5A, sizeof(item));
        RootDirItem before = item;
        EXPECT_FALSE(list.GetItem(index, &item));
        EXPECT_EQ(memcmp(&item, &before, sizeof(item)), 0) << index;
    }
    EXPECT_FALSE(list.GetItem(0, nullptr));
}

TEST(RootDirList, FailedLoadsKeepTheirReasons) {
    TempFolder dir;
    CUninstallRootDirList list;
    EXPECT_FALSE(list.LoadFromFile(nullptr));
    EXPECT_FALSE(list.LoadFromFile((dir / L"missing.xml").c_str()));
    std::wstring broken = dir / L"broken.xml";
    ASSERT_TRUE(WriteUtf16File(broken, L"<RootDirFiles><Dir>"));
    EXPECT_FALSE(list.LoadFromFile(broken.c_str()));
    EXPECT_FALSE(list.LoadFromResource(GetModuleHandleW(nullptr), 999, RT_RCDATA));
}

TEST(RootDirList, LoadsTheShippedListFromAResource) {
    CUninstallRootDirList list;
    ASSERT_TRUE(
        list.LoadFromResource(GetModuleHandleW(nullptr), config_test::kRootListId, RT_RCDATA));
    EXPECT_EQ(list.GetCount(), 14 + 37);
    int directories = 0;
    for (int i = 0; i < list.GetCount(); ++i) {
        RootDirItem item;
        ASSERT_TRUE(list.GetItem(i, &item));
        directories += item.isDirectory;
        EXPECT_EQ(item.optional, 0) << i;
    }
    EXPECT_EQ(directories, 14);
    for (const wchar_t* name :
         {L"uninstall.exe", L"UninstallTemp.exe", L"config.set", L"Pelmora.set", L"updatecfg.ini",
          L"bizhi_setup.log", L"kestiwp.exe", L"Utils", L"webui", L"wallpaperhelper"})
        EXPECT_TRUE(list.Contains(name)) << name;
}

}  // namespace
