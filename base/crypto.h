// The few ciphers and digests the program shares with the maker's other tools and servers:
// Blowfish (ECB, zero-filled last block) with Base64 for tokens and reports, the machine-id
// digest (an MD5 variant), MD5, SHA-1 and CRC-8. All work on bytes; text goes in as UTF-8 or
// ANSI bytes as the caller decides.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace crypto {

// Blowfish with the standard initial tables (the hexadecimal digits of pi), the standard key
// schedule with the key bytes taken cyclically, 16 rounds, block halves read big-endian, ECB.
// Encrypt fills the last block with zero bytes up to a multiple of 8. An empty key gives an
// empty result (there is no defined schedule for it).
std::string BlowfishEncrypt(std::string_view key, std::string_view data);
// Decrypts whole blocks; a trailing partial block is ignored. The zero padding stays: callers
// strip it (StripTrailingZeros). An empty key gives an empty result.
std::string BlowfishDecrypt(std::string_view key, std::string_view data);
// Removes trailing zero bytes, the padding BlowfishEncrypt added.
std::string StripTrailingZeros(std::string_view data);

// Standard alphabet with "=" padding, no line breaks.
std::string Base64Encode(std::string_view data);
// Strict: standard alphabet only, length a multiple of 4, "=" only at the end. Leaves `out`
// empty and answers false on anything else.
bool Base64Decode(std::string_view text, std::string& out);

// Lower-case hexadecimal text of bytes.
std::string ToHex(const uint8_t* bytes, size_t count);

// The digest behind the machine identifier: MD5 over at most the first 259 bytes of the text,
// finalized twice on the same context (the second finalization pads the state the first one
// left). 32 lower-case hex characters. Values stored by other programs depend on exactly this.
std::string MidHash(std::string_view text);

// RFC 1321 MD5 as 32 lower-case hex characters.
std::string Md5(std::string_view data);

// FIPS 180 SHA-1: the raw 20 bytes and the 40 lower-case hex characters.
std::array<uint8_t, 20> Sha1Bytes(std::string_view data);
std::string Sha1(std::string_view data);

// CRC-8 with the reflected polynomial 0x31 (0x8C), initial value 0, no final XOR
// (the CRC-8/MAXIM parameters).
uint8_t Crc8(std::string_view data);

}  // namespace crypto
