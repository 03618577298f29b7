#pragma once
// The signing identity this build trusts: the pinned root certificate, the
// publisher's name and the root of its timestamping authority, all compiled
// in from the build's configuration.

#include <cstddef>

namespace qeb::security {

struct PinnedIdentity {
    const unsigned char* rootDer;  // the root certificate, DER
    std::size_t rootDerSize;
    const unsigned char* publisherUtf8;  // not terminated
    std::size_t publisherUtf8Size;
    const unsigned char* timestampRootDer;  // the timestamping authority's root, DER; null: none
    std::size_t timestampRootDerSize;
};

// The identity the product was built with (generated source).
const PinnedIdentity& ProductIdentity() noexcept;

}  // namespace qeb::security
