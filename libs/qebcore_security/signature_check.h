#pragma once
// The whole signature check of one file against one pinned identity.

#include "pinned_identity.h"

namespace qeb::security {

enum class PublisherRule { Any, MustMatch };

// True when the file's embedded signature is intact, its signer chains to the
// identity's root as a code signer and, with MustMatch, the signer is the
// identity's publisher. The chain is built at the time a verified timestamp
// countersignature proves (see signing_time.h), or now without one. A MustMatch check of the very file (same identity)
// that an Any check passed just before reuses that evaluation of the
// embedded signature, once; every other call verifies the file afresh.
bool CheckFileSignature(const wchar_t* path, const PinnedIdentity& identity, PublisherRule publisherRule) noexcept;

}  // namespace qeb::security
