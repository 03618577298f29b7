// qeb_svcctl: drives the Service Control Manager for the demo and for hand
// checks. Every line it prints starts with a UTC time.
//
//   qeb_svcctl install <path of QEBCoreService.exe>
//   qeb_svcctl start [timeout-ms]  start, then wait for RUNNING
//   qeb_svcctl stop [timeout-ms]   stop, then wait for STOPPED
//   qeb_svcctl status | delete
//   qeb_svcctl watch [max-ms]      print every status change until the
//                                  service is deleted (or max-ms passed)
//   qeb_svcctl containers          list running QEBCoreContainer.exe ids
//   qeb_svcctl kill-containers     terminate them

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "event_record.h"
#include "process_list.h"
#include "scm_client.h"
#include "status_watch.h"

namespace {

using namespace qeb::scm;

// printf-style on purpose: the formats are literals in this file and the
// arguments plain numbers and C strings, each cast to the type its format names.
void Say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    std::printf("%s ", FormatUtcMs(UtcNowMs()).c_str());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

int Report(const char* what, DWORD error) {
    if (error == ERROR_SUCCESS) {
        Say("%s: ok", what);
        return 0;
    }
    Say("%s: failed, error %lu", what, static_cast<unsigned long>(error));
    return 1;
}

int PrintStatus() {
    SERVICE_STATUS_PROCESS status = {};
    const DWORD error = QueryStatus(&status);
    if (error != ERROR_SUCCESS) return Report("status", error);
    Say("status: %s", DescribeStatus(status).c_str());
    return 0;
}

int Start(DWORD timeoutMs) {
    const uint64_t begin = UtcNowMs();
    const DWORD error = StartNamedService();
    if (error != ERROR_SUCCESS) return Report("start", error);
    Say("start: StartServiceW returned after %llu ms", static_cast<unsigned long long>(UtcNowMs() - begin));
    if (!WaitForServiceState(SERVICE_RUNNING, timeoutMs)) {
        Say("start: not RUNNING within %lu ms", static_cast<unsigned long>(timeoutMs));
        PrintStatus();
        return 1;
    }
    Say("start: RUNNING %llu ms after the request", static_cast<unsigned long long>(UtcNowMs() - begin));
    return 0;
}

int Stop(DWORD timeoutMs) {
    const uint64_t begin = UtcNowMs();
    SERVICE_STATUS status = {};
    const DWORD error = SendControl(SERVICE_CONTROL_STOP, &status);
    if (error != ERROR_SUCCESS) return Report("stop", error);
    Say("stop: ControlService returned state %s after %llu ms", ServiceStateName(status.dwCurrentState),
        static_cast<unsigned long long>(UtcNowMs() - begin));
    if (!WaitForServiceState(SERVICE_STOPPED, timeoutMs)) return Report("stop: waiting for STOPPED", WAIT_TIMEOUT);
    Say("stop: STOPPED %llu ms after the request", static_cast<unsigned long long>(UtcNowMs() - begin));
    return 0;
}

int Watch(DWORD maxMs) {
    StatusWatcher watcher(2);
    watcher.Start();
    const ULONGLONG deadline = ::GetTickCount64() + maxMs;
    size_t printed = 0;
    bool bSeen = false;
    while (::GetTickCount64() < deadline) {
        const auto changes = watcher.Changes();
        for (; printed < changes.size(); ++printed) {
            std::printf("%s\n", DescribeSample(changes[printed]).c_str());
            std::fflush(stdout);
            bSeen = true;
        }
        SERVICE_STATUS_PROCESS status = {};
        if (bSeen && QueryStatus(&status) == ERROR_SERVICE_DOES_NOT_EXIST) {
            Say("watch: service deleted");
            break;
        }
        ::Sleep(20);
    }
    watcher.Stop();
    return 0;
}

int Containers() {
    const auto ids = FindProcessIds(kContainerFileName);
    std::string list;
    for (const DWORD id : ids) list += " " + std::to_string(id);
    Say("containers:%s", ids.empty() ? " none" : list.c_str());
    return 0;
}

// The events reported so far, as Wine recorded them in the session's log.
int Events(const std::wstring& path) {
    const auto events = ReadWineEvents(path, 0);
    for (const std::string& event : events) Say("event %s", event.c_str());
    if (events.empty()) Say("events: none recorded");
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qeb_svcctl install <exe> | start [timeout-ms] | stop [timeout-ms] | status | delete |\n"
                 "                  watch [max-ms] | containers | kill-containers | events <session log>\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    const DWORD number = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 0;

    if (command == L"install" && argc == 3) return Report("install", InstallService(argv[2]));
    if (command == L"start") return Start(number != 0 ? number : 15000);
    if (command == L"stop") return Stop(number != 0 ? number : 10000);
    if (command == L"status") return PrintStatus();
    if (command == L"delete") return Report("delete", DeleteNamedService());
    if (command == L"watch") return Watch(number != 0 ? number : 600000);
    if (command == L"containers") return Containers();
    if (command == L"events" && argc == 3) return Events(argv[2]);
    if (command == L"kill-containers") {
        Say("kill-containers: %zu terminated", TerminateProcesses(kContainerFileName, 5000));
        return 0;
    }
    return Usage();
}
