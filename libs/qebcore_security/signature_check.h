#pragma once
// The whole signature check of one file against one pinned identity.

#include <windows.h>

#include "pinned_identity.h"
#include "signature_evaluation.h"

namespace qeb::security {

enum class PublisherRule { Any, MustMatch };

// True when the file's embedded signature is intact, its signer chains to the
// identity's root as a code signer and, with MustMatch, the signer is the
// identity's publisher. The chain is built at the time a verified timestamp
// countersignature proves (see signing_time.h), or now without one. A check
// given an `earlier` evaluation of the very file (same identity) takes its
// signer instead of verifying the file again; a passing check fills
// `evaluation` when one is given.
// The file is read through `hHeldFile` (open for reading) when one is given,
// and nothing opens it by `path`; otherwise the check holds it itself.
bool CheckFileSignature(const wchar_t* path, HANDLE hHeldFile, const PinnedIdentity& identity,
                        PublisherRule publisherRule, const SignatureEvaluation* earlier = nullptr,
                        SignatureEvaluation* evaluation = nullptr) noexcept;

}  // namespace qeb::security
