#include "publisher_name.h"

#include <optional>
#include <string>

#include "strict_text.h"

namespace qeb::security {

namespace {

bool SubjectAttributeIs(PCCERT_CONTEXT certificate, const char* oid, const std::wstring& expected) noexcept {
    void* type = const_cast<char*>(oid);
    const DWORD units = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);
    // One unit is the terminator alone: the subject has no such attribute.
    if (units <= 1) return false;
    std::wstring name;
    try {
        name.assign(units, L'\0');
    } catch (...) {
        return false;
    }
    if (::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, name.data(), units) != units) {
        return false;
    }
    name.resize(units - 1);
    return name == expected;
}

}  // namespace

bool NamesPublisher(PCCERT_CONTEXT certificate, const PinnedIdentity& identity) noexcept {
    if (certificate == nullptr) return false;
    const std::optional<std::wstring> publisher =
        StrictWide(CP_UTF8, reinterpret_cast<const char*>(identity.publisherUtf8), identity.publisherUtf8Size);
    if (!publisher || publisher->empty()) return false;
    return SubjectAttributeIs(certificate, szOID_COMMON_NAME, *publisher) ||
           SubjectAttributeIs(certificate, szOID_ORGANIZATION_NAME, *publisher);
}

}  // namespace qeb::security
