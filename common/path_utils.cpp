#include "path_utils.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace qeb {

namespace {
constexpr DWORD kModulePathBytes = 2048;
constexpr size_t kMaxConvertUnits = 0x3FFFFFFF;
}  // namespace

std::string GetExeDirectory() {
    char path[kModulePathBytes] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, kModulePathBytes);
    // A full buffer means the path was truncated: better no directory than a
    // wrong one.
    if (length == 0 || length >= kModulePathBytes) return {};
    return DirectoryOfPath(path);
}

std::string DirectoryOfPath(const char* fullPath) {
    char drive[3] = {};
    char dir[256] = {};
    char fname[256] = {};
    char ext[256] = {};
    if (_splitpath_s(fullPath, drive, sizeof drive, dir, sizeof dir, fname, sizeof fname, ext, sizeof ext) != 0)
        return {};

    char joined[260] = {};
    if (_makepath_s(joined, sizeof joined, drive, dir, "", "") != 0) return {};
    return std::string(joined);
}

std::optional<std::wstring> NarrowToWide(const char* text, unsigned int codePage) {
    if (text == nullptr) return std::nullopt;
    const size_t units = std::strlen(text) + 1;
    if (units > kMaxConvertUnits) return std::nullopt;

    // No narrow character ever needs more than one UTF-16 unit.
    std::wstring wide(units, L'\0');
    const int converted =
        ::MultiByteToWideChar(codePage, 0, text, -1, wide.data(), static_cast<int>(units));
    if (converted == 0) return std::nullopt;
    wide.resize(static_cast<size_t>(converted) - 1);  // drop the terminator
    return wide;
}

}  // namespace qeb
