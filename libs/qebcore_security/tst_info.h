#pragma once
// The fields of an RFC 3161 TSTInfo that the signing time rests on, read from
// its DER encoding. Kept free of any system call: the bytes come from the
// token, so they are what an attacker controls.

#include <cstddef>
#include <cstdint>

namespace qeb::security {

enum class ImprintHash { Sha256, Sha384, Sha512 };

// A moment to the second, UTC, as the token states it.
struct UtcTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct TstInfo {
    ImprintHash hash = ImprintHash::Sha256;
    const unsigned char* imprint = nullptr;  // inside the parsed bytes
    std::size_t imprintSize = 0;
    UtcTime genTime;
    const unsigned char* encoded = nullptr;  // the bare TSTInfo, inside the parsed bytes
    std::size_t encodedSize = 0;
};

// The digest size of a hash, in bytes.
std::size_t DigestSize(ImprintHash hash) noexcept;

// True when `der` is exactly one DER TSTInfo of version 1, bare or as the only
// contents of an OCTET STRING (Wine's crypt32 hands a token's content over
// wrapped so; the form is taken as it comes): definite, minimal
// lengths, nothing after it, a message imprint made with SHA-256, -384 or
// -512 whose digest has that hash's size, and a GeneralizedTime that is a real
// UTC date ending in Z. A fraction of a second is dropped (the time is taken
// at the start of its second). Fields after the time are checked for form
// only. False for anything else; `info` is then unspecified.
bool ParseTstInfo(const unsigned char* der, std::size_t size, TstInfo& info) noexcept;

}  // namespace qeb::security
