#pragma once
// One WinVerifyTrust verification of a file's embedded Authenticode
// signature, and the provider state it leaves behind: the signer's
// certificate stays valid until the object goes, which releases the state.

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "signer_results.h"

namespace qeb::security {

class TrustState {
public:
    TrustState() noexcept = default;
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;
    ~TrustState();

    // True when the file's embedded signature is intact: the image digest and
    // the signer's signature verify. Trust in the signer's certificate is not
    // decided here, as the machine's root store is not the product's trust.
    // The file is read through `hFile`, open for reading; `path` names it.
    // Call once per object.
    bool Verify(const wchar_t* path, HANDLE hFile) noexcept;

    // The signing certificate of the first signer after a successful Verify;
    // null otherwise.
    PCCERT_CONTEXT SignerCertificate() const noexcept;

    // The signature's message after a successful Verify, for its signer's
    // countersignatures; null otherwise.
    HCRYPTMSG Message() const noexcept;

private:
    SignerResults ProviderResults() const noexcept;

    WINTRUST_FILE_INFO m_file = {};
    WINTRUST_DATA m_data = {};
    bool m_bVerified = false;
    bool m_bStateOpen = false;
};

}  // namespace qeb::security
