#pragma once
// The signing identity this build trusts: the pinned root certificate, the
// publisher's name and the issuer of its timestamping authority, all compiled
// in from the build's configuration.

#include <cstddef>

namespace qeb::security {

struct PinnedIdentity {
    const unsigned char* rootDer;  // the root certificate, DER
    std::size_t rootDerSize;
    const unsigned char* publisherUtf8;  // not terminated
    std::size_t publisherUtf8Size;
    // The CA certificate that issues the timestamping authority, DER; null:
    // the root above issues it (development builds).
    const unsigned char* timestampIssuerDer;
    std::size_t timestampIssuerDerSize;
};

// The identity the product was built with (generated source).
const PinnedIdentity& ProductIdentity() noexcept;

}  // namespace qeb::security
