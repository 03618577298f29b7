#pragma once
// Owning wrappers for the CryptoAPI objects and files the checks open.

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

struct CertificateFree {
    void operator()(PCCERT_CONTEXT certificate) const noexcept { ::CertFreeCertificateContext(certificate); }
};
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct FileHandleClose {
    void operator()(HANDLE handle) const noexcept { ::CloseHandle(handle); }
};
using UniqueFileHandle = std::unique_ptr<void, FileHandleClose>;

}  // namespace qeb::security
