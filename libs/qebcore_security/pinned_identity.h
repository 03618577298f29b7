#pragma once
// The signing identity this build trusts: the pinned root certificate and the
// publisher's name, both compiled in from the build's configuration.

#include <cstddef>

namespace qeb::security {

struct PinnedIdentity {
    const unsigned char* rootDer;  // the root certificate, DER
    std::size_t rootDerSize;
    const unsigned char* publisherUtf8;  // not terminated
    std::size_t publisherUtf8Size;
};

// The identity the product was built with (generated source).
const PinnedIdentity& ProductIdentity() noexcept;

}  // namespace qeb::security
