// Each kind of crash, run again and again: the time from the fault to the
// process's end, the exit code and the size of the dump. The floor is a
// process that ends itself with ExitProcess at the same point.
//
//   crash_bench.exe [runs per kind (5)]
//
// Each run is a copy of this program in a folder of its own (its "logs"
// folder then holds only its own dump), started with "--child <kind>": it
// installs the crash handlers as the service does, notes the time and
// crashes (tests/util/crash_kinds.h).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_report.h"
#include "crash_kinds.h"
#include "qebcore_dbg.h"
#include "qebcore_log.h"

namespace {

using namespace qebbench;

constexpr wchar_t CHILD_FLAG[] = L"--child";

ULONGLONG FileTimeValue(const FILETIME& time) {
    return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart;
}

int RunChild(const std::wstring& kind) {
    initQebLog(1, 1);
    DbgSdkInit();
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    WriteTextFile(ExeDirectory() + L"fault.txt", std::to_string(FileTimeValue(now)));
    if (kind == L"exit") ::ExitProcess(0);
    kit::CrashAs(kind);
    return 1;
}

struct RunResult {
    double faultToEndMs = -1.0;
    DWORD exitCode = 0;
    double dumpKiB = 0.0;
};

RunResult RunOnce(const std::wstring& kind) {
    RunResult result;
    const std::wstring folder = MakeUniqueDirectory(ExeDirectory(), L"crash");
    const std::wstring image = folder + L"QEBCrashBench.exe";
    if (!::CopyFileW((ExeDirectory() + L"crash_bench.exe").c_str(), image.c_str(), FALSE)) return result;
    std::wstring commandLine = L"\"" + image + L"\" " + CHILD_FLAG + L" " + kind;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                         &startup, &created)) {
        ::WaitForSingleObject(created.hProcess, INFINITE);
        FILETIME creation{}, exit{}, kernel{}, user{};
        ::GetProcessTimes(created.hProcess, &creation, &exit, &kernel, &user);
        ::GetExitCodeProcess(created.hProcess, &result.exitCode);
        const std::string fault = ReadTextFile(folder + L"fault.txt");
        if (!fault.empty())
            result.faultToEndMs =
                static_cast<double>(FileTimeValue(exit) - std::strtoull(fault.c_str(), nullptr, 10)) / 10000.0;
        ::CloseHandle(created.hThread);
        ::CloseHandle(created.hProcess);
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((folder + L"logs\\*.dmp").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        result.dumpKiB = static_cast<double>(found.nFileSizeLow) / 1024.0;
        ::FindClose(search);
    }
    RemoveDirectoryTree(folder);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && Narrow(CHILD_FLAG) == argv[1])
        return RunChild(std::wstring(argv[2], argv[2] + std::strlen(argv[2])));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    PrintSection("Crash to process end, each kind of crash");
    double floorMedian = 0.0;
    for (const wchar_t* kind : {L"exit", L"plain", L"abort", L"noexcept", L"overflow", L"corrupt", L"heap"}) {
        std::vector<double> times, sizes;
        DWORD exitCode = 0;
        for (int i = 0; i < runs; ++i) {
            const RunResult result = RunOnce(kind);
            if (result.faultToEndMs >= 0.0) times.push_back(result.faultToEndMs);
            if (result.dumpKiB > 0.0) sizes.push_back(result.dumpKiB);
            exitCode = result.exitCode;
        }
        char code[16] = {};
        std::snprintf(code, sizeof code, "0x%08lX", exitCode);
        const std::string name = Narrow(kind);
        if (name == "exit") {
            floorMedian = Median(times);
            PrintRow("ExitProcess at the fault's point (floor), exit code " + std::string(code), times, "ms");
            continue;
        }
        PrintRow("fault to end, " + name + ", exit code " + code, times, "ms", floorMedian, "ExitProcess");
        if (!sizes.empty()) PrintRow("dump size, " + name, sizes, "KiB");
    }
    PrintNote("the fault's time is the child's clock just before it, the end the exit time GetProcessTimes gives");
    PrintNote("\"heap\": another thread holds the process heap's lock, so no line and no dump: the 15 s deadline");
    return 0;
}
