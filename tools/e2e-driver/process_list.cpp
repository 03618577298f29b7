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

bool TerminateProcessId(DWORD processId, UINT exitCode, DWORD timeoutMs) noexcept {
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool bEnded =
        ::TerminateProcess(process, exitCode) && ::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return bEnded;
}

size_t TerminateProcesses(const wchar_t* exeName, DWORD timeoutMs) {
    size_t ended = 0;
    for (const DWORD id : FindProcessIds(exeName)) ended += TerminateProcessId(id, 1, timeoutMs) ? 1 : 0;
    return ended;
}

}  // namespace qeb::scm
