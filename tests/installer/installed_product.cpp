#include "installed_product.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cwchar>

#include "unique_handle.h"

namespace qebtest {

namespace {

constexpr size_t GUID_TEXT_CHARS = 39;

}  // namespace

std::vector<std::wstring> InstalledProducts(const std::wstring& upgradeCode) {
    std::vector<std::wstring> products;
    for (DWORD index = 0;; ++index) {
        wchar_t product[GUID_TEXT_CHARS] = {};
        if (::MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, index, product) != ERROR_SUCCESS) break;
        products.emplace_back(product);
    }
    return products;
}

namespace {

std::wstring ProductProperty(const wchar_t* productCode, const wchar_t* property) {
    wchar_t value[256] = {};
    DWORD length = 256;
    if (::MsiGetProductInfoW(productCode, property, value, &length) != ERROR_SUCCESS) return {};
    return value;
}

}  // namespace

std::vector<std::wstring> InstalledProductsNamed(const std::wstring& name, const std::wstring& publisher) {
    std::vector<std::wstring> products;
    for (DWORD index = 0;; ++index) {
        wchar_t product[GUID_TEXT_CHARS] = {};
        if (::MsiEnumProductsW(index, product) != ERROR_SUCCESS) break;
        if (ProductProperty(product, INSTALLPROPERTY_INSTALLEDPRODUCTNAME) == name &&
            ProductProperty(product, INSTALLPROPERTY_PUBLISHER) == publisher) {
            products.emplace_back(product);
        }
    }
    return products;
}

INSTALLSTATE ProductState(const std::wstring& productCode) {
    return ::MsiQueryProductStateW(productCode.c_str());
}

bool RunningUnderWine() {
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

std::wstring InstallFolder(const std::wstring& company, const std::wstring& product) {
    PWSTR programFiles = nullptr;
    std::wstring folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &programFiles))) {
        folder = std::wstring(programFiles) + L"\\" + company + L"\\" + product;
    }
    ::CoTaskMemFree(programFiles);
    return folder;
}

std::vector<RunningProcess> ProcessesNamed(const wchar_t* exeName) {
    std::vector<RunningProcess> found;
    const qeb::UniqueHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot) return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL bMore = ::Process32FirstW(hSnapshot.get(), &entry); bMore; bMore = ::Process32NextW(hSnapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) found.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
    }
    return found;
}

std::wstring ProcessImagePath(DWORD processId) {
    const qeb::UniqueHandle hProcess(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!hProcess) return {};
    std::wstring path(MAX_PATH * 4, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (!::QueryFullProcessImageNameW(hProcess.get(), 0, &path[0], &length)) return {};
    path.resize(length);
    return path;
}

}  // namespace qebtest
