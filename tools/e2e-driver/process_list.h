#pragma once
// Finds and ends processes by executable file name (exact, case kept).

#include <windows.h>

#include <vector>

namespace qeb::scm {

inline constexpr wchar_t kContainerFileName[] = L"QEBCoreContainer.exe";

std::vector<DWORD> FindProcessIds(const wchar_t* exeName);
bool IsProcessAlive(DWORD processId) noexcept;
// Terminates every process of that name and waits up to timeoutMs for each
// to end; returns how many were terminated.
size_t TerminateProcesses(const wchar_t* exeName, DWORD timeoutMs);

}  // namespace qeb::scm
