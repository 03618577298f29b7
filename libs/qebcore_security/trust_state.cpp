#include "trust_state.h"

#include <softpub.h>

namespace qeb::security {

TrustState::~TrustState() {
    if (!m_bStateOpen) return;
    m_data.dwStateAction = WTD_STATEACTION_CLOSE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data);
}

bool TrustState::Verify(const wchar_t* path, HANDLE hFile) noexcept {
    if (path == nullptr || *path == L'\0' || m_bStateOpen) return false;

    m_file.cbStruct = sizeof m_file;
    m_file.pcwszFilePath = path;
    // The provider reads the file through this handle and opens nothing by
    // the name, which then only tells the kind of file.
    m_file.hFile = hFile;

    m_data.cbStruct = sizeof m_data;
    m_data.dwUIChoice = WTD_UI_NONE;
    m_data.fdwRevocationChecks = WTD_REVOKE_NONE;
    m_data.dwUnionChoice = WTD_CHOICE_FILE;
    m_data.pFile = &m_file;
    m_data.dwStateAction = WTD_STATEACTION_VERIFY;
    // The check runs before every container start and must not wait on the
    // network: no revocation lookups, no fetching of missing certificates.
    m_data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // The returned code is not read: it ranks the signer's and the
    // countersigners' failures into one value, in an order Windows does not
    // document. The provider's own records of each are read instead.
    static_cast<void>(::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data));
    // The provider keeps state after any verify call, success or not.
    m_bStateOpen = true;

    m_bVerified = SignatureIntact(ProviderResults());
    return m_bVerified && SignerCertificate() != nullptr;
}

SignerResults TrustState::ProviderResults() const noexcept {
    SignerResults results;
    const CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(m_data.hWVTStateData);
    if (provider == nullptr) return results;
    results.stepErrors = provider->padwTrustStepErrors;
    results.stepCount = provider->cdwTrustStepErrors;
    const CRYPT_PROVIDER_SGNR* signer =
        ::WTHelperGetProvSignerFromChain(const_cast<CRYPT_PROVIDER_DATA*>(provider), 0, FALSE, 0);
    if (signer == nullptr) return results;
    results.bSigner = true;
    results.signerError = signer->dwError;
    if (signer->pChainContext != nullptr) results.signerChainStatus = signer->pChainContext->TrustStatus.dwErrorStatus;
    return results;
}

PCCERT_CONTEXT TrustState::SignerCertificate() const noexcept {
    if (!m_bVerified) return nullptr;
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(m_data.hWVTStateData);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return nullptr;
    CRYPT_PROVIDER_CERT* certificate = ::WTHelperGetProvCertFromChain(signer, 0);
    return certificate != nullptr ? certificate->pCert : nullptr;
}

HCRYPTMSG TrustState::Message() const noexcept {
    if (!m_bVerified) return nullptr;
    const CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(m_data.hWVTStateData);
    return provider != nullptr ? provider->hMsg : nullptr;
}

}  // namespace qeb::security
