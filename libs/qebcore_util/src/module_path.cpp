#include "module_path.h"

namespace qeb {

namespace {
// Windows' own bound on a path with the \\?\ prefix, terminator included.
constexpr DWORD kLongestPath = 32768;
}  // namespace

std::wstring ModulePath(HMODULE module, DWORD firstChars) noexcept {
    try {
        std::wstring path(firstChars > 0 ? firstChars : 1, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0) return {};
            // A full buffer is how the call tells of a truncated path.
            if (length < path.size()) {
                path.resize(length);
                return path;
            }
            if (path.size() >= kLongestPath) return {};
            path.resize(path.size() * 2);
        }
    } catch (...) {
        return {};
    }
}

}  // namespace qeb
