#include "package_copy.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

namespace qebtest {

namespace {

constexpr UINT PID_PACKAGE_CODE = 9;  // summary information: revision number

// Closes an MSIHANDLE exactly once.
class MsiHandle {
public:
    MsiHandle() noexcept = default;
    ~MsiHandle() {
        if (m_handle != 0) ::MsiCloseHandle(m_handle);
    }
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    MSIHANDLE get() const noexcept { return m_handle; }
    MSIHANDLE* put() noexcept { return &m_handle; }

private:
    MSIHANDLE m_handle = 0;
};

std::wstring NewGuidText() {
    GUID guid = {};
    wchar_t text[40] = {};
    if (FAILED(::CoCreateGuid(&guid)) || ::StringFromGUID2(guid, text, 40) == 0) return {};
    return text;
}

}  // namespace

std::wstring MakeRebuiltCopy(const std::wstring& package, const std::wstring& copy) {
    if (!::CopyFileW(package.c_str(), copy.c_str(), FALSE)) return {};
    const std::wstring productCode = NewGuidText();
    const std::wstring packageCode = NewGuidText();
    if (productCode.empty() || packageCode.empty()) return {};

    MsiHandle database;
    if (::MsiOpenDatabaseW(copy.c_str(), MSIDBOPEN_TRANSACT, database.put()) != ERROR_SUCCESS) return {};
    const std::wstring query =
        L"UPDATE `Property` SET `Value` = '" + productCode + L"' WHERE `Property` = 'ProductCode'";
    MsiHandle view;
    if (::MsiDatabaseOpenViewW(database.get(), query.c_str(), view.put()) != ERROR_SUCCESS) return {};
    if (::MsiViewExecute(view.get(), 0) != ERROR_SUCCESS) return {};

    MsiHandle summary;
    if (::MsiGetSummaryInformationW(database.get(), nullptr, 1, summary.put()) != ERROR_SUCCESS) return {};
    if (::MsiSummaryInfoSetPropertyW(summary.get(), PID_PACKAGE_CODE, VT_LPSTR, 0, nullptr, packageCode.c_str()) !=
        ERROR_SUCCESS) {
        return {};
    }
    if (::MsiSummaryInfoPersist(summary.get()) != ERROR_SUCCESS) return {};
    if (::MsiDatabaseCommit(database.get()) != ERROR_SUCCESS) return {};
    return productCode;
}

}  // namespace qebtest
