// Copying the resource to a file, and the cabinet extraction path.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/path.h"
#include "config/resource_unpack.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using config_test::ReadBytes;
using test_support::TempFolder;

std::vector<BYTE> Pattern(size_t size) {
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>(i * 13 + 5);
    return bytes;
}

TEST(ResourceUnpack, WritesWholeChunksAndTheRemainder) {
    struct Case {
        size_t size;
        int chunks;
    } const kCases[] = {{0, 0}, {1, 1}, {4095, 1}, {4096, 1}, {4097, 2}, {8192, 2}, {8193, 3}};
    TempFolder dir;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.size);
        std::vector<BYTE> data = Pattern(c.size);
        CResourceUnpack unpack;
        unpack.InitFromMemory(data.data(), static_cast<int>(data.size()));
        std::wstring file = dir / L"copy.bin";
        // An older, longer file of the same name is replaced, not overwritten in place.
        std::vector<BYTE> old(9000, 0xEE);
        ASSERT_TRUE(config_test::WriteBytes(file, old.data(), old.size()));
        int chunks = -1;
        ASSERT_TRUE(unpack.WriteTo(file, &chunks));
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(ReadBytes(file), data);
    }
}

TEST(ResourceUnpack, CopiesResourcesOfExactChunkSizes) {
    struct Case {
        int id;
        int size;
        int chunks;
    } const kCases[] = {{config_test::kBlob4096Id, 4096, 1}, {config_test::kBlob4097Id, 4097, 2}};
    TempFolder dir;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.size);
        CResourceUnpack unpack;
        ASSERT_TRUE(unpack.Init(GetModuleHandleW(nullptr), c.id, RT_RCDATA));
        EXPECT_EQ(unpack.Size(), c.size);
        std::wstring file = dir / L"blob.bin";
        int chunks = 0;
        ASSERT_TRUE(unpack.WriteTo(file, &chunks));
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(ReadBytes(file), config_test::ResourceBytes(c.id, RT_RCDATA));
        unpack.Reset();
        EXPECT_EQ(unpack.Data(), nullptr);
        EXPECT_EQ(unpack.Size(), 0);
    }
}

TEST(ResourceUnpack, FailsWithoutAResourceOrAWritableFile) {
    CResourceUnpack unpack;
    EXPECT_FALSE(unpack.Init(GetModuleHandleW(nullptr), 998, RT_RCDATA));
    std::wstring directory = L"unchanged";
    EXPECT_FALSE(unpack.ExtractTo(directory, true));
    EXPECT_TRUE(directory.empty());

    TempFolder dir;
    std::vector<BYTE> data = Pattern(10);
    unpack.InitFromMemory(data.data(), 10);
    EXPECT_FALSE(unpack.WriteTo(dir / L"no\\such\\folder\\x.bin"));
    // A directory of that name cannot be replaced by a file.
    std::wstring busy = dir / L"busy";
    ASSERT_TRUE(CreateDirectoryW(busy.c_str(), nullptr));
    EXPECT_FALSE(unpack.WriteTo(busy));
}

TEST(CabinetExtraction, WritesOnlyEntriesThatStayInside) {
    std::vector<BYTE> cab = config_test::ResourceBytes(config_test::kHostileCabinetId, RT_RCDATA);
    ASSERT_FALSE(cab.empty());
    CResourceUnpack unpack;
    unpack.InitFromMemory(cab.data(), static_cast<int>(cab.size()));
    std::wstring out;
    ASSERT_TRUE(unpack.ExtractTo(out, false));
    ASSERT_FALSE(out.empty());
    std::wstring parent = path::DirName(out);
    std::vector<std::wstring> top = config_test::ListDir(out);
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::wstring>{L"good.txt", L"sub"}));
    EXPECT_EQ(config_test::ListDir(path::Join(out, L"sub")),
              std::vector<std::wstring>{L"inner.txt"});
    std::vector<BYTE> good = ReadBytes(path::Join(out, L"good.txt"));
    EXPECT_EQ(std::string(good.begin(), good.end()), "good cabinet entry\r\n");
    EXPECT_FALSE(path::Exists(path::Join(parent, L"cab_escape.txt")));
    EXPECT_FALSE(path::Exists(L"C:\\cab_escape_drive.txt"));
    test_support::RemoveTree(out);
}

TEST(CabinetExtraction, FailsOnADamagedCabinet) {
    std::vector<BYTE> cab = config_test::ResourceBytes(config_test::kHostileCabinetId, RT_RCDATA);
    ASSERT_GT(cab.size(), 40u);
    cab.resize(40);  // the header promises entries that are not there
    TempFolder dir;
    std::wstring file = dir / L"cut.cab";
    ASSERT_TRUE(config_test::WriteBytes(file, cab.data(), cab.size()));
    EXPECT_FALSE(config::ExtractCabinet(file, dir / L"out"));
    EXPECT_FALSE(path::Exists(dir / L"out\\good.txt"));
}

}  // namespace
