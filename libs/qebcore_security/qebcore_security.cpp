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

bool VerifyEmbeddedSignature(const char* path, HANDLE hHeldFile) noexcept {
    if (path == nullptr) return false;
    std::wstring widePath;
    if (!qeb::security::ToWide(CP_THREAD_ACP, path, std::strlen(path), widePath)) return false;
    return CheckFileSignature(widePath.c_str(), hHeldFile, ProductIdentity(), PublisherRule::Any);
}

bool VerifyVelantDigitalSignature(const wchar_t* path, HANDLE hHeldFile) noexcept {
    return CheckFileSignature(path, hHeldFile, ProductIdentity(), PublisherRule::MustMatch);
}

void WarmUpSignatureChecks() noexcept {
    try {
        std::wstring self(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
            if (length == 0) return;
            if (length < self.size()) {
                self.resize(length);
                break;
            }
            self.resize(self.size() * 2);
        }
        CheckFileSignature(self.c_str(), nullptr, ProductIdentity(), PublisherRule::MustMatch);
    } catch (...) {
    }
}
