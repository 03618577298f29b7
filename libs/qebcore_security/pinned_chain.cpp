#include "pinned_chain.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "unique_handle.h"

namespace qeb::security {

namespace {

// Chain trust alone accepts a certificate without any extended key usage as
// good for every use; the product's signers have theirs written out, so
// anything else is not one of them.
bool HasUsage(PCCERT_CONTEXT certificate, const char* usageOid) noexcept {
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) ||
        size < sizeof(CERT_ENHKEY_USAGE)) {
        return false;
    }
    // Storage from operator new is aligned for the structure and its pointers.
    std::unique_ptr<std::byte[]> buffer;
    try {
        buffer = std::make_unique<std::byte[]>(size);
    } catch (...) {
        return false;
    }
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.get());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* oid = usage->rgpszUsageIdentifier[i];
        if (oid != nullptr && std::strcmp(oid, usageOid) == 0) return true;
    }
    return false;
}

bool PassesPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain) noexcept {
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof para;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    return ::CertVerifyCertificateChainPolicy(policy, chain, &para, &status) && status.dwError == ERROR_SUCCESS;
}

bool IsRoot(PCCERT_CONTEXT top, const unsigned char* der, std::size_t size) noexcept {
    return top != nullptr && der != nullptr && top->cbCertEncoded == size &&
           std::memcmp(top->pbCertEncoded, der, size) == 0;
}

bool AddRoot(HCERTSTORE roots, const unsigned char* der, std::size_t size) noexcept {
    return der != nullptr && size != 0 && size <= MAXDWORD &&
           ::CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der, static_cast<DWORD>(size),
                                              CERT_STORE_ADD_ALWAYS, nullptr);
}

// An engine that trusts the roots in the store and nothing else.
UniqueChainEngine MakePinnedEngine(HCERTSTORE roots) noexcept {
    CERT_CHAIN_ENGINE_CONFIG config = {};
    // The size up to the exclusive-root fields is what every Windows since 7
    // accepts (and all that Wine accepts); the later exclusive flags are not
    // needed when the exclusive roots are roots.
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.hExclusiveRoot = roots;
    config.dwFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    HCERTCHAINENGINE engine = nullptr;
    if (!::CertCreateCertificateChainEngine(&config, &engine)) return UniqueChainEngine();
    return UniqueChainEngine(engine);
}

}  // namespace

bool ChainsToPinnedRoot(PCCERT_CONTEXT certificate, const PinnedIdentity& identity, const FILETIME* at) noexcept {
    if (identity.rootDer == nullptr || certificate == nullptr || !HasUsage(certificate, szOID_PKIX_KP_CODE_SIGNING))
        return false;
    UniqueCertStore trusted(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!trusted || !AddRoot(trusted.get(), identity.rootDer, identity.rootDerSize)) return false;
    const UniqueChainEngine engine = MakePinnedEngine(trusted.get());
    if (!engine) return false;

    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;

    // A copy: the call takes the time through a pointer to non-const.
    FILETIME when = at != nullptr ? *at : FILETIME{};
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    if (!::CertGetCertificateChain(engine.get(), certificate, at != nullptr ? &when : nullptr, certificate->hCertStore,
                                   &para, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &rawChain)) {
        return false;
    }
    const UniqueChainContext chain(rawChain);
    if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR || chain->cChain != 1) return false;

    // Issued by the root, not the root itself: a root's key certifies and
    // signs nothing else.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    if (simple == nullptr || simple->cElement < 2) return false;
    const CERT_CHAIN_ELEMENT* top = simple->rgpElement[simple->cElement - 1];
    return top != nullptr && IsRoot(top->pCertContext, identity.rootDer, identity.rootDerSize) &&
           PassesPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get()) &&
           PassesPolicy(CERT_CHAIN_POLICY_BASE, chain.get());
}

}  // namespace qeb::security
