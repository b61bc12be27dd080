#include <gtest/gtest.h>

#include "app/command_parser.h"

namespace {

struct OptionCase {
    const wchar_t* commandLine;
    const wchar_t* key;
    bool present;
    const wchar_t* value;
};

// One row per rule of the option syntax.
const OptionCase kOptionCases[] = {
    {L"/S", L"/S", true, L""},
    {L"/s", L"/S", true, L""},
    {L"  /S  ", L"/s", true, L""},
    {L"/Chk=abc", L"/CHK", true, L"abc"},
    // The splitter reads the first argument by program-name rules, so these come second.
    {L"/first /CHK=\"quoted value\"", L"/CHK", true, L"quoted value"},
    {L"/first /CHK=\\\"", L"/CHK", true, L""},         // a lone double quote becomes empty
    {L"/CHK==x", L"/CHK", true, L"=x"},                // only the first "=" splits
    {L"=x", L"", true, L"x"},                          // empty key, stored and never read
    {L"/CHK=one /CHK=two", L"/CHK", true, L"two"},     // the last occurrence wins
    {L"/first \"/K = kept \"", L"/K", true, L"kept"},  // blanks around key and value are trimmed
    {L"/unknown /READYUNINSTALL", L"/READYUNINSTALL", true, L""},
    {L"/unknown /READYUNINSTALL", L"/UNKNOWN", true, L""},
    {L"/S", L"/K", false, L"untouched"},
    {L"", L"/S", false, L"untouched"},
};

TEST(CommandParser, OptionTable) {
    for (const OptionCase& row : kOptionCases) {
        SCOPED_TRACE(testing::Message()
                     << "command line [" << row.commandLine << "] key [" << row.key << "]");
        CCommandParser parser;
        EXPECT_EQ(parser.Parse(row.commandLine), 1);
        EXPECT_EQ(parser.HasOption(row.key), row.present);
        std::wstring value = L"untouched";
        EXPECT_EQ(parser.GetOption(row.key, value), row.present);
        EXPECT_EQ(value, row.value);
    }
}

TEST(CommandParser, SilentIsTheSOption) {
    CCommandParser parser;
    parser.Parse(L"/foo /s");
    EXPECT_TRUE(parser.IsSilent());
    parser.Parse(L"/foo /silent");
    EXPECT_FALSE(parser.IsSilent());
}

TEST(CommandParser, ParseReplacesEarlierOptions) {
    CCommandParser parser;
    parser.Parse(L"/S /K");
    parser.Parse(L"/READYUNINSTALL");
    EXPECT_FALSE(parser.HasOption(L"/S"));
    EXPECT_FALSE(parser.HasOption(L"/K"));
    EXPECT_TRUE(parser.HasOption(L"/READYUNINSTALL"));
    EXPECT_EQ(parser.CommandLine(), L"/READYUNINSTALL");
}

TEST(CommandParser, SingletonIsOneObject) {
    EXPECT_EQ(&CommandLine(), &CommandLine());
}

}  // namespace
