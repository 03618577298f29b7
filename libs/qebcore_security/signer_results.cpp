#include "signer_results.h"

#include <softpub.h>
#include <wintrust.h>

namespace qeb::security {

namespace {

// Steps whose errors speak of trust in certificates (the signer's or a
// countersigner's) or of the final policy, which ranks those: the signer's
// part of them is read from its own record instead.
bool IsTrustStep(DWORD step) noexcept {
    switch (step) {
    case TRUSTERROR_STEP_MSG_COUNTERSIGINFO:
    case TRUSTERROR_STEP_MSG_COUNTERSIGCERT:
    case TRUSTERROR_STEP_FINAL_CERTPROV:
    case TRUSTERROR_STEP_FINAL_CERTCHKPROV:
    case TRUSTERROR_STEP_FINAL_POLICYPROV: return true;
    default: return false;
    }
}

// What the machine's roots and clock decide, and the countersigner's
// failures that Windows reports on the signer as well.
bool IsToleratedSignerError(DWORD error) noexcept {
    switch (static_cast<HRESULT>(error)) {
    case S_OK:
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case TRUST_E_TIME_STAMP:
    case TRUST_E_COUNTER_SIGNER: return true;
    default: return false;
    }
}

constexpr DWORD kToleratedChainStatus =
    CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_NOT_TIME_VALID;

}  // namespace

bool SignatureIntact(const SignerResults& results) noexcept {
    if (results.stepErrors == nullptr || !results.bSigner) return false;
    for (DWORD step = 0; step < results.stepCount; ++step) {
        if (results.stepErrors[step] != ERROR_SUCCESS && !IsTrustStep(step)) return false;
    }
    return IsToleratedSignerError(results.signerError) && (results.signerChainStatus & ~kToleratedChainStatus) == 0;
}

}  // namespace qeb::security
