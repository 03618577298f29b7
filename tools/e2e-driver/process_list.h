#pragma once
// Finds and ends processes by executable file name (exact, case kept).

#include <windows.h>

#include <vector>

namespace qeb::scm {

inline constexpr wchar_t kContainerFileName[] = L"QEBCoreContainer.exe";

std::vector<DWORD> FindProcessIds(const wchar_t* exeName);
bool IsProcessAlive(DWORD processId) noexcept;
// Terminates the process and waits up to timeoutMs for it to end; whether it
// ended.
bool TerminateProcessId(DWORD processId, UINT exitCode, DWORD timeoutMs) noexcept;
// The same for every process of that name; how many ended.
size_t TerminateProcesses(const wchar_t* exeName, DWORD timeoutMs);

}  // namespace qeb::scm
