#include "sysinfo/silence_token.h"

#include <gtest/gtest.h>

#include "base/crypto.h"

namespace {

const std::wstring kMid = L"0123456789abcdef0123456789abcdef";
const std::wstring kOtherMid = L"ffffffffffffffffffffffffffffffff";

TEST(SilenceTokenTest, KnownTokens) {
    // Computed with Python's cryptography package (Blowfish ECB, zero-filled block, Base64).
    EXPECT_EQ(MakeSilenceToken(kMid), L"j/mUEDXfm30=");
    EXPECT_EQ(MakeSilenceToken(kOtherMid), L"vw1FFogBYGw=");
}

TEST(SilenceTokenTest, BoundToTheMachine) {
    std::wstring token = MakeSilenceToken(kMid);
    EXPECT_TRUE(CheckSilenceToken(token, kMid));
    EXPECT_FALSE(CheckSilenceToken(token, kOtherMid));
    EXPECT_FALSE(CheckSilenceToken(MakeSilenceToken(kOtherMid), kMid));
}

TEST(SilenceTokenTest, TextComparedWithoutCase) {
    std::string key = "0123456789abcdef0123456789abcdef";
    auto tokenOf = [&](std::string_view text) {
        std::string base64 = crypto::Base64Encode(crypto::BlowfishEncrypt(key, text));
        return std::wstring(base64.begin(), base64.end());
    };
    EXPECT_TRUE(CheckSilenceToken(tokenOf("MWVQZEM"), kMid));
    EXPECT_FALSE(CheckSilenceToken(tokenOf("mwvqzem!"), kMid));
    EXPECT_FALSE(CheckSilenceToken(tokenOf("mwvqze"), kMid));
    // A second block after the text is not padding: rejected.
    EXPECT_FALSE(CheckSilenceToken(tokenOf(std::string_view("mwvqzem\0x", 9)), kMid));
}

TEST(SilenceTokenTest, MalformedInputFails) {
    const wchar_t* const tokens[] = {L"",         L"j/mUEDXfm30", L"j/mUEDXfm30=junk",
                                     L"@@@@@@@@", L"j/mU",        L"\u4e2d\u6587\u4e2d\u6587"};
    for (const wchar_t* token : tokens)
        EXPECT_FALSE(CheckSilenceToken(token, kMid)) << token;
    EXPECT_EQ(MakeSilenceToken(L""), L"");
    EXPECT_FALSE(CheckSilenceToken(MakeSilenceToken(kMid), L""));
}

}  // namespace
