// The pieces of the signature check, open to tests: the decisions taken on what the trust
// service answers, the check with the system version given, and the structured-exception guard.
#pragma once

#include <windows.h>

namespace trust {

// Whether the trust service's answer lets the check go on to the signer's name: success, or
// CERT_E_EXPIRED (a signing certificate that has merely expired is accepted).
bool IsTrustResultAccepted(LONG trustResult);

// Whether `signerName` matches: `publisher` when it is given, else any accepted publisher of
// the deployment. Case-insensitive; a null or empty signer name never matches.
bool SignerNameMatches(const wchar_t* signerName, const wchar_t* publisher);

// The whole decision once the trust service has answered: `signerName` is the signing
// certificate's display name, or null when the signer could not be read.
bool DecideSignature(LONG trustResult, const wchar_t* signerName, const wchar_t* publisher);

// The check both public functions share, with the system's major version given so that the
// pre-Vista answer can be tested anywhere. `publisher` null means any accepted publisher.
bool CheckFileSignature(const wchar_t* path, const wchar_t* publisher, DWORD osMajorVersion);

// The running system's major version, from RtlGetVersion (which ignores the compatibility
// shims that make GetVersionExW lie), or GetVersionExW where ntdll lacks it.
DWORD OsMajorVersion();

// Runs body(context) inside a structured-exception frame of its own and answers its result,
// or false when a structured exception (access violation, a raised error of a system module...)
// leaves body. Exceptions that the code inside body handles itself are not seen. body must not
// own objects with destructors across a fault: the frames between the fault and this call are
// abandoned, as with __except.
bool RunGuarded(bool (*body)(void* context), void* context);

}  // namespace trust
