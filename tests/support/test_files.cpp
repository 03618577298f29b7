#include "test_files.h"

namespace qebtest {

TempDir::TempDir(const std::wstring& prefix) : m_path(MakeUniqueDirectory(TempDirectory(), prefix)) {
    if (!m_path.empty()) m_path.pop_back();
}

// An empty path would name the working folder.
TempDir::~TempDir() {
    if (!m_path.empty()) RemoveDirectoryTree(m_path);
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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

std::wstring FromUtf8(const char* text) {
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (needed <= 1) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &out[0], needed);
    out.resize(static_cast<size_t>(needed) - 1);
    return out;
}

std::optional<std::string> ToAnsi(const std::wstring& wide) {
    BOOL usedDefault = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, nullptr,
                                           &usedDefault);
    if (size <= 0 || usedDefault) return std::nullopt;
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, narrow.data(), size, nullptr, &usedDefault);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs) {
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;; ::Sleep(pollMs)) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
    }
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
