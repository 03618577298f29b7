#include "timestamp_authority.h"

#include <cstring>

#include "unique_handle.h"

namespace qeb::security {

namespace {

// RFC 3161 2.3: the usage is critical and time stamping is the only one.
bool HasOnlyCriticalTimestampUsage(PCCERT_CONTEXT certificate) noexcept {
    const CERT_INFO& info = *certificate->pCertInfo;
    const CERT_EXTENSION* usage = ::CertFindExtension(szOID_ENHANCED_KEY_USAGE, info.cExtension, info.rgExtension);
    if (usage == nullptr || !usage->fCritical) return false;
    CERT_ENHKEY_USAGE* decoded = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, usage->Value.pbData, usage->Value.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
        return false;
    }
    const bool bOnly = decoded->cUsageIdentifier == 1 && decoded->rgpszUsageIdentifier[0] != nullptr &&
                       std::strcmp(decoded->rgpszUsageIdentifier[0], szOID_PKIX_KP_TIMESTAMP_SIGNING) == 0;
    ::LocalFree(decoded);
    return bOnly;
}

bool ValidAt(PCCERT_CONTEXT certificate, const FILETIME& at) noexcept {
    FILETIME when = at;  // the call takes a pointer to non-const
    return ::CertVerifyTimeValidity(&when, certificate->pCertInfo) == 0;
}

// Issued by `issuer` itself: the names chain and the issuer's key verifies
// the certificate's signature.
bool IssuedBy(PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer) noexcept {
    return ::CertCompareCertificateName(X509_ASN_ENCODING, &certificate->pCertInfo->Issuer,
                                        &issuer->pCertInfo->Subject) &&
           ::CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT, const_cast<CERT_CONTEXT*>(certificate),
               CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(issuer), 0, nullptr);
}

}  // namespace

bool IsTimestampAuthority(PCCERT_CONTEXT authority, PCCERT_CONTEXT fileSigner, const PinnedIdentity& identity,
                          const FILETIME& at) noexcept {
    if (authority == nullptr || fileSigner == nullptr || !HasOnlyCriticalTimestampUsage(authority)) return false;
    // A key that could date its own signatures would keep signing "in the
    // past" for ever once it is retired or stolen.
    if (::CertComparePublicKeyInfo(X509_ASN_ENCODING, &authority->pCertInfo->SubjectPublicKeyInfo,
                                   &fileSigner->pCertInfo->SubjectPublicKeyInfo)) {
        return false;
    }
    // Without an issuer of its own the build's root certifies its authority.
    const bool bOwnIssuer = identity.timestampIssuerDer != nullptr;
    const unsigned char* der = bOwnIssuer ? identity.timestampIssuerDer : identity.rootDer;
    const std::size_t size = bOwnIssuer ? identity.timestampIssuerDerSize : identity.rootDerSize;
    if (der == nullptr || size == 0 || size > MAXDWORD) return false;
    const UniqueCertificate issuer(::CertCreateCertificateContext(X509_ASN_ENCODING, der, static_cast<DWORD>(size)));
    return issuer && IssuedBy(authority, issuer.get()) && ValidAt(authority, at) && ValidAt(issuer.get(), at);
}

}  // namespace qeb::security
