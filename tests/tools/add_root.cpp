// Trusts a test root certificate on this machine:  add-root.exe <certificate.der>
//
// The certificate goes into the local machine's "Root" store, not the current user's: the
// machine store is what every process and every account on the machine trusts (services and
// the elevated uninstaller included), and adding to it needs administrator rights but shows no
// confirmation prompt, which the user store does on Windows. An existing copy is replaced, so
// running the tool twice is harmless. Exit code 0 on success, 1 on bad usage, 2 when the file
// cannot be read, 3 when the store cannot be opened, 4 when the certificate is refused.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "base/handle.h"

namespace {

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes) {
    base::UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > 1 << 20)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size();
}

class CertStore {
  public:
    explicit CertStore(HCERTSTORE store) : store_(store) {}
    ~CertStore() {
        if (store_)
            CertCloseStore(store_, 0);
    }
    CertStore(const CertStore&) = delete;
    CertStore& operator=(const CertStore&) = delete;
    HCERTSTORE Get() const { return store_; }

  private:
    HCERTSTORE store_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: add-root.exe <certificate.der>\n");
        return 1;
    }
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[1], der)) {
        fwprintf(stderr, L"add-root: cannot read %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    CertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    if (!store.Get()) {
        fwprintf(stderr, L"add-root: cannot open the machine's Root store (error %lu)\n",
                 GetLastError());
        return 3;
    }
    if (!CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        fwprintf(stderr, L"add-root: the certificate was refused (error 0x%08lX)\n",
                 GetLastError());
        return 4;
    }
    return 0;
}
