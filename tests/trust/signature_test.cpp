#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/handle.h"
#include "base/path.h"
#include "base/strings.h"
#include "deploy/deployment_config.h"
#include "test_signers.h"
#include "trust/signature.h"
#include "trust/signature_check.h"

namespace {

// The decision on the trust service's answer, fed result codes. This is where the cases that
// Wine's trust provider never produces are covered: it accepts a signer whose root is not
// trusted and never reports an expired certificate, while Windows answers CERT_E_UNTRUSTEDROOT
// and CERT_E_EXPIRED for them.
TEST(DecideSignature, ResultCodesAndSignerNames) {
    const std::wstring upper = base::ToUpper(kTestSigner);
    const std::wstring lower = base::ToLower(kTestSigner);
    const std::wstring prefix = std::wstring(kTestSigner).substr(0, 8);
    const std::wstring padded = std::wstring(kTestSigner) + L" ";
    struct Case {
        const char* name;
        LONG result;
        const wchar_t* signer;
        const wchar_t* publisher;
        bool expected;
    };
    const Case cases[] = {
        {"valid, accepted English", ERROR_SUCCESS, kTestSigner, nullptr, true},
        {"valid, accepted Chinese", ERROR_SUCCESS, kTestSignerChinese, nullptr, true},
        {"valid, accepted in upper case", ERROR_SUCCESS, upper.c_str(), nullptr, true},
        {"expired, accepted", static_cast<LONG>(CERT_E_EXPIRED), kTestSigner, nullptr, true},
        {"untrusted root, accepted", static_cast<LONG>(CERT_E_UNTRUSTEDROOT), kTestSigner, nullptr,
         false},
        {"unsigned", static_cast<LONG>(TRUST_E_NOSIGNATURE), kTestSigner, nullptr, false},
        {"tampered", static_cast<LONG>(TRUST_E_BAD_DIGEST), kTestSigner, nullptr, false},
        {"revoked", static_cast<LONG>(CERT_E_REVOKED), kTestSigner, nullptr, false},
        {"broken chain", static_cast<LONG>(CERT_E_CHAINING), kTestSigner, nullptr, false},
        {"explicitly distrusted", static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), kTestSigner,
         nullptr, false},
        {"wrong usage", static_cast<LONG>(CERT_E_WRONG_USAGE), kTestSigner, nullptr, false},
        {"valid, unaccepted", ERROR_SUCCESS, kTestSignerUnaccepted, nullptr, false},
        {"valid, no signer read", ERROR_SUCCESS, nullptr, nullptr, false},
        {"valid, empty signer", ERROR_SUCCESS, L"", nullptr, false},
        {"valid, prefix of accepted", ERROR_SUCCESS, prefix.c_str(), nullptr, false},
        {"valid, accepted plus space", ERROR_SUCCESS, padded.c_str(), nullptr, false},
        // A named publisher replaces the accepted list.
        {"named, same", ERROR_SUCCESS, kTestSignerUnaccepted, kTestSignerUnaccepted, true},
        {"named, other case", ERROR_SUCCESS, kTestSigner, lower.c_str(), true},
        {"named, Chinese", ERROR_SUCCESS, kTestSignerChinese, kTestSignerChinese, true},
        {"named, accepted but other", ERROR_SUCCESS, kTestSigner, kTestSignerChinese, false},
        {"named, expired", static_cast<LONG>(CERT_E_EXPIRED), kTestSigner, kTestSigner, true},
        {"named, untrusted root", static_cast<LONG>(CERT_E_UNTRUSTEDROOT), kTestSigner, kTestSigner,
         false},
        {"named, no signer read", ERROR_SUCCESS, nullptr, kTestSigner, false},
        {"named empty, empty signer", ERROR_SUCCESS, L"", L"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(trust::DecideSignature(c.result, c.signer, c.publisher), c.expected) << c.name;
}

TEST(DecideSignature, EveryAcceptedPublisherPasses) {
    ASSERT_EQ(deploy::kAcceptedPublisherCount, 16);
    for (const wchar_t* publisher : deploy::kAcceptedPublishers) {
        EXPECT_TRUE(trust::DecideSignature(ERROR_SUCCESS, publisher, nullptr))
            << base::ToUtf8(publisher);
        EXPECT_TRUE(
            trust::DecideSignature(ERROR_SUCCESS, base::ToLower(publisher).c_str(), nullptr))
            << base::ToUtf8(publisher);
    }
}

// The probes of tests/tools, signed at build time, lie beside this executable.
std::wstring Probe(const wchar_t* signer) {
    return path::Join(path::ModuleDir(), std::wstring(L"probe-") + signer + L".exe");
}

// A copy of a file in the temporary directory, removed with the object.
class TempCopy {
  public:
    explicit TempCopy(const std::wstring& source)
        : path_(path::FreeTempName(path::TempDir()) + L".exe") {
        copied_ = CopyFileW(source.c_str(), path_.c_str(), TRUE) != FALSE;
    }
    ~TempCopy() { DeleteFileW(path_.c_str()); }
    TempCopy(const TempCopy&) = delete;
    TempCopy& operator=(const TempCopy&) = delete;

    bool copied() const { return copied_; }
    const std::wstring& path() const { return path_; }

    // Changes one byte inside the signed part of the file: halfway to the certificate table,
    // which the signature's digest covers.
    bool FlipSignedByte() {
        base::UniqueHandle file(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        if (!file)
            return false;
        std::vector<BYTE> bytes(GetFileSize(file.Get(), nullptr));
        DWORD done = 0;
        if (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr))
            return false;
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data());
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
        DWORD certificates =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress;
        if (certificates < 0x1000 || certificates > bytes.size())
            return false;
        DWORD offset = certificates / 2;
        bytes[offset] ^= 0x5A;
        return SetFilePointer(file.Get(), offset, nullptr, FILE_BEGIN) == offset &&
               WriteFile(file.Get(), &bytes[offset], 1, &done, nullptr) && done == 1;
    }

  private:
    std::wstring path_;
    bool copied_ = false;
};

class SignedFiles : public testing::Test {
  protected:
    void SetUp() override {
        for (const wchar_t* name :
             {L"accepted", L"chinese", L"unaccepted", L"expired", L"long_name", L"unsigned"}) {
            ASSERT_TRUE(path::FileExists(Probe(name))) << base::ToUtf8(Probe(name));
        }
    }
};

TEST_F(SignedFiles, VerifyFileSignerAcceptsOnlyAcceptedPublishers) {
    TempCopy tampered(Probe(L"accepted"));
    ASSERT_TRUE(tampered.copied());
    // The copy passes before the change, so what fails below is the one changed byte.
    EXPECT_TRUE(VerifyFileSigner(tampered.path().c_str()));
    ASSERT_TRUE(tampered.FlipSignedByte());
    const std::wstring missing = path::Join(path::ModuleDir(), L"probe-missing.exe");
    struct Case {
        const char* name;
        std::wstring path;
        bool expected;
    };
    const Case cases[] = {
        {"accepted English", Probe(L"accepted"), true},
        {"accepted Chinese", Probe(L"chinese"), true},
        // Windows reports CERT_E_EXPIRED here, which is accepted; Wine reports success.
        {"expired, accepted", Probe(L"expired"), true},
        {"unaccepted", Probe(L"unaccepted"), false},
        {"name longer than the buffer", Probe(L"long_name"), false},
        {"unsigned", Probe(L"unsigned"), false},
        {"tampered", tampered.path(), false},
        {"missing", missing, false},
        {"directory", path::ModuleDir(), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifyFileSigner(c.path.c_str()), c.expected) << c.name;
    EXPECT_FALSE(VerifyFileSigner(nullptr));
}

TEST_F(SignedFiles, VerifyFileSignedByComparesWithTheGivenName) {
    TempCopy tampered(Probe(L"chinese"));
    ASSERT_TRUE(tampered.copied());
    ASSERT_TRUE(tampered.FlipSignedByte());
    const std::wstring upper = base::ToUpper(kTestSigner);
    const std::wstring lower = base::ToLower(kTestSigner);
    const std::wstring missing = path::Join(path::ModuleDir(), L"probe-missing.exe");
    // The display name of the long_name test signer (scripts/make-test-pki.sh).
    const std::wstring longName = std::wstring(600, L'x') + L"@long-name.test";
    const std::wstring longPrefix = longName.substr(0, 511);
    struct Case {
        const char* name;
        std::wstring path;
        const wchar_t* publisher;
        bool expected;
    };
    const Case cases[] = {
        {"English, same", Probe(L"accepted"), kTestSigner, true},
        {"English, upper case", Probe(L"accepted"), upper.c_str(), true},
        {"English, lower case", Probe(L"accepted"), lower.c_str(), true},
        {"Chinese, same", Probe(L"chinese"), kTestSignerChinese, true},
        // The named publisher need not be on the accepted list.
        {"unaccepted, its own name", Probe(L"unaccepted"), kTestSignerUnaccepted, true},
        {"English, other name", Probe(L"accepted"), kTestSignerChinese, false},
        {"Chinese, other name", Probe(L"chinese"), kTestSigner, false},
        {"expired, same", Probe(L"expired"), kTestSigner, true},
        {"unsigned", Probe(L"unsigned"), kTestSigner, false},
        {"tampered", tampered.path(), kTestSignerChinese, false},
        {"missing", missing, kTestSigner, false},
        {"empty name", Probe(L"accepted"), L"", false},
        // A name that does not fit the 512-character buffer fails even against itself, and
        // the part that fits must not match either.
        {"long name, whole", Probe(L"long_name"), longName.c_str(), false},
        {"long name, first 511", Probe(L"long_name"), longPrefix.c_str(), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifyFileSignedBy(c.path.c_str(), c.publisher), c.expected) << c.name;
    EXPECT_FALSE(VerifyFileSignedBy(nullptr, kTestSigner));
}

TEST_F(SignedFiles, NullPublisherPassesWithoutAnyCheck) {
    const std::wstring missing = path::Join(path::ModuleDir(), L"probe-missing.exe");
    EXPECT_TRUE(VerifyFileSignedBy(missing.c_str(), nullptr));
    EXPECT_TRUE(VerifyFileSignedBy(Probe(L"unsigned").c_str(), nullptr));
    EXPECT_TRUE(VerifyFileSignedBy(nullptr, nullptr));
}

// The checks keep no state between calls, so checks on several threads at once must each get
// their own answer.
TEST_F(SignedFiles, ChecksOnManyThreadsAtOnceAgree) {
    const std::wstring accepted = Probe(L"accepted");
    const std::wstring chinese = Probe(L"chinese");
    const std::wstring unaccepted = Probe(L"unaccepted");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (!VerifyFileSigner(accepted.c_str()))
                    ++wrong;
                if (VerifyFileSigner(unaccepted.c_str()))
                    ++wrong;
                if (!VerifyFileSignedBy(chinese.c_str(), kTestSignerChinese))
                    ++wrong;
                if (VerifyFileSignedBy(chinese.c_str(), kTestSigner))
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SignedFiles, SystemsBeforeVistaPassEveryExistingFile) {
    const std::wstring missing = path::Join(path::ModuleDir(), L"probe-missing.exe");
    struct Case {
        const char* name;
        std::wstring path;
        const wchar_t* publisher;
        DWORD major;
        bool expected;
    };
    const Case cases[] = {
        {"XP, unsigned", Probe(L"unsigned"), nullptr, 5, true},
        {"XP, unaccepted", Probe(L"unaccepted"), nullptr, 5, true},
        {"XP, other name", Probe(L"accepted"), kTestSignerChinese, 5, true},
        {"XP, missing", missing, nullptr, 5, false},
        {"Vista, unsigned", Probe(L"unsigned"), nullptr, 6, false},
        {"Vista, accepted", Probe(L"accepted"), nullptr, 6, true},
        {"Windows 10, unaccepted", Probe(L"unaccepted"), nullptr, 10, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trust::CheckFileSignature(c.path.c_str(), c.publisher, c.major), c.expected)
            << c.name;
    }
}

// The signer certificate of a signed file, read from its embedded signature.
class EmbeddedSigner {
  public:
    explicit EmbeddedSigner(const std::wstring& file) {
        DWORD encoding = 0, content = 0, format = 0;
        if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(),
                              CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format,
                              &store_, &message_, nullptr)) {
            return;
        }
        DWORD size = 0;
        if (!CryptMsgGetParam(message_, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size))
            return;
        std::vector<BYTE> info(size);
        if (!CryptMsgGetParam(message_, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
            return;
        cert_ = CertFindCertificateInStore(store_, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                           CERT_FIND_SUBJECT_CERT, info.data(), nullptr);
    }
    ~EmbeddedSigner() {
        if (cert_)
            CertFreeCertificateContext(cert_);
        if (message_)
            CryptMsgClose(message_);
        if (store_)
            CertCloseStore(store_, 0);
    }
    EmbeddedSigner(const EmbeddedSigner&) = delete;
    EmbeddedSigner& operator=(const EmbeddedSigner&) = delete;

    PCCERT_CONTEXT cert() const { return cert_; }
    HCERTSTORE store() const { return store_; }

  private:
    HCERTSTORE store_ = nullptr;
    HCRYPTMSG message_ = nullptr;
    PCCERT_CONTEXT cert_ = nullptr;
};

// The test machine must trust the build's test root (tests/wine/make-prefix.sh runs
// add-root.exe; on Windows run it once as administrator), or Windows refuses every probe with
// CERT_E_UNTRUSTEDROOT. Wine's trust provider would not notice a missing root, its chain engine
// does: this keeps the harness honest.
TEST_F(SignedFiles, ProbeSignerChainsToATrustedRoot) {
    EmbeddedSigner signer(Probe(L"accepted"));
    ASSERT_NE(signer.cert(), nullptr);
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, signer.cert(), nullptr, signer.store(), &para, 0,
                                        nullptr, &chain));
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    EXPECT_EQ(errors & CERT_TRUST_IS_UNTRUSTED_ROOT, 0u)
        << "the test root is not trusted: run add-root.exe with the build's pki\\root.der";
    EXPECT_EQ(errors & CERT_TRUST_IS_PARTIAL_CHAIN, 0u);
}

TEST(OsMajorVersion, IsAtLeastTheOldestSupportedSystem) {
    // The program runs on Windows 7 and later (Wine reports 6.1 by default).
    EXPECT_GE(trust::OsMajorVersion(), 6u);
}

}  // namespace
