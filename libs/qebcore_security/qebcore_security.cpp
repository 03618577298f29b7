#include "qebcore_security.h"

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

#include "module_path.h"
#include "pinned_identity.h"
#include "signature_check.h"
#include "strict_text.h"

using qeb::security::CheckFileSignature;
using qeb::security::ProductIdentity;
using qeb::security::PublisherRule;
using qeb::security::SignatureEvaluation;

bool VerifyEmbeddedSignature(const char* path, HANDLE hHeldFile) noexcept {
    SignatureEvaluation unused;
    return VerifyEmbeddedSignature(path, hHeldFile, unused);
}

bool VerifyEmbeddedSignature(const char* path, HANDLE hHeldFile, SignatureEvaluation& evaluation) noexcept {
    if (path == nullptr) return false;
    const std::optional<std::wstring> widePath = qeb::StrictWide(CP_THREAD_ACP, path, std::strlen(path));
    if (!widePath || widePath->empty()) return false;
    return CheckFileSignature(widePath->c_str(), hHeldFile, ProductIdentity(), PublisherRule::Any, nullptr,
                              &evaluation);
}

bool VerifyVelantDigitalSignature(const wchar_t* path, HANDLE hHeldFile) noexcept {
    return CheckFileSignature(path, hHeldFile, ProductIdentity(), PublisherRule::MustMatch);
}

bool VerifyVelantDigitalSignature(const wchar_t* path, HANDLE hHeldFile, const SignatureEvaluation& embedded) noexcept {
    return CheckFileSignature(path, hHeldFile, ProductIdentity(), PublisherRule::MustMatch, &embedded);
}

void WarmUpSignatureChecks() noexcept {
    const std::wstring self = qeb::ModulePath();
    if (!self.empty()) CheckFileSignature(self.c_str(), nullptr, ProductIdentity(), PublisherRule::MustMatch);
}
