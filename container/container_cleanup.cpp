#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

#include "container_constants.h"
#include "container_events.h"
#include "log_line.h"
#include "qeb_core_process.h"
#include "unique_handle.h"

namespace {

constexpr char CLEAN_FUNC_NAME[] = "QEBCoreProcess::CleanContainerProcess";
constexpr char KILL_FUNC_NAME[] = "QEBCoreProcess::KillContainerProcess";
// The longest Win32 path, in characters.
constexpr DWORD IMAGE_PATH_CHARS = 32768;

// Whether the opened process is still the container that was listed: its id
// may have been reused since (a leftover container is typically ending just
// then, and ids come back quickly at boot). Its image's file name must be the
// container's, compared as the listing compares it, and where the system
// gives its start time, it must have started before the list was taken.
bool IsListedContainer(HANDLE process, const FILETIME& listedAt) noexcept {
    try {
        std::vector<wchar_t> image(IMAGE_PATH_CHARS);
        DWORD length = IMAGE_PATH_CHARS;
        if (!::QueryFullProcessImageNameW(process, 0, image.data(), &length)) return false;
        const wchar_t* name = image.data();
        for (const wchar_t* at = name; *at != L'\0'; ++at)
            if (*at == L'\\' || *at == L'/') name = at + 1;
        if (std::wcscmp(name, CONTAINER_EXE_NAME_W) != 0) return false;
        FILETIME created{}, exited{}, kernel{}, user{};
        return !::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
               ::CompareFileTime(&created, &listedAt) <= 0;
    } catch (...) {
        return false;
    }
}

}  // namespace

// Only the file name counts: a copy running from any folder is a leftover
// too, while a name that differs only in letter case is not the container.
void QEBCoreProcess::CleanContainerProcess() {
    FILETIME listedAt{};
    ::GetSystemTimeAsFileTime(&listedAt);
    const qeb::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, CLEAN_FUNC_NAME, "createSnapshot failed");
        return;
    }
    PROCESSENTRY32W entry;
    ::ZeroMemory(&entry, sizeof entry);
    entry.dwSize = sizeof entry;
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, CLEAN_FUNC_NAME, "Error: Process32First ",
                     static_cast<unsigned long>(::GetLastError()));
        return;
    }
    uint32_t cleared = 0;
    do {
        if (std::wcscmp(entry.szExeFile, CONTAINER_EXE_NAME_W) == 0 &&
            KillContainerProcess(entry.th32ProcessID, listedAt))
            ++cleared;
    } while (::Process32NextW(snapshot.get(), &entry));
    const ContainerEventSink* sink = GetContainerEventSink();
    if (cleared > 0 && sink != nullptr) sink->strayContainersEnded(cleared);
}

bool QEBCoreProcess::KillContainerProcess(DWORD processId) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return KillContainerProcess(processId, now);
}

// The termination is requested, not awaited. The access asked for includes
// query information (0x400), which the image name and start time need.
bool QEBCoreProcess::KillContainerProcess(DWORD processId, const FILETIME& listedAt) {
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, KILL_FUNC_NAME,
                 "Killprocess Pid = ", static_cast<unsigned long>(processId));
    const qeb::UniqueHandle process(::OpenProcess(KILL_PROCESS_ACCESS, FALSE, processId));
    if (!process) return false;
    if (!IsListedContainer(process.get(), listedAt)) {
        qeb::LogLine(
            qeb::LogLevel::Info, qeb::kTagService, KILL_FUNC_NAME,
            "Killprocess spared, no longer the listed container Pid = ", static_cast<unsigned long>(processId));
        return false;
    }
    ::TerminateProcess(process.get(), 0);
    return true;
}
