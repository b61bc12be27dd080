// The value rules of the setup project and the path checks of the extractors.
#include <gtest/gtest.h>

#include "base/path.h"
#include "config/seven_zip.h"
#include "config/xml_archive.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(ParseInt, FollowsTheProjectRule) {
    struct Case {
        const wchar_t* text;
        int fallback;
        int expected;
    } const kCases[] = {
        {L"", 7, 7},  // present but empty keeps the default
        {L"42", 7, 42},
        {L"  \t 42", 7, 42},  // leading blanks and tabs are skipped
        {L"0x9C4B", 0, 40011},
        {L"0X9c4b", 0, 40011},
        {L"  0x9C4B", 0, 40011},         // the length counts after the blanks
        {L"0x", 7, 0},                   // two characters: decimal, and not a number
        {L"0x1", 7, 1},                  // three characters: the shortest hexadecimal
        {L"0x7FFFFFFF", 0, 0x7FFFFFFF},  // ten characters: still hexadecimal
        {L"0x123456789", 7, 0},          // eleven characters: decimal, stops at the x
        {L"0x12345678 ", 7, 0},          // eleven with the trailing blank: decimal
        {L"0xZZ", 7, 0},                 // hexadecimal without digits
        {L"abc", 7, 0},                  // non-numeric text is 0, not the default
        {L"  ", 7, 0},                   // blanks are not empty text
        {L"-5", 0, -5},
        {L"12abc", 0, 12},
        {L"40011", 0, 40011},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(config::ParseInt(c.text, c.fallback), c.expected) << "text \"" << c.text << "\"";
}

TEST(RootKeyFromName, MapsTheFivePredefinedRootsIgnoringCase) {
    struct Case {
        const wchar_t* name;
        HKEY expected;
    } const kCases[] = {
        {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"hkey_current_user", HKEY_CURRENT_USER},
        {L"HKEY_USERS", HKEY_USERS},
        {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"Hkey_Current_Config", HKEY_CURRENT_CONFIG},
        {L"HKCU", HKEY_LOCAL_MACHINE},
        {L"", HKEY_LOCAL_MACHINE},
        {L"HKEY_CURRENT_USER ", HKEY_LOCAL_MACHINE},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(config::RootKeyFromName(c.name), c.expected) << "name \"" << c.name << "\"";
}

TEST(MessageFromName, ComparesExactly) {
    struct Case {
        const wchar_t* name;
        int expected;
    } const kCases[] = {
        {L"WM_CLOSE", 16}, {L"WM_QUIT", 18},    {L"WM_COMMAND", 273},
        {L"wm_close", 16}, {L"wm_command", 16}, {L"WM_Quit", 16},
        {L"", 16},         {L"WM_DESTROY", 16},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(config::MessageFromName(c.name), c.expected) << "name \"" << c.name << "\"";
}

TEST(IsSafeRelativePath, RefusesEveryWayOut) {
    struct Case {
        const wchar_t* path;
        bool safe;
    } const kCases[] = {
        {L"bizhi.vrnprj", true},
        {L"sub\\file.txt", true},
        {L"sub/file.txt", true},
        {L"a..b.txt", true},  // dots inside a name are fine
        {L".hidden", true},
        {L"", false},
        {L"..", false},
        {L"..\\x", false},
        {L"../x", false},
        {L"sub\\..\\..\\x", false},
        {L"sub\\..\\x", false},  // even when it would stay inside
        {L".\\x", false},
        {L"... \\x", false},  // trimmed by Windows to ".."
        {L"sub\\. .\\x", false},
        {L"\\x", false},  // rooted on the current drive
        {L"/x", false},
        {L"\\\\server\\share\\x", false},
        {L"\\\\?\\C:\\x", false},
        {L"C:\\x", false},
        {L"C:x", false},              // drive-relative
        {L"file.txt:stream", false},  // alternate data stream
        {L"CON", false},              // devices, in every folder on older Windows
        {L"sub\\nul.txt", false},
        {L"Com1", false},
        {L"LPT9.log", false},
        {L"aux .txt", false},
        {L"COM10", true},  // not a device
        {L"console.txt", true},
        {L"nullable.dll", true},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(config::IsSafeRelativePath(c.path), c.safe) << "path \"" << c.path << "\"";
}

TEST(JoinInside, KeepsResultsBelowTheDirectory) {
    test_support::TempFolder dir;
    EXPECT_EQ(config::JoinInside(dir.Path(), L"a\\b.txt"), dir / L"a\\b.txt");
    EXPECT_EQ(config::JoinInside(dir.Path() + L"\\", L"b.txt"), dir / L"b.txt");
    EXPECT_EQ(config::JoinInside(dir.Path(), L"..\\b.txt"), L"");
    EXPECT_EQ(config::JoinInside(dir.Path(), L"a\\..\\..\\b.txt"), L"");
    EXPECT_EQ(config::JoinInside(dir.Path(), L""), L"");  // the directory itself is no item
    // A sibling whose name starts with the directory's is outside.
    EXPECT_EQ(config::JoinInside(dir.Path(), L"..\\" + path::FileName(dir.Path()) + L"x\\b"), L"");
}

}  // namespace
