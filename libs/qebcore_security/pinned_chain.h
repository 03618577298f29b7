#pragma once
// Trust in a signer's certificate decided by the product's pinned root alone,
// never by the machine's root store.

#include <windows.h>
#include <wincrypt.h>

#include "pinned_identity.h"

namespace qeb::security {

// True when the certificate is a code-signing certificate (its extended key
// usage names code signing) whose chain, built at `at` (now when null), with
// only the pinned root trusted and without revocation or network lookups, has no error,
// passes the Authenticode and base chain policies and ends in exactly the
// pinned root. Intermediate certificates come from the certificate's own
// store (for a signer, the signature's certificates).
bool ChainsToPinnedRoot(PCCERT_CONTEXT certificate, const PinnedIdentity& identity, const FILETIME* at) noexcept;

}  // namespace qeb::security
