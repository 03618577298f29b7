#include "path_utils.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace qeb {

namespace {
constexpr DWORD kModulePathBytes = 2048;
constexpr size_t kMaxConvertUnits = 0x3FFFFFFF;
constexpr size_t kDriveBytes = 3;
constexpr size_t kDirectoryBytes = 256;
constexpr size_t kJoinedBytes = 260;
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
    if (fullPath == nullptr) return {};
    // _splitpath_s hands a component too long for its buffer to the C
    // runtime's invalid-parameter handler, which under the Microsoft runtime
    // ends the process; such a path is refused before it gets there. Only the
    // drive and directory are wanted, so no buffer is given for the rest.
    const char* lastSeparator = std::strrchr(fullPath, '\\');
    const char* lastSlash = std::strrchr(fullPath, '/');
    if (lastSlash != nullptr && (lastSeparator == nullptr || lastSlash > lastSeparator)) lastSeparator = lastSlash;
    const size_t driveLength = (fullPath[0] != '\0' && fullPath[1] == ':') ? 2 : 0;
    const size_t directoryLength =
        lastSeparator == nullptr ? 0 : static_cast<size_t>(lastSeparator - fullPath) + 1 - driveLength;
    if (directoryLength >= kDirectoryBytes) return {};

    char drive[kDriveBytes] = {};
    char dir[kDirectoryBytes] = {};
    if (_splitpath_s(fullPath, drive, sizeof drive, dir, sizeof dir, nullptr, 0, nullptr, 0) != 0) return {};

    char joined[kJoinedBytes] = {};
    if (_makepath_s(joined, sizeof joined, drive, dir, "", "") != 0) return {};
    return std::string(joined);
}

std::optional<std::wstring> NarrowToWide(const char* text, unsigned int codePage) {
    if (text == nullptr) return std::nullopt;
    const size_t units = std::strlen(text) + 1;
    if (units > kMaxConvertUnits) return std::nullopt;

    // No narrow character ever needs more than one UTF-16 unit.
    std::wstring wide(units, L'\0');
    const int converted = ::MultiByteToWideChar(codePage, 0, text, -1, wide.data(), static_cast<int>(units));
    if (converted == 0) return std::nullopt;
    wide.resize(static_cast<size_t>(converted) - 1);  // drop the terminator
    return wide;
}

}  // namespace qeb
