// The uninstaller runs elevated and loads DLLs, starts programs and deletes files found in the
// product's install directory and in its own temporary copy. Both places can be written by
// other software, so a file planted there would run with administrator rights. Every such file
// must therefore carry a valid Authenticode signature by one of the publishers the deployment
// compiles in (deploy::kAcceptedPublishers), or by the one publisher a caller names
// (VerifyFileSignedBy; the names come from the setup project, which travels inside the signed
// executable). The compiled-in list is the only list: nothing read from the registry, the
// install directory or the server widens it. A check that cannot finish (missing file, no
// signature, an unreadable signer, a crash inside the trust provider) says no, never yes.
#include "trust/signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "base/path.h"
#include "base/strings.h"
#include "deploy/deployment_config.h"
#include "trust/signature_check.h"

namespace trust {
namespace {

// The signer's display name must fit in this many characters, terminator included; a longer
// name is not cut to fit, it fails the check, so that no prefix of a long name can match.
constexpr DWORD kSignerNameChars = 512;

// Everything one check needs, shared with the guarded calls. Plain data only: a structured
// exception abandons the guarded frames without running destructors.
struct CheckState {
    const wchar_t* path;
    const wchar_t* publisher;  // null: any accepted publisher
    WINTRUST_FILE_INFO file;
    WINTRUST_DATA data;
    GUID action;
    wchar_t signerName[kSignerNameChars];
};

void PrepareRequest(CheckState& state) {
    // One request for every check: no UI, no revocation checks and no network fetches (the
    // uninstaller runs on machines without network, and revocation lists would only add
    // failures on them), the file by path.
    state.action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    state.file = {};
    state.file.cbStruct = sizeof(state.file);
    state.file.pcwszFilePath = state.path;
    state.file.hFile = nullptr;
    state.file.pgKnownSubject = nullptr;
    state.data = {};
    state.data.cbStruct = sizeof(state.data);
    state.data.pPolicyCallbackData = nullptr;
    state.data.pSIPClientData = nullptr;
    state.data.dwUIChoice = WTD_UI_NONE;
    state.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    state.data.dwUnionChoice = WTD_CHOICE_FILE;
    state.data.pFile = &state.file;
    state.data.dwStateAction = WTD_STATEACTION_VERIFY;
    state.data.hWVTStateData = nullptr;
    state.data.pwszURLReference = nullptr;
    state.data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    state.data.dwUIContext = 0;
}

// The signing certificate's simple display name, or null when the verification state has no
// signer, no chain or no certificate, or the name does not fit.
const wchar_t* ReadSignerName(CheckState& state) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state.data.hWVTStateData);
    if (!provider)
        return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer)
        return nullptr;
    // The first element of the signer's chain is the certificate that signed the file.
    CRYPT_PROVIDER_CERT* chainElement = WTHelperGetProvCertFromChain(signer, 0);
    if (!chainElement || !chainElement->pCert)
        return nullptr;
    DWORD count = CertGetNameStringW(chainElement->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                     state.signerName, kSignerNameChars);
    if (count > kSignerNameChars - 1)
        return nullptr;
    return state.signerName;
}

bool VerifyAndDecide(void* context) {
    auto& state = *static_cast<CheckState*>(context);
    LONG result = WinVerifyTrust(nullptr, &state.action, &state.data);
    if (!IsTrustResultAccepted(result))
        return false;
    return DecideSignature(result, ReadSignerName(state), state.publisher);
}

bool CloseState(void* context) {
    auto& state = *static_cast<CheckState*>(context);
    state.data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &state.action, &state.data);
    state.data.hWVTStateData = nullptr;
    return true;
}

}  // namespace

bool IsTrustResultAccepted(LONG trustResult) {
    // An expired signing certificate is accepted on purpose: files the product installed years
    // ago were signed with certificates that have expired since, and the uninstaller must still
    // be able to call their clean-up entry points. Anything else (no signature, a digest that
    // does not match, an untrusted root, a revoked or malformed certificate) fails.
    return trustResult == ERROR_SUCCESS || trustResult == static_cast<LONG>(CERT_E_EXPIRED);
}

bool SignerNameMatches(const wchar_t* signerName, const wchar_t* publisher) {
    if (!signerName || !*signerName)
        return false;
    if (publisher)
        return base::EqualsNoCase(signerName, publisher);
    for (const wchar_t* accepted : deploy::kAcceptedPublishers) {
        if (base::EqualsNoCase(signerName, accepted))
            return true;
    }
    return false;
}

bool DecideSignature(LONG trustResult, const wchar_t* signerName, const wchar_t* publisher) {
    return IsTrustResultAccepted(trustResult) && SignerNameMatches(signerName, publisher);
}

DWORD OsMajorVersion() {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (rtlGetVersion && rtlGetVersion(&info) == 0)
            return info.dwMajorVersion;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (GetVersionExW(&info))
        return info.dwMajorVersion;
#pragma GCC diagnostic pop
    return 0;
}

bool CheckFileSignature(const wchar_t* path, const wchar_t* publisher, DWORD osMajorVersion) {
    if (!path || !path::FileExists(path))
        return false;
    // The trust providers of systems before Vista do not understand the SHA-256 signatures the
    // product's files carry, so a check there would refuse genuine files and leave the product
    // impossible to uninstall; those systems are let through without a check.
    if (osMajorVersion < 6)
        return true;

    CheckState state;
    state.path = path;
    state.publisher = publisher;
    PrepareRequest(state);
    bool answer = RunGuarded(&VerifyAndDecide, &state);
    // The verification state is released whatever the answer, also after a failed verification
    // (the provider may hold state then too) and after a fault; a fault while closing changes
    // nothing more than the answer.
    if (state.data.hWVTStateData && !RunGuarded(&CloseState, &state))
        answer = false;
    return answer;
}

}  // namespace trust

bool VerifyFileSigner(const wchar_t* path) {
    return trust::CheckFileSignature(path, nullptr, trust::OsMajorVersion());
}

bool VerifyFileSignedBy(const wchar_t* path, const wchar_t* publisher) {
    // No publisher named: the caller asks for no check at all.
    if (!publisher)
        return true;
    return trust::CheckFileSignature(path, publisher, trust::OsMajorVersion());
}
