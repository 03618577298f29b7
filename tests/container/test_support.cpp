#include "test_support.h"

#include <sstream>

#include "unique_handle.h"

namespace qebtest {

std::wstring ExeDirW() {
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring MakeTempDir(const std::wstring& purpose) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    static LONG s_counter = 0;
    for (;;) {
        const std::wstring dir = std::wstring(temp) + L"qeb_container_" + purpose + L"_" +
                                 std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                 std::to_wstring(::InterlockedIncrement(&s_counter)) + L"_" +
                                 std::to_wstring(::GetTickCount64());
        if (::CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return dir;
    }
}

void RemoveTree(const std::wstring& dir) {
    if (dir.empty()) return;
    WIN32_FIND_DATAW found = {};
    const HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(dir.c_str());
}

std::string ReadFileText(const std::wstring& path) {
    const qeb::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file) return text;
    char chunk[16384];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    return text;
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
    const qeb::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

unsigned long CountOpenHandles() {
    unsigned long count = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

std::vector<JournalEntry> ReadJournal(const std::wstring& dir, unsigned long pid) {
    std::vector<JournalEntry> entries;
    std::istringstream lines(ReadFileText(dir + L"\\QEBCoreContainer.journal"));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        std::string time;
        JournalEntry entry;
        if (!(fields >> time >> entry.pid >> entry.key)) continue;
        if (pid != 0 && entry.pid != pid) continue;
        // Process ids come round again: only the latest container of this id.
        if (pid != 0 && entry.key == "start") entries.clear();
        std::getline(fields, entry.text);
        if (!entry.text.empty() && entry.text[0] == ' ') entry.text.erase(0, 1);
        entries.push_back(entry);
    }
    return entries;
}

bool WaitForJournal(const std::wstring& dir, unsigned long pid, const std::string& key, unsigned long timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        for (const JournalEntry& entry : ReadJournal(dir, pid)) {
            if (entry.key == key) return true;
        }
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
}

std::string JournalText(const std::vector<JournalEntry>& entries, const std::string& key) {
    for (const JournalEntry& entry : entries) {
        if (entry.key == key) return entry.text;
    }
    return "<no " + key + " record>";
}

ScenarioFile::ScenarioFile(const std::wstring& dir, const std::string& text)
    : m_path(dir + L"\\QEBCoreContainer.scenario") {
    WriteFileText(m_path, text);
}

ScenarioFile::~ScenarioFile() { ::DeleteFileW(m_path.c_str()); }

std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += digits[b >> 4];
        hex += digits[b & 0x0F];
    }
    return hex;
}

HANDLE StartProgram(const std::wstring& exe, const std::wstring& commandLine, DWORD* pid) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    std::wstring line = commandLine;
    if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &created))
        return nullptr;
    ::CloseHandle(created.hThread);
    if (pid != nullptr) *pid = created.dwProcessId;
    return created.hProcess;
}

}  // namespace qebtest
