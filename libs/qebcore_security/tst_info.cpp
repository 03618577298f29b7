#include "tst_info.h"

#include <cstring>

namespace qeb::security {

namespace {

constexpr unsigned char kTagInteger = 0x02, kTagOctetString = 0x04, kTagNull = 0x05, kTagOid = 0x06,
                        kTagGeneralizedTime = 0x18, kTagSequence = 0x30;

// OID contents (after tag and length) of the hashes an imprint may use. SHA-1
// is not among them: a collision lets one token stamp two signatures.
constexpr unsigned char kSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr unsigned char kSha384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
constexpr unsigned char kSha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

// One element: its tag and where its contents lie.
struct Element {
    unsigned char tag = 0;
    const unsigned char* contents = nullptr;
    std::size_t size = 0;
};

// Reads elements one after the other from a span; any flaw stops it for good.
class DerReader {
public:
    DerReader(const unsigned char* data, std::size_t size) noexcept : m_next(data), m_left(size) {}

    bool AtEnd() const noexcept { return m_left == 0; }

    bool Read(Element& element) noexcept {
        if (m_left < 2) return false;
        element.tag = m_next[0];
        // Multi-byte tags appear nowhere in a TSTInfo.
        if ((element.tag & 0x1F) == 0x1F) return false;
        std::size_t length = m_next[1];
        std::size_t header = 2;
        if (length & 0x80) {
            const std::size_t count = length & 0x7F;
            // 0x80 is the indefinite form, which DER forbids; four bytes of
            // length are more than any token needs.
            if (count == 0 || count > 4 || m_left < 2 + count || m_next[2] == 0) return false;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | m_next[2 + i];
            // DER takes the short form whenever it fits.
            if (length < 0x80) return false;
            header += count;
        }
        if (length > m_left - header) return false;
        element.contents = m_next + header;
        element.size = length;
        m_next += header + length;
        m_left -= header + length;
        return true;
    }

    bool Read(unsigned char tag, Element& element) noexcept { return Read(element) && element.tag == tag; }

private:
    const unsigned char* m_next;
    std::size_t m_left;
};

template <std::size_t N>
bool Is(const Element& element, const unsigned char (&oid)[N]) noexcept {
    return element.size == N && std::memcmp(element.contents, oid, N) == 0;
}

bool ReadHash(const Element& oid, ImprintHash& hash) noexcept {
    if (Is(oid, kSha256)) {
        hash = ImprintHash::Sha256;
    } else if (Is(oid, kSha384)) {
        hash = ImprintHash::Sha384;
    } else if (Is(oid, kSha512)) {
        hash = ImprintHash::Sha512;
    } else {
        return false;
    }
    return true;
}

// AlgorithmIdentifier with absent or NULL parameters, then the digest.
bool ReadImprint(const Element& imprint, TstInfo& info) noexcept {
    DerReader fields(imprint.contents, imprint.size);
    Element algorithm, digest;
    if (!fields.Read(kTagSequence, algorithm) || !fields.Read(kTagOctetString, digest) || !fields.AtEnd()) {
        return false;
    }
    DerReader parts(algorithm.contents, algorithm.size);
    Element oid, parameters;
    if (!parts.Read(kTagOid, oid) || !ReadHash(oid, info.hash)) return false;
    if (!parts.AtEnd() && (!parts.Read(kTagNull, parameters) || parameters.size != 0 || !parts.AtEnd())) {
        return false;
    }
    if (digest.size != DigestSize(info.hash)) return false;
    info.imprint = digest.contents;
    info.imprintSize = digest.size;
    return true;
}

bool ReadDigits(const unsigned char* text, std::size_t count, int& value) noexcept {
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) noexcept {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && bLeap ? 29 : kDays[month - 1];
}

// YYYYMMDDHHMMSS[.fff]Z: DER's form, UTC and no trailing zero in a fraction.
bool ReadGeneralizedTime(const Element& time, UtcTime& utc) noexcept {
    const unsigned char* text = time.contents;
    if (time.size < 15 || text[time.size - 1] != 'Z') return false;
    if (!ReadDigits(text, 4, utc.year) || !ReadDigits(text + 4, 2, utc.month) || !ReadDigits(text + 6, 2, utc.day) ||
        !ReadDigits(text + 8, 2, utc.hour) || !ReadDigits(text + 10, 2, utc.minute) ||
        !ReadDigits(text + 12, 2, utc.second)) {
        return false;
    }
    if (time.size > 15) {
        // A fraction: the point, at least one digit, the last not zero.
        if (text[14] != '.' || time.size < 17 || text[time.size - 2] == '0') return false;
        int ignored = 0;
        for (std::size_t i = 15; i + 1 < time.size; ++i) {
            if (!ReadDigits(text + i, 1, ignored)) return false;
        }
    }
    return utc.year >= 1601 && utc.month >= 1 && utc.month <= 12 && utc.day >= 1 &&
           utc.day <= DaysInMonth(utc.year, utc.month) && utc.hour <= 23 && utc.minute <= 59 && utc.second <= 59;
}

}  // namespace

std::size_t DigestSize(ImprintHash hash) noexcept {
    switch (hash) {
    case ImprintHash::Sha256: return 32;
    case ImprintHash::Sha384: return 48;
    case ImprintHash::Sha512: return 64;
    }
    return 0;
}

bool ParseTstInfo(const unsigned char* der, std::size_t size, TstInfo& info) noexcept {
    if (der == nullptr) return false;
    DerReader whole(der, size);
    Element tstInfo;
    if (!whole.Read(tstInfo) || !whole.AtEnd()) return false;
    const unsigned char* encoded = der;
    if (tstInfo.tag == kTagOctetString) {
        encoded = tstInfo.contents;
        DerReader wrapped(tstInfo.contents, tstInfo.size);
        if (!wrapped.Read(tstInfo) || !wrapped.AtEnd()) return false;
    }
    if (tstInfo.tag != kTagSequence) return false;
    info.encoded = encoded;
    info.encodedSize = static_cast<std::size_t>(tstInfo.contents + tstInfo.size - encoded);

    DerReader fields(tstInfo.contents, tstInfo.size);
    Element version, policy, imprint, serial, genTime;
    if (!fields.Read(kTagInteger, version) || version.size != 1 || version.contents[0] != 1) return false;
    if (!fields.Read(kTagOid, policy) || policy.size == 0) return false;
    if (!fields.Read(kTagSequence, imprint) || !ReadImprint(imprint, info)) return false;
    if (!fields.Read(kTagInteger, serial) || serial.size == 0) return false;
    if (!fields.Read(kTagGeneralizedTime, genTime) || !ReadGeneralizedTime(genTime, info.genTime)) return false;
    // Accuracy, ordering, nonce, the TSA's name, extensions: none changes
    // the time, but each must still be a whole element.
    Element optional;
    while (!fields.AtEnd()) {
        if (!fields.Read(optional)) return false;
    }
    return true;
}

}  // namespace qeb::security
