// The verdict on WinVerifyTrust's provider data, over every shape that
// Windows is documented or reported to produce (docs/wine-notes.md gives each
// row's source; Wine produces only the ones marked so).
#include <gtest/gtest.h>

#include <vector>

#include "signer_results.h"  // first: it brings <windows.h>

#include <softpub.h>
#include <wintrust.h>

namespace {

constexpr DWORD kCert = TRUSTERROR_STEP_FINAL_CERTPROV, kPolicy = TRUSTERROR_STEP_FINAL_POLICYPROV,
                kObject = TRUSTERROR_STEP_FINAL_OBJPROV, kSignature = TRUSTERROR_STEP_FINAL_SIGPROV,
                kCounterCert = TRUSTERROR_STEP_MSG_COUNTERSIGCERT, kNone = TRUSTERROR_MAX_STEPS;
constexpr DWORD kUntrustedRoot = CERT_TRUST_IS_UNTRUSTED_ROOT, kPartial = CERT_TRUST_IS_PARTIAL_CHAIN,
                kTime = CERT_TRUST_IS_NOT_TIME_VALID;

DWORD Code(HRESULT result) { return static_cast<DWORD>(result); }

TEST(SignerResults, DecidedFromTheSignersOwnRecords) {
    const struct {
        const char* shape;
        DWORD step;  // the one step with an error, kNone for none
        DWORD stepError;
        bool bSigner;
        DWORD signerError, chainStatus;
        bool bIntact;
    } rows[] = {
        {"chained to a root the machine trusts", kNone, 0, true, 0, 0, true},
        {"Wine: the product's root in no store", kNone, 0, true, 0, kPartial, true},
        {"Wine: the root shipped in the signature", kNone, 0, true, 0, kUntrustedRoot, true},
        {"Wine: expired signer", kNone, 0, true, 0, kPartial | kTime, true},
        {"untrusted root, timestamp accepted", kPolicy, Code(CERT_E_UNTRUSTEDROOT), true, Code(CERT_E_UNTRUSTEDROOT),
         kUntrustedRoot, true},
        {"intermediate missing", kPolicy, Code(CERT_E_CHAINING), true, Code(CERT_E_CHAINING), kPartial, true},
        {"authority's chain fails on the machine", kPolicy, Code(TRUST_E_TIME_STAMP), true, 0, 0, true},
        {"both roots unknown", kPolicy, Code(TRUST_E_TIME_STAMP), true, Code(CERT_E_UNTRUSTEDROOT), kUntrustedRoot,
         true},
        {"expired signer, timestamp the machine cannot verify", kPolicy, Code(CERT_E_EXPIRED), true,
         Code(CERT_E_EXPIRED), kTime | kUntrustedRoot, true},
        {"expired signer, the stamp's failure ranked first", kPolicy, Code(TRUST_E_TIME_STAMP), true,
         Code(TRUST_E_TIME_STAMP), kTime, true},
        {"authority in the Disallowed store", kPolicy, Code(TRUST_E_EXPLICIT_DISTRUST), true,
         Code(TRUST_E_COUNTER_SIGNER), 0, true},
        {"authority's certificate unreadable", kCounterCert, Code(TRUST_E_COUNTER_SIGNER), true, 0, 0, true},
        {"the call's parameters refused", TRUSTERROR_STEP_WVTPARAMS, Code(E_INVALIDARG), true, 0, 0, false},
        {"Wine: unsigned", kObject, Code(TRUST_E_NOSIGNATURE), false, 0, 0, false},
        {"digest mismatch", kObject, Code(TRUST_E_BAD_DIGEST), true, 0, 0, false},
        {"digest mismatch found with the signature", kSignature, Code(TRUST_E_BAD_DIGEST), true, 0, 0, false},
        {"signer's signature broken", kSignature, Code(NTE_BAD_SIGNATURE), true, 0, 0, false},
        {"no signer certificate", kCert, Code(TRUST_E_NO_SIGNER_CERT), true, Code(TRUST_E_NO_SIGNER_CERT), 0, false},
        {"signer in the Disallowed store", kPolicy, Code(TRUST_E_EXPLICIT_DISTRUST), true,
         Code(TRUST_E_EXPLICIT_DISTRUST), CERT_TRUST_IS_EXPLICIT_DISTRUST, false},
        {"signer's chain distrusted, ranked as the stamp's", kPolicy, Code(TRUST_E_TIME_STAMP), true, 0,
         kUntrustedRoot | CERT_TRUST_IS_EXPLICIT_DISTRUST, false},
        {"signer revoked", kPolicy, Code(CERT_E_REVOKED), true, Code(CERT_E_REVOKED), CERT_TRUST_IS_REVOKED, false},
        {"signer revoked, its chain silent", kPolicy, Code(CERT_E_REVOKED), true, Code(CERT_E_REVOKED), 0, false},
        {"wrong usage", kPolicy, Code(CERT_E_WRONG_USAGE), true, Code(CERT_E_WRONG_USAGE),
         CERT_TRUST_IS_NOT_VALID_FOR_USAGE, false},
        {"a certificate's signature in the chain broken", kPolicy, Code(TRUST_E_CERT_SIGNATURE), true,
         Code(TRUST_E_CERT_SIGNATURE), CERT_TRUST_IS_NOT_SIGNATURE_VALID, false},
    };
    for (const auto& row : rows) {
        std::vector<DWORD> steps(TRUSTERROR_MAX_STEPS, 0);
        if (row.step != kNone) steps[row.step] = row.stepError;
        qeb::security::SignerResults results;
        results.stepErrors = steps.data();
        results.stepCount = static_cast<DWORD>(steps.size());
        results.bSigner = row.bSigner;
        results.signerError = row.signerError;
        results.signerChainStatus = row.chainStatus;
        EXPECT_EQ(row.bIntact, qeb::security::SignatureIntact(results)) << row.shape;
    }
    EXPECT_FALSE(qeb::security::SignatureIntact({nullptr, 0, true, 0, 0})) << "no provider data";
}

}  // namespace
