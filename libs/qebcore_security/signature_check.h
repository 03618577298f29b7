#pragma once
// The whole signature check of one file against one pinned identity.

#include <windows.h>

#include "pinned_identity.h"

namespace qeb::security {

enum class PublisherRule { Any, MustMatch };

// True when the file's embedded signature is intact, its signer chains to the
// identity's root as a code signer and, with MustMatch, the signer is the
// identity's publisher. The chain is built at the time a verified timestamp
// countersignature proves (see signing_time.h), or now without one. A
// MustMatch check of the very file (same identity) that an Any check passed
// just before reuses that evaluation of the embedded signature, once; every
// other call verifies the file afresh.
// The file is read through `hHeldFile` (open for reading) when one is given,
// and nothing opens it by `path`; otherwise the check holds it itself.
bool CheckFileSignature(const wchar_t* path, HANDLE hHeldFile, const PinnedIdentity& identity,
                        PublisherRule publisherRule) noexcept;

}  // namespace qeb::security
