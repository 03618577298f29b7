#include "qebcore_security.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "pinned_identity.h"
#include "signature_check.h"
#include "wide_text.h"

using qeb::security::CheckFileSignature;
using qeb::security::ProductIdentity;
using qeb::security::PublisherRule;

bool VerifyEmbeddedSignature(const char* path) noexcept {
    if (path == nullptr) return false;
    std::wstring widePath;
    if (!qeb::security::ToWide(CP_ACP, path, std::strlen(path), widePath)) return false;
    return CheckFileSignature(widePath.c_str(), ProductIdentity(), PublisherRule::Any);
}

bool VerifyVelantDigitalSignature(const wchar_t* path) noexcept {
    return CheckFileSignature(path, ProductIdentity(), PublisherRule::MustMatch);
}
