#pragma once
// What an installed QEBCore leaves on the machine: products, folders and
// processes, looked up through the system's own interfaces.

#include <windows.h>

#include <msi.h>

#include <string>
#include <vector>

namespace qebtest {

// Product codes of every installed package with this upgrade code.
std::vector<std::wstring> InstalledProducts(const std::wstring& upgradeCode);

// Product codes of every installed product with this name and publisher,
// whether or not its upgrade code is still registered.
std::vector<std::wstring> InstalledProductsNamed(const std::wstring& name, const std::wstring& publisher);

// MsiQueryProductStateW of one product code.
INSTALLSTATE ProductState(const std::wstring& productCode);

// True when the process runs under Wine rather than Windows.
bool RunningUnderWine();

// "<Program Files>\<company>\<product>", where the package installs.
std::wstring InstallFolder(const std::wstring& company, const std::wstring& product);

struct RunningProcess {
    DWORD processId = 0;
    DWORD parentId = 0;
};

// Every process whose executable has this file name.
std::vector<RunningProcess> ProcessesNamed(const wchar_t* exeName);

// Full path of a running process's executable; empty if it cannot be read.
std::wstring ProcessImagePath(DWORD processId);

}  // namespace qebtest
