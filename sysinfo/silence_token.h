// The token that lets a silent second stage prove it was started by the first stage on the
// same machine: Blowfish (ECB, zero-filled block) of "mwvqzem" under the machine's `mid`,
// then Base64.
#pragma once

#include <string>

// Empty when `mid` is empty: a token without a machine key would prove nothing.
std::wstring MakeSilenceToken(const std::wstring& mid);
// Decodes `token` with `mid` and compares the text with "mwvqzem", ignoring case. False for an
// empty token or mid, malformed Base64, or any other text.
bool CheckSilenceToken(const std::wstring& token, const std::wstring& mid);
