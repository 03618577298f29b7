#include "trust_state.h"

#include <softpub.h>

namespace qeb::security {

namespace {

// Results meaning that the signature itself verified but its certificate
// chain does not end in a root this machine trusts, or not at the time this
// machine took. The product does not rely on the machine's roots (a private
// product root is normally not among them) nor on the time Windows takes from
// a countersignature those roots trust, so these are left to the pinned-root
// chain check that follows, at the time the product verified.
bool IsChainTrustError(LONG status) noexcept {
    const HRESULT code = static_cast<HRESULT>(status);
    return code == CERT_E_UNTRUSTEDROOT || code == CERT_E_CHAINING || code == CERT_E_EXPIRED;
}

}  // namespace

TrustState::~TrustState() {
    if (!m_bStateOpen) return;
    m_data.dwStateAction = WTD_STATEACTION_CLOSE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data);
}

bool TrustState::Verify(const wchar_t* path) noexcept {
    if (path == nullptr || *path == L'\0' || m_bStateOpen) return false;

    m_file.cbStruct = sizeof m_file;
    m_file.pcwszFilePath = path;

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
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data);
    // The provider keeps state after any verify call, success or not.
    m_bStateOpen = true;

    m_bVerified = status == ERROR_SUCCESS || OnlyChainTrustFailed(status);
    return m_bVerified && SignerCertificate() != nullptr;
}

bool TrustState::OnlyChainTrustFailed(LONG status) const noexcept {
    if (!IsChainTrustError(status)) return false;
    // The final result names one error only; make sure no earlier step (file,
    // message, digest, signer signature) recorded one of its own.
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(m_data.hWVTStateData);
    if (provider == nullptr || provider->padwTrustStepErrors == nullptr) return false;
    for (DWORD step = 0; step < provider->cdwTrustStepErrors; ++step) {
        const DWORD error = provider->padwTrustStepErrors[step];
        if (error != ERROR_SUCCESS && !IsChainTrustError(static_cast<LONG>(error))) return false;
    }
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    return signer != nullptr &&
           (signer->dwError == ERROR_SUCCESS || IsChainTrustError(static_cast<LONG>(signer->dwError)));
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
