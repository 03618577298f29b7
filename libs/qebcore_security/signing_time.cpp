#include "signing_time.h"

#include <cstring>
#include <vector>

#include "timestamp_authority.h"
#include "tst_info.h"
#include "unique_handle.h"

namespace qeb::security {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kTstInfoContentType[] = "1.2.840.113549.1.9.16.1.4";

// A result of variable size, read by asking for its size first. Storage
// from operator new is aligned for the structures some results are.
template <typename Read>
bool ReadSized(std::vector<BYTE>& value, Read read) noexcept {
    DWORD size = 0;
    if (!read(nullptr, &size) || size == 0) return false;
    try {
        value.assign(size, 0);
    } catch (...) {
        return false;
    }
    if (!read(value.data(), &size)) return false;
    value.resize(size);
    return true;
}

bool GetParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& value) noexcept {
    return ReadSized(
        value, [&](void* data, DWORD* size) { return ::CryptMsgGetParam(message, type, index, data, size) != FALSE; });
}

// The one value of the one attribute of that type; null when there is none,
// or more than one: two timestamps would leave the choice of time, and two
// digests the choice of content, to whoever added them.
const CRYPT_ATTR_BLOB* OnlyValue(const CRYPT_ATTRIBUTES& list, const char* oid) noexcept {
    const CRYPT_ATTR_BLOB* value = nullptr;
    for (DWORD i = 0; i < list.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = list.rgAttr[i];
        if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, oid) != 0) continue;
        if (value != nullptr || attribute.cValue != 1) return nullptr;
        value = &attribute.rgValue[0];
    }
    return value;
}

// The token: CMS signed data whose content is a TSTInfo.
UniqueCryptMessage DecodeToken(const CRYPT_ATTR_BLOB& token) noexcept {
    UniqueCryptMessage message(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !::CryptMsgUpdate(message.get(), token.pbData, token.cbData, TRUE)) return UniqueCryptMessage();
    DWORD type = 0, size = sizeof type;
    if (!::CryptMsgGetParam(message.get(), CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED) {
        return UniqueCryptMessage();
    }
    std::vector<BYTE> contentType;
    if (!GetParam(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, contentType) || contentType.back() != '\0' ||
        std::strcmp(reinterpret_cast<const char*>(contentType.data()), kTstInfoContentType) != 0) {
        return UniqueCryptMessage();
    }
    return message;
}

// The hashes a token may use, for its imprint and its signer, with their
// OIDs and CNG names.
struct HashOid {
    ImprintHash hash;
    const char* oid;
    const wchar_t* name;
};
constexpr HashOid kTokenHashes[] = {{ImprintHash::Sha256, szOID_NIST_sha256, L"SHA256"},
                                    {ImprintHash::Sha384, szOID_NIST_sha384, L"SHA384"},
                                    {ImprintHash::Sha512, szOID_NIST_sha512, L"SHA512"}};

bool Hash(const wchar_t* name, const BYTE* data, std::size_t size, BYTE (&digest)[64], DWORD& digestSize) noexcept {
    digestSize = sizeof digest;
    return name != nullptr && size <= MAXDWORD &&
           ::CryptHashCertificate2(name, 0, nullptr, data, static_cast<DWORD>(size), digest, &digestSize);
}

const wchar_t* HashName(ImprintHash hash) noexcept {
    for (const HashOid& known : kTokenHashes)
        if (known.hash == hash) return known.name;
    return nullptr;
}

// The imprint must be the hash of the very signature it stamps: a token
// moved over from another signature stamps that one, not this. The signature
// is read from the signer's record (Wine has no CMSG_ENCRYPTED_DIGEST).
bool ImprintMatches(const TstInfo& info, const std::vector<BYTE>& signerInfo) noexcept {
    const CRYPT_DATA_BLOB& stamped = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data())->EncryptedHash;
    BYTE digest[64] = {};
    DWORD size = 0;
    if (stamped.pbData == nullptr || stamped.cbData == 0 ||
        !Hash(HashName(info.hash), stamped.pbData, stamped.cbData, digest, size)) {
        return false;
    }
    return size == info.imprintSize && std::memcmp(digest, info.imprint, size) == 0;
}

// The digest of the TSTInfo that the token signer's signed attributes carry
// is the digest of the TSTInfo read. Checked here: Wine's signature
// verification covers the signed attributes only, and the digest it computes
// of the content covers the content's OCTET STRING wrapping.
bool SignedDigestMatches(HCRYPTMSG token, const TstInfo& info) noexcept {
    std::vector<BYTE> signerInfo, signedDigest;
    if (!GetParam(token, CMSG_SIGNER_INFO_PARAM, 0, signerInfo)) return false;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    const wchar_t* hashName = nullptr;
    for (const HashOid& hash : kTokenHashes) {
        const char* oid = signer->HashAlgorithm.pszObjId;
        if (oid != nullptr && std::strcmp(oid, hash.oid) == 0) hashName = hash.name;
    }
    const CRYPT_ATTR_BLOB* value = OnlyValue(signer->AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
    BYTE computed[64] = {};
    DWORD computedSize = 0;
    if (value == nullptr || !Hash(hashName, info.encoded, info.encodedSize, computed, computedSize) ||
        !ReadSized(signedDigest, [value](void* data, DWORD* size) {
            return ::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, value->pbData, value->cbData, 0, nullptr,
                                         data, size) != FALSE;
        })) {
        return false;
    }
    const auto* digest = reinterpret_cast<const CRYPT_DATA_BLOB*>(signedDigest.data());
    return digest->cbData == computedSize && std::memcmp(digest->pbData, computed, computedSize) == 0;
}

// The token's only signer, found in the token's own certificates, whose
// signature over the token (its signed attributes and their digest of the
// TSTInfo) verifies.
UniqueCertificate VerifiedTokenSigner(HCRYPTMSG token, const TstInfo& info) noexcept {
    DWORD signers = 0, size = sizeof signers;
    if (!::CryptMsgGetParam(token, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) || signers != 1) {
        return UniqueCertificate();
    }
    std::vector<BYTE> signerInfo;
    if (!GetParam(token, CMSG_SIGNER_CERT_INFO_PARAM, 0, signerInfo)) return UniqueCertificate();
    const UniqueCertStore certificates(::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token));
    if (!certificates) return UniqueCertificate();
    UniqueCertificate signer(::CertGetSubjectCertificateFromStore(certificates.get(), kEncoding,
                                                                  reinterpret_cast<PCERT_INFO>(signerInfo.data())));
    if (!signer || !::CryptMsgControl(token, 0, CMSG_CTRL_VERIFY_SIGNATURE, signer->pCertInfo) ||
        !SignedDigestMatches(token, info)) {
        return UniqueCertificate();
    }
    return signer;
}

bool ToFileTime(const UtcTime& utc, FILETIME& time) noexcept {
    SYSTEMTIME system = {};
    system.wYear = static_cast<WORD>(utc.year);
    system.wMonth = static_cast<WORD>(utc.month);
    system.wDay = static_cast<WORD>(utc.day);
    system.wHour = static_cast<WORD>(utc.hour);
    system.wMinute = static_cast<WORD>(utc.minute);
    system.wSecond = static_cast<WORD>(utc.second);
    return ::SystemTimeToFileTime(&system, &time) != FALSE;
}

}  // namespace

bool VerifiedSigningTime(HCRYPTMSG message, PCCERT_CONTEXT signer, const PinnedIdentity& identity,
                         FILETIME& signedAt) noexcept {
    if (message == nullptr || signer == nullptr) return false;
    // The token is read from the signer's record, not through
    // CMSG_SIGNER_UNAUTH_ATTR_PARAM: Wine's copy of that parameter allocates
    // the attributes anew and never frees them, 2.7 KiB a launch.
    std::vector<BYTE> signerInfo, tstInfo;
    if (!GetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signerInfo)) return false;
    const CRYPT_ATTR_BLOB* token =
        OnlyValue(reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data())->UnauthAttrs, szOID_RFC3161_counterSign);
    if (token == nullptr) return false;

    const UniqueCryptMessage decoded = DecodeToken(*token);
    TstInfo info;
    FILETIME stamped = {};
    if (!decoded || !GetParam(decoded.get(), CMSG_CONTENT_PARAM, 0, tstInfo) ||
        !ParseTstInfo(tstInfo.data(), tstInfo.size(), info) || !ImprintMatches(info, signerInfo) ||
        !ToFileTime(info.genTime, stamped)) {
        return false;
    }
    const UniqueCertificate authority = VerifiedTokenSigner(decoded.get(), info);
    if (!authority || !IsTimestampAuthority(authority.get(), signer, identity, stamped)) return false;

    // A time still to come is no proof of anything that has happened.
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    if (::CompareFileTime(&stamped, &now) > 0) return false;
    signedAt = stamped;
    return true;
}

}  // namespace qeb::security
