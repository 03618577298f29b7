#pragma once
// The time at which a signature is judged: the one its RFC 3161 timestamp
// countersignature proves, once that countersignature is verified.

#include <windows.h>
#include <wincrypt.h>

#include "pinned_identity.h"

namespace qeb::security {

// True, with the time in `signedAt`, when the first signer of the signed
// message carries exactly one RFC 3161 timestamp countersignature (attribute
// 1.3.6.1.4.1.311.3.3.1) that verifies: one token signer whose signature over
// the token is good, a TSTInfo whose message imprint is the hash of that
// signer's encrypted digest, a token signer that is a timestamping authority
// for `signer` at the stamped time (timestamp_authority.h), and a stamped
// time not later than now. False in every
// other case, which leaves the signature to be judged now. The older
// Authenticode countersignature (1.2.840.113549.1.9.6) is not read.
bool VerifiedSigningTime(HCRYPTMSG message, PCCERT_CONTEXT signer, const PinnedIdentity& identity,
                         FILETIME& signedAt) noexcept;

}  // namespace qeb::security
