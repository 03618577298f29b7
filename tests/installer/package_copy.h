#pragma once
// A copy of an MSI package that Windows Installer takes for a rebuild of it.

#include <string>

namespace qebtest {

// Copies the package and gives the copy a new product code and package code,
// as every build of the package gets. The copy's signature no longer
// matches, which Windows Installer accepts for a silent install. Returns the
// new product code, or an empty text on failure.
std::wstring MakeRebuiltCopy(const std::wstring& package, const std::wstring& copy);

}  // namespace qebtest
