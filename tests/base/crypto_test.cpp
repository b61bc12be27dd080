#include "base/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string Hex(const std::string& bytes) {
    return crypto::ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The published ECB vectors for Blowfish (key, plain text, cipher text), 8-byte keys.
TEST(BlowfishTest, PublishedEcbVectors) {
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    } const cases[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
        {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
        {"1111111111111111", "0123456789abcdef", "7d0cc630afda1ec7"},
        {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
        {"7ca110454a1a6e57", "01a1d6d039776742", "59c68245eb05282b"},
        {"0131d9619dc1376e", "5cd54ca83def57da", "b1b8cc0b250f09a0"},
    };
    for (const auto& c : cases) {
        std::string key = FromHex(c.key);
        std::string encrypted = crypto::BlowfishEncrypt(key, FromHex(c.plain));
        EXPECT_EQ(Hex(encrypted), c.cipher) << c.key;
        EXPECT_EQ(Hex(crypto::BlowfishDecrypt(key, encrypted)), c.plain) << c.key;
    }
}

// Values from an independent implementation (Python's cryptography package), through Base64:
// longer keys, several blocks and a zero-filled last block.
TEST(BlowfishTest, TextsWithZeroFilledLastBlock) {
    struct Case {
        const char* key;
        const char* plain;
        const char* base64;
    } const cases[] = {
        {"0123456789abcdef0123456789abcdef", "mwvqzem", "j/mUEDXfm30="},
        {"ffffffffffffffffffffffffffffffff", "mwvqzem", "vw1FFogBYGw="},
        {"key1", "hello world, twelve", "jVidqvoxSGWfFQi4dqlbckAtWJ4A3loh"},
        {"KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK", "abcdefgh", "OU9cKq786dg="},
    };
    for (const auto& c : cases) {
        std::string encrypted = crypto::BlowfishEncrypt(c.key, c.plain);
        EXPECT_EQ(encrypted.size() % 8, 0u);
        EXPECT_EQ(crypto::Base64Encode(encrypted), c.base64) << c.key;
        std::string decrypted = crypto::BlowfishDecrypt(c.key, encrypted);
        EXPECT_EQ(decrypted.size(), encrypted.size());  // the padding stays for the caller
        EXPECT_EQ(crypto::StripTrailingZeros(decrypted), c.plain);
    }
}

TEST(BlowfishTest, KeyBytesAreTakenCyclically) {
    // Only the first 72 key bytes reach the schedule, repeated as often as needed.
    EXPECT_EQ(crypto::BlowfishEncrypt("abcd", "12345678"),
              crypto::BlowfishEncrypt("abcdabcdabcd", "12345678"));
    std::string key72(72, 'x');
    EXPECT_EQ(crypto::BlowfishEncrypt(key72, "12345678"),
              crypto::BlowfishEncrypt(key72 + "other", "12345678"));
    EXPECT_NE(crypto::BlowfishEncrypt("abcd", "12345678"),
              crypto::BlowfishEncrypt("abce", "12345678"));
}

TEST(BlowfishTest, EmptyKeyOrDataGivesEmptyResult) {
    EXPECT_EQ(crypto::BlowfishEncrypt("", "data"), "");
    EXPECT_EQ(crypto::BlowfishDecrypt("", "12345678"), "");
    EXPECT_EQ(crypto::BlowfishEncrypt("key1", ""), "");
    // A trailing partial block cannot be decrypted and is dropped.
    std::string encrypted = crypto::BlowfishEncrypt("key1", "12345678");
    EXPECT_EQ(crypto::BlowfishDecrypt("key1", encrypted + "abc"), "12345678");
}

TEST(Base64Test, Rfc4648Vectors) {
    struct Case {
        const char* plain;
        const char* encoded;
    } const cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crypto::Base64Encode(c.plain), c.encoded);
        std::string decoded = "junk";
        EXPECT_TRUE(crypto::Base64Decode(c.encoded, decoded)) << c.encoded;
        EXPECT_EQ(decoded, c.plain);
    }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    std::string encoded = crypto::Base64Encode(bytes);
    EXPECT_NE(encoded.find('+'), std::string::npos);
    EXPECT_NE(encoded.find('/'), std::string::npos);
    std::string decoded;
    ASSERT_TRUE(crypto::Base64Decode(encoded, decoded));
    EXPECT_EQ(decoded, bytes);
}

TEST(Base64Test, MalformedTextIsRejected) {
    const char* const cases[] = {
        "Zg=",       // length not a multiple of 4
        "Zg==Zg==",  // padding before the end
        "Z===",      // three padding characters
        "Zm9v!A==",  // foreign character
        "Zm-v",      // URL-safe alphabet is not ours
        "Zm9v\n",    // line breaks are not accepted
        "=Zm9",      // padding first
    };
    for (const char* text : cases) {
        std::string out = "previous";
        EXPECT_FALSE(crypto::Base64Decode(text, out)) << text;
        EXPECT_EQ(out, "");
    }
}

// RFC 1321's test suite; the single finalization of the shared context is plain MD5.
TEST(Md5Test, Rfc1321Suite) {
    struct Case {
        const char* text;
        const char* digest;
    } const cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(crypto::Md5(c.text), c.digest) << c.text;
}

// Values from an independent Python implementation of the double finalization (checked there
// against hashlib for the single one). The lengths around 56 and 64 exercise both padding
// branches of the first finalization; 260 bytes hash like their first 259.
TEST(MidHashTest, DoubleFinalizationValues) {
    struct Case {
        std::string text;
        const char* digest;
    } const cases[] = {
        {"", "5d2735c78b4ad61d0f6b5933aef45e4f"},
        {"a", "a8740d3f66c9cb35724648b256b85083"},
        {"abc", "ab32b7d610b8276088dc6cdcfe9adbf3"},
        {"message digest", "36f8389570cb7ccdaafdb7c95941de27"},
        {std::string(55, 'x'), "8a79734609b11ca2ff0b023ddbe15e0e"},
        {std::string(56, 'x'), "aab2d6dddc9fd4def9a45aff08360860"},
        {std::string(64, 'x'), "b889f7d0548f98268299dce86f24b8cf"},
        {std::string(259, 'q'), "377378145e76dadb70f469f91e3bcad0"},
        {std::string(260, 'q'), "377378145e76dadb70f469f91e3bcad0"},
        {std::string(4000, 'q'), "377378145e76dadb70f469f91e3bcad0"},
        {"GenuineIntel:bfebfbffWD-WCC4N1234567001122AABBCC", "d99914becb20ff4fffb68eca4ff5576a"},
        {"Mid2Failed", "30908dae359c9665d70190674e7dc5a0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crypto::MidHash(c.text), c.digest) << c.text.size();
        EXPECT_NE(crypto::MidHash(c.text), crypto::Md5(c.text));
    }
}

// FIPS 180 examples.
TEST(Sha1Test, PublishedVectors) {
    struct Case {
        std::string text;
        const char* digest;
    } const cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(crypto::Sha1(c.text), c.digest) << c.text.size();
    auto bytes = crypto::Sha1Bytes("abc");
    EXPECT_EQ(bytes[0], 0xa9);
    EXPECT_EQ(bytes[19], 0x9d);
}

TEST(Crc8Test, MaximParameters) {
    EXPECT_EQ(crypto::Crc8("123456789"), 0xA1);  // the catalogue's check value
    EXPECT_EQ(crypto::Crc8(""), 0x00);           // initial value 0, no final XOR
    EXPECT_EQ(crypto::Crc8(std::string(1, '\x01')), 0x5E);
    EXPECT_EQ(crypto::Crc8(std::string(1, '\x80')), 0x8C);
}

}  // namespace
