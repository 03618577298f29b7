#pragma once
// Whether a certificate was issued to the product's publisher.

#include <windows.h>
#include <wincrypt.h>

#include "pinned_identity.h"

namespace qeb::security {

// True when the subject's common name or organisation is exactly the
// publisher name (same characters, same case, nothing more).
bool NamesPublisher(PCCERT_CONTEXT certificate, const PinnedIdentity& identity) noexcept;

}  // namespace qeb::security
