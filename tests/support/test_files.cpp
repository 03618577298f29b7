#include "test_files.h"

#include <atomic>

namespace qebtest {

TempDir::TempDir(const std::wstring& prefix) {
    static std::atomic<unsigned> s_counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, base);
    m_path = std::wstring(base) + prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(::GetTickCount64()) + L"_" + std::to_wstring(++s_counter);
    m_bCreated = ::CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
}

TempDir::~TempDir() { RemoveTree(m_path); }

void RemoveTree(const std::wstring& dir) {
    for (const std::wstring& name : ListFiles(dir, L"*")) {
        const std::wstring path = dir + L"\\" + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(path);
        } else {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        }
    }
    ::RemoveDirectoryW(dir.c_str());
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadWholeFile(const std::wstring& path) {
    const qeb::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    return content;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
    const qeb::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::vector<std::wstring> ListFiles(const std::wstring& directory, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    const HANDLE find = ::FindFirstFileW((directory + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

std::wstring ExeDir() {
    wchar_t path[MAX_PATH * 4] = {};
    const std::wstring text(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4));
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

std::string Narrow(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

qeb::UniqueHandle StartProgram(const std::wstring& exe, const std::wstring& commandLine, DWORD* pid) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &created))
        return qeb::UniqueHandle();
    ::CloseHandle(created.hThread);
    if (pid != nullptr) *pid = created.dwProcessId;
    return qeb::UniqueHandle(created.hProcess);
}

ChildResult RunChild(const std::wstring& exe, const std::wstring& commandLine, DWORD timeoutMs) {
    ChildResult result;
    const qeb::UniqueHandle process = StartProgram(exe, commandLine, &result.processId);
    result.bStarted = process.valid();
    if (!process) return result;
    result.bEnded = ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    if (result.bEnded)
        ::GetExitCodeProcess(process.get(), &result.exitCode);
    else
        ::TerminateProcess(process.get(), 1);
    return result;
}

}  // namespace qebtest
