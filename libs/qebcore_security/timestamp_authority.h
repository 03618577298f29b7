#pragma once
// Which certificate may give a signature its time: a timestamping authority
// as RFC 3161 defines one, certified by the one issuer this build pins.

#include <windows.h>
#include <wincrypt.h>

#include "pinned_identity.h"

namespace qeb::security {

// True when `authority` can vouch for a time `at` for the signature of
// `fileSigner`: its extended key usage is marked critical and holds
// time stamping alone (so no certificate that can also sign code qualifies),
// its key is not the file signer's own, it was issued directly by the
// identity's timestamp issuer (its name and signature), and both were valid
// at `at`.
bool IsTimestampAuthority(PCCERT_CONTEXT authority, PCCERT_CONTEXT fileSigner, const PinnedIdentity& identity,
                          const FILETIME& at) noexcept;

}  // namespace qeb::security
