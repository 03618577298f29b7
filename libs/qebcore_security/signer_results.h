#pragma once
// Whether WinVerifyTrust found a file's embedded signature intact, decided
// from what the provider recorded about the file, its digest, its signature
// and its primary signer, never from the one code WinVerifyTrust returns.
//
// That code ranks every failure of the verification into one value, and how
// Windows ranks a countersigner's failures against the signer's own is
// documented nowhere. The product decides the signer's trust with its pinned
// root and the signing time with its own verification of the timestamp, so
// all it needs from the provider is: the file, digest and signature steps
// clean, and nothing wrong with the signer beyond what the machine's roots
// and clock decide.

#include <windows.h>

namespace qeb::security {

struct SignerResults {
    const DWORD* stepErrors = nullptr;  // CRYPT_PROVIDER_DATA::padwTrustStepErrors
    DWORD stepCount = 0;
    bool bSigner = false;         // a primary signer was found
    DWORD signerError = 0;        // its CRYPT_PROVIDER_SGNR::dwError
    DWORD signerChainStatus = 0;  // its chain's TrustStatus.dwErrorStatus; 0 without a chain
};

// True when every step but the certificate, countersigner and policy steps
// is clean, and the primary signer exists with no error and no chain status
// beyond an untrusted root, a partial chain and a certificate outside its
// validity. A countersigner's failure, wherever it is recorded, only means
// that Windows offers no signing time, which the product never takes.
bool SignatureIntact(const SignerResults& results) noexcept;

}  // namespace qeb::security
