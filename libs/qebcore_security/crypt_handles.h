#pragma once
// Owning wrappers for the CryptoAPI objects the checks create.

#include <windows.h>
#include <wincrypt.h>

#include <memory>

namespace qeb::security {

struct CertStoreClose {
    void operator()(HCERTSTORE store) const noexcept { ::CertCloseStore(store, 0); }
};
using UniqueCertStore = std::unique_ptr<void, CertStoreClose>;

struct ChainEngineFree {
    void operator()(HCERTCHAINENGINE engine) const noexcept { ::CertFreeCertificateChainEngine(engine); }
};
using UniqueChainEngine = std::unique_ptr<void, ChainEngineFree>;

struct ChainContextFree {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const noexcept { ::CertFreeCertificateChain(chain); }
};
using UniqueChainContext = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainContextFree>;

}  // namespace qeb::security
