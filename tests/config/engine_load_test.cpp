// Loading the 7z engine: a missing or damaged DLL is refused, the real one is kept. This runs in
// its own executable because a loaded engine stays loaded for the life of the process.
#include <gtest/gtest.h>

#include <vector>

#include "base/path.h"
#include "config/seven_zip.h"
#include "tests/config/test_support.h"
#include "tests/support/temp_folder.h"

namespace {

using test_support::TempFolder;

TEST(LoadEngine, RefusesMissingAndDamagedDllsThenKeepsTheRealOne) {
    ASSERT_FALSE(config::IsEngineLoaded());
    std::wstring real = path::Join(path::ModuleDir(), L"7z.dll");
    std::vector<BYTE> bytes = config_test::ReadBytes(real);
    ASSERT_GT(bytes.size(), 4096u) << "7z.dll must lie beside the test";

    TempFolder dir;
    std::vector<BYTE> garbage(bytes.begin(), bytes.begin() + 2);  // "MZ" and nothing else
    garbage.resize(64 * 1024, 0xCC);
    std::vector<BYTE> headerless(bytes);
    std::fill(headerless.begin() + 0x40, headerless.begin() + 0x400, 0);  // PE header gone
    struct Case {
        const char* what;
        std::vector<BYTE> content;
        bool write;
    } const kCases[] = {
        {"missing", {}, false},
        {"empty", {}, true},
        {"cut in half", std::vector<BYTE>(bytes.begin(), bytes.begin() + bytes.size() / 2), true},
        {"garbage", garbage, true},
        {"no PE header", headerless, true},
    };
    int index = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        // A new folder each time: a name the loader has seen could be answered from its cache.
        std::wstring folder = dir / std::to_wstring(index++);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        std::wstring file = path::Join(folder, L"7z.dll");
        if (c.write) {
            ASSERT_TRUE(config_test::WriteBytes(file, c.content.data(), c.content.size()));
        }
        EXPECT_FALSE(config::LoadEngine(file));
        EXPECT_FALSE(config::IsEngineLoaded());
    }

    EXPECT_TRUE(config::LoadEngine(real));
    EXPECT_TRUE(config::IsEngineLoaded());
    // Once loaded, the engine is kept whatever a later caller names.
    EXPECT_TRUE(config::LoadEngine(dir / L"missing\\7z.dll"));
}

}  // namespace
