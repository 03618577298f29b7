#include "process_list.h"

#include <tlhelp32.h>

#include <cwchar>

namespace qeb::scm {

std::vector<DWORD> FindProcessIds(const wchar_t* exeName) {
    std::vector<DWORD> ids;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (std::wcscmp(entry.szExeFile, exeName) == 0) ids.push_back(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
    return ids;
}

bool IsProcessAlive(DWORD processId) noexcept {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return alive;
}

size_t TerminateProcesses(const wchar_t* exeName, DWORD timeoutMs) {
    size_t terminated = 0;
    for (const DWORD id : FindProcessIds(exeName)) {
        const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == nullptr) continue;
        if (::TerminateProcess(process, 1)) {
            ++terminated;
            ::WaitForSingleObject(process, timeoutMs);
        }
        ::CloseHandle(process);
    }
    return terminated;
}

}  // namespace qeb::scm
