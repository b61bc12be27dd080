#include "sysinfo/silence_token.h"

#include "base/crypto.h"
#include "base/strings.h"

namespace {
constexpr char kSilenceText[] = "mwvqzem";
}  // namespace

std::wstring MakeSilenceToken(const std::wstring& mid) {
    if (mid.empty())
        return L"";
    return base::FromUtf8(
        crypto::Base64Encode(crypto::BlowfishEncrypt(base::ToUtf8(mid), kSilenceText)));
}

// The token travels on the command line of a process started elevated; anyone can write one.
// It is accepted only when it decrypts, under this machine's identifier, to the fixed text:
// that ties a silent run to a first stage on the same machine (which itself only starts from
// a signed parent), so a copied command line from elsewhere does not unlock silent mode.
bool CheckSilenceToken(const std::wstring& token, const std::wstring& mid) {
    if (token.empty() || mid.empty())
        return false;
    std::string cipher;
    if (!crypto::Base64Decode(base::ToUtf8(token), cipher) || cipher.empty())
        return false;
    std::string plain =
        crypto::StripTrailingZeros(crypto::BlowfishDecrypt(base::ToUtf8(mid), cipher));
    return base::EqualsNoCase(base::FromUtf8(plain), base::FromUtf8(kSilenceText));
}
