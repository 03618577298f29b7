// Runs one container launch in a folder of its own, beside whatever container
// variant a test put there, logging to <folder>\logs like the service.
//   launch_probe.exe launch          launch, then end the container
//   launch_probe.exe orphan          launch and leave the container running
//   launch_probe.exe swap <file>     launch while another thread keeps trying
//                                    to open the container for writing, to
//                                    rename, delete or replace it with <file>
// Writes probe_result.txt beside itself; exits 0 when a container was
// launched, 1 when not.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "container_support.h"
#include "qeb_core_process.h"
#include "qebcore_log.h"
#include "thread_manager.h"

namespace {

// How long the watcher lets the launch run before its first attempt: well
// past the pipes and the opening of the file, well before the checks end.
constexpr DWORD WATCH_DELAY_MS = 30;
constexpr DWORD READY_WAIT_MS = 10000;

std::wstring s_dir;

unsigned long long PreciseNow() {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

struct Attempt {
    const char* op;
    unsigned long long start, end;
    bool ok;
    DWORD error;
};

template <typename Op>
Attempt Try(const char* name, Op op) {
    Attempt a{name, PreciseNow(), 0, false, 0};
    a.ok = op();
    a.error = a.ok ? 0 : ::GetLastError();
    a.end = PreciseNow();
    return a;
}

void Watch(const std::wstring& replacementSource, std::atomic<bool>& stop, std::vector<Attempt>& attempts) {
    const std::wstring container = s_dir + L"QEBCoreContainer.exe";
    const std::wstring moved = s_dir + L"moved.exe";
    const std::wstring swapIn = s_dir + L"swap_in.exe";
    ::CopyFileW(replacementSource.c_str(), swapIn.c_str(), FALSE);
    ::Sleep(WATCH_DELAY_MS);
    while (!stop) {
        attempts.push_back(Try("open-write", [&] {
            const HANDLE h = ::CreateFileW(container.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) return false;
            ::CloseHandle(h);
            return true;
        }));
        attempts.push_back(Try("rename", [&] {
            if (!::MoveFileExW(container.c_str(), moved.c_str(), 0)) return false;
            ::MoveFileExW(moved.c_str(), container.c_str(), 0);
            return true;
        }));
        attempts.push_back(Try("delete", [&] { return ::DeleteFileW(container.c_str()) != FALSE; }));
        attempts.push_back(Try("replace", [&] {
            return ::MoveFileExW(swapIn.c_str(), container.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        }));
        ::Sleep(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    s_dir = qebtest::ExeDirectory();
    const std::string mode = argc > 1 ? argv[1] : "launch";

    initQebLog(10, 10);
    const HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    QEBCoreProcess::SetContainerReadyEvent(ready);

    std::atomic<bool> stop{false};
    std::vector<Attempt> attempts;
    attempts.reserve(1 << 16);
    std::thread watcher;
    if (mode == "swap" && argc > 2) {
        const std::string name = argv[2];  // ASCII
        watcher = std::thread(Watch, s_dir + std::wstring(name.begin(), name.end()), std::ref(stop), std::ref(attempts));
    }
    const unsigned long long launchStart = PreciseNow();
    const HANDLE container = QEBCoreProcess::GetInstance()->CreateContainerProcess();
    const unsigned long long launchEnd = PreciseNow();
    if (watcher.joinable()) {
        ::Sleep(50);
        stop = true;
        watcher.join();
    }

    // The container journals its launch facts, "stderr" last, around the time
    // it reports ready; the probe stays its parent until they are written.
    const bool bReady = container != nullptr && ::WaitForSingleObject(ready, READY_WAIT_MS) == WAIT_OBJECT_0 &&
                        qebtest::WaitForJournal(s_dir.substr(0, s_dir.size() - 1), ::GetProcessId(container),
                                                "stderr", READY_WAIT_MS);
    std::FILE* out = _wfopen((s_dir + L"probe_result.txt").c_str(), L"w");
    if (out != nullptr) {
        std::fprintf(out, "launch-start %llu\nlaunch-end %llu\n", launchStart, launchEnd);
        if (container != nullptr) {
            FILETIME created, exited, kernel, user;
            ::GetProcessTimes(container, &created, &exited, &kernel, &user);
            std::fprintf(out, "launched %lu\ncreated %llu\n", ::GetProcessId(container),
                         (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
        } else {
            std::fprintf(out, "refused\n");
        }
        std::fprintf(out, "ready %d\n", bReady ? 1 : 0);
        for (const Attempt& a : attempts)
            std::fprintf(out, "attempt %s %llu %llu %d %lu\n", a.op, a.start, a.end, a.ok ? 1 : 0, a.error);
        std::fclose(out);
    }

    if (container != nullptr && mode != "orphan") {
        ::TerminateProcess(container, 0);
        ::WaitForSingleObject(container, 5000);
    }
    VelantThread::ThreadManager::GetInstance()->WaitAll();
    FlushQebLogFile();
    return container != nullptr ? 0 : 1;
}
