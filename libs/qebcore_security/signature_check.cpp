#include "signature_check.h"

#include "evaluation_record.h"
#include "pinned_chain.h"
#include "publisher_name.h"
#include "signing_time.h"
#include "trust_state.h"

namespace qeb::security {

namespace {

// Held without write sharing while the file is evaluated, so that the
// identity read from it is the identity of what was evaluated, and read
// through this handle alone. Null when the file cannot be held.
UniqueHandle HoldFile(const wchar_t* path) noexcept {
    const HANDLE hFile =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // The handle is owned by what is returned, or there was none.
    // cppcheck-suppress resourceLeak
    return UniqueHandle(hFile != INVALID_HANDLE_VALUE ? hFile : nullptr);
}

// `signedAt`: the verified signing time, or null to judge now.
bool SignerPasses(PCCERT_CONTEXT signer, const PinnedIdentity& identity, PublisherRule publisherRule,
                  const FILETIME* signedAt) noexcept {
    if (!ChainsToPinnedRoot(signer, identity, signedAt)) return false;
    return publisherRule == PublisherRule::Any || NamesPublisher(signer, identity);
}

}  // namespace

bool CheckFileSignature(const wchar_t* path, HANDLE hHeldFile, const PinnedIdentity& identity,
                        PublisherRule publisherRule, const SignatureEvaluation* earlier,
                        SignatureEvaluation* evaluation) noexcept {
    if (path == nullptr) return false;
    const UniqueHandle hOwnHold = hHeldFile == nullptr ? HoldFile(path) : UniqueHandle();
    const HANDLE hFile = hHeldFile != nullptr ? hHeldFile : hOwnHold.get();
    if (hFile == nullptr) return false;
    FileIdentity file;
    const bool bKnown = ReadFileIdentity(hFile, file);

    // An earlier evaluation of the same file spares hashing it a second
    // time; the chain, usage and publisher are still decided here.
    if (bKnown && earlier != nullptr && earlier->signer && SameFile(earlier->file, file)) {
        return SignerPasses(earlier->signer.get(), identity, publisherRule,
                            earlier->bTimestamped ? &earlier->signedAt : nullptr);
    }

    TrustState trust;
    if (!trust.Verify(path, hFile)) return false;
    const PCCERT_CONTEXT signer = trust.SignerCertificate();
    // A signature whose timestamp verifies is judged when it was made, as
    // Windows does, so that the certificate's end does not end the program's
    // life; any other is judged now.
    FILETIME stamped = {};
    const FILETIME* signedAt = VerifiedSigningTime(trust.Message(), signer, identity, stamped) ? &stamped : nullptr;
    if (!SignerPasses(signer, identity, publisherRule, signedAt)) return false;
    if (bKnown && evaluation != nullptr) RecordEvaluation(*evaluation, file, signer, signedAt);
    return true;
}

}  // namespace qeb::security
