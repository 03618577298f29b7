#include "file_text.h"

#include <windows.h>

#include <atomic>

#include "unique_handle.h"

namespace qebtest {

std::string ReadFileShared(const std::wstring& path) {
    qeb::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file) return text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        // A last line without its ending may still be being written.
        if (end == std::string::npos) break;
        size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        lines.emplace_back(text, start, stop - start);
        start = end + 1;
    }
    return lines;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    qeb::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::wstring MakeUniqueDirectory(const std::wstring& parent, const std::wstring& prefix) {
    static std::atomic<unsigned> s_counter{0};
    for (;;) {
        const std::wstring path = parent + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++s_counter);
        if (::CreateDirectoryW(path.c_str(), nullptr)) return path + L"\\";
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
}

namespace {

// A drive letter or a "\\" prefix, and more than a drive's root. An empty or
// relative text would name the current directory (the build tree, or the
// sources), which a fixture torn down after a skipped set-up must never
// remove.
bool IsRemovableFolder(const std::wstring& path) {
    const bool bDrive = path.size() > 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool bUnc = path.size() > 3 && path[0] == L'\\' && path[1] == L'\\';
    return bDrive || bUnc;
}

}  // namespace

void RemoveDirectoryTree(const std::wstring& directory) {
    if (!IsRemovableFolder(directory)) return;
    std::wstring base = directory;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    WIN32_FIND_DATAW found = {};
    const HANDLE search = ::FindFirstFileW((base + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = base + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(base.c_str());
}

std::wstring TempDirectory() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
    return std::wstring(path, length);
}

std::wstring ExeDirectory() {
    wchar_t path[4096] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, 4096);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                          nullptr);
    return text;
}

bool UtcMsFromCalendar(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                       unsigned second, unsigned ms, uint64_t* utcMs) {
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(ms);
    FILETIME ft = {};
    if (!::SystemTimeToFileTime(&st, &ft)) return false;
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    *utcMs = (ticks - 116444736000000000ULL) / 10000;  // FILETIME epoch is 1601
    return true;
}

}  // namespace qebtest
