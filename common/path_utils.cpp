#include "path_utils.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "module_path.h"
#include "strict_text.h"

namespace qeb {

namespace {
constexpr size_t kDriveBytes = 3;
constexpr size_t kDirectoryBytes = 256;
constexpr size_t kJoinedBytes = 260;
}  // namespace

std::string GetExeDirectory() {
    // Better no directory than a wrong one: a path that cannot be read in
    // full, or has a character the code page cannot express, gives none.
    const std::wstring path = ModulePath();
    const std::optional<std::string> narrow = StrictNarrow(CP_THREAD_ACP, path.c_str(), path.size());
    return narrow ? DirectoryOfPath(narrow->c_str()) : std::string();
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
    return StrictWide(codePage, text, std::strlen(text));
}

}  // namespace qeb
