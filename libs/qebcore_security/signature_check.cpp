#include "signature_check.h"

#include "pinned_chain.h"
#include "publisher_name.h"
#include "trust_state.h"

namespace qeb::security {

bool CheckFileSignature(const wchar_t* path, const PinnedIdentity& identity,
                        PublisherRule publisherRule) noexcept {
    TrustState trust;
    if (!trust.Verify(path)) return false;
    const PCCERT_CONTEXT signer = trust.SignerCertificate();
    if (!ChainsToPinnedRoot(signer, identity)) return false;
    return publisherRule == PublisherRule::Any || NamesPublisher(signer, identity);
}

}  // namespace qeb::security
