#include <gtest/gtest.h>

#include <windows.h>

#include <clocale>
#include <regex>
#include <string>

#include "app/log.h"
#include "base/handle.h"
#include "base/path.h"
#include "tests/support/temp_folder.h"

namespace {

using test_support::TempFolder;

std::string ReadAll(const std::wstring& file) {
    base::UniqueHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    std::string data;
    if (!handle)
        return data;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(handle.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        data.append(buffer, read);
    }
    return data;
}

// The file is written in text mode, so every "\n" of a line reaches the disk as "\r\n".
const char kStamp[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";

TEST(Log, FirstWriteStartsWithBannerThenTimestampedLines) {
    TempFolder dir;
    CSmartLogger logger;
    logger.SetPath(dir / L"test.log");
    logger.Log(L"first %d", 1);
    logger.Log(L"second already ends\n");
    std::string expected = std::string(R"(\r\r\n================== Start Log:)") + kStamp +
                           R"(==================\r\n)" + kStamp + R"(first 1\r\n)" + kStamp +
                           R"(second already ends\r\n)";
    EXPECT_TRUE(std::regex_match(ReadAll(dir / L"test.log"), std::regex(expected)))
        << ReadAll(dir / L"test.log");
}

TEST(Log, EachLoggerWritesItsOwnBannerToTheSameFile) {
    // Two processes (the two stages) append to one file one after the other.
    TempFolder dir;
    CSmartLogger firstStage, secondStage;
    firstStage.SetPath(dir / L"shared.log");
    secondStage.SetPath(dir / L"shared.log");
    firstStage.Log(L"one");
    secondStage.Log(L"two");
    firstStage.Log(L"three");
    std::string text = ReadAll(dir / L"shared.log");
    std::string pattern = std::string("Start Log:[^\\n]*\\n[^\\n]*one\\r\\n\\r\\r\\n") +
                          "=* Start Log:[^\\n]*\\n[^\\n]*two\\r\\n[^\\n]*three\\r\\n$";
    EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << text;
}

TEST(Log, MessageIsCutAt511CharactersAndPercentSignsStay) {
    TempFolder dir;
    CSmartLogger logger;
    logger.SetPath(dir / L"cut.log");
    std::wstring longText(600, L'x');
    logger.Log(L"%s", longText.c_str());
    logger.Log(L"%s", L"100%d %s %%");
    std::string text = ReadAll(dir / L"cut.log");
    EXPECT_NE(text.find(std::string(511, 'x') + "\r\n"), std::string::npos);
    EXPECT_EQ(text.find(std::string(512, 'x')), std::string::npos);
    EXPECT_NE(text.find(" 100%d %s %%\r\n"), std::string::npos);
}

TEST(Log, NarrowMessagesAreFormattedAndWidened) {
    TempFolder dir;
    CSmartLogger logger;
    logger.SetPath(dir / L"narrow.log");
    logger.LogA("%s=%d", "count", 5);
    logger.LogA("%s", std::string(600, 'y').c_str());
    std::string text = ReadAll(dir / L"narrow.log");
    EXPECT_NE(text.find(" count=5\r\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(511, 'y') + "\r\n"), std::string::npos);
    EXPECT_EQ(text.find(std::string(512, 'y')), std::string::npos);
}

TEST(Log, ChineseTextIsWrittenInTheChineseCodePage) {
    TempFolder dir;
    const wchar_t* previous = _wsetlocale(LC_ALL, nullptr);
    std::wstring saved = previous ? previous : L"C";
    ASSERT_NE(_wsetlocale(LC_ALL, L"chs"), nullptr);
    CSmartLogger logger;
    logger.SetPath(dir / L"gbk.log");
    logger.Log(L"卸载");
    _wsetlocale(LC_ALL, saved.c_str());
    EXPECT_NE(ReadAll(dir / L"gbk.log").find("\xD0\xB6\xD4\xD8\r\n"), std::string::npos);
}

TEST(Log, WithoutPathNothingIsWritten) {
    CSmartLogger logger;
    EXPECT_EQ(logger.Append(L"pending"), 1u);
    EXPECT_EQ(logger.Flush(), 0);
}

TEST(Log, MissingFolderIsCreated) {
    TempFolder dir;
    CSmartLogger logger;
    std::wstring file = path::Join(dir / L"a\\b", L"deep.log");
    logger.SetPath(file);
    logger.Log(L"made");
    EXPECT_NE(ReadAll(file).find("made"), std::string::npos);
}

TEST(Log, AppendFlushesPastOneHundredPendingLines) {
    TempFolder dir;
    CSmartLogger logger;
    logger.SetPath(dir / L"batch.log");
    for (int i = 0; i < 100; ++i)
        logger.Append(L"line");
    EXPECT_EQ(ReadAll(dir / L"batch.log"), "");
    EXPECT_EQ(logger.Append(L"line"), 101u);  // the 101st line triggers the write
    EXPECT_NE(ReadAll(dir / L"batch.log").find("line"), std::string::npos);
}

// A sparse file of the given size.
void MakeFileOfSize(const std::wstring& file, LONGLONG size) {
    base::UniqueHandle handle(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(handle.IsValid());
    DWORD returned = 0;
    DeviceIoControl(handle.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER position;
    position.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(handle.Get(), position, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(handle.Get()));
}

TEST(Log, FileOverOneGibibyteIsStartedAnew) {
    struct Case {
        LONGLONG size;
        bool kept;
    };
    for (Case row : {Case{0x40000000LL, true}, Case{0x40000001LL, false}}) {
        SCOPED_TRACE(row.size);
        TempFolder dir;
        std::wstring file = dir / L"big.log";
        MakeFileOfSize(file, row.size);
        CSmartLogger logger;
        logger.SetPath(file);
        EXPECT_EQ(path::FileExists(file), row.kept);
    }
}

}  // namespace
