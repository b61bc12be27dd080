// Authenticode checks of the files the uninstaller loads, runs or deletes.
#pragma once

// True when the file carries a valid Authenticode signature (an expired signing certificate
// counts as valid) whose signing certificate names one of the deployment's accepted publishers
// (deploy::kAcceptedPublishers, compared case-insensitively). A null path or a missing file
// gives false. On systems older than Vista every existing file passes.
bool VerifyFileSigner(const wchar_t* path);

// As VerifyFileSigner, but the signer must be `publisher` (case-insensitive) instead of any
// accepted publisher. A null publisher gives true without any check, even for a missing file.
bool VerifyFileSignedBy(const wchar_t* path, const wchar_t* publisher);
