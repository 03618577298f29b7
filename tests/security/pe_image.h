#pragma once
// Just enough PE reading for the signature tests to alter signed images in
// chosen places: a byte of code, the signer's signature, the certificate
// table.

#include <cstddef>
#include <optional>
#include <string>

namespace sectest {

// A whole file as qebtest::ReadFileShared gives it.
using Bytes = std::string;

struct PeLayout {
    std::size_t codeOffset = 0;         // raw data of the first code section
    std::size_t codeSize = 0;
    std::size_t certTableOffset = 0;    // WIN_CERTIFICATE entries
    std::size_t certTableSize = 0;
    std::size_t signatureDerOffset = 0; // the PKCS#7 SignedData of the first entry
    std::size_t signatureDerSize = 0;
};

// The layout of a signed 64-bit image; nothing when the image is not one.
std::optional<PeLayout> ReadLayout(const Bytes& image);

}  // namespace sectest
