// QEBCoreService.exe registered with the prefix's Service Control Manager,
// the reference container beside it. Every scenario checks each report the
// manager passes on field by field, stops the service through the checked
// stop, and then checks, for each container it caused, the launch contract
// the container journalled and that no thread had to be killed at stop. A
// failing scenario prints the states the manager reported, the service log
// and the journal.

#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "event_record.h"
#include "expected_reports.h"
#include "process_list.h"
#include "scm_client.h"
#include "service_log.h"
#include "status_watch.h"
#include "test_kit.h"
#include "unique_handle.h"

namespace {

using namespace kit;
using qeb::scm::StatusSample;
using Container = std::map<std::string, Record>;  // a container's first record of each key

// Not the container: a name that differs in case, one that only begins like it.
constexpr const wchar_t* kLookAlikes[] = {L"qebcorecontainer.exe", L"QEBCoreContainer2.exe"};
constexpr char kVerified[] = "ContainerProcess exe verify success(QEBCoreProcess::CreateContainerProcess)";
constexpr char kReadyRead[] = "get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)";
constexpr char kExited[] = "Container process exit.(svcThreadFun)";
constexpr char kRestartFailed[] = "Restart ContainerProcessr fail(svcThreadFun)";
constexpr char kFirstFailed[] = "server CreateContainerProcess failed(service_main)";
constexpr char kMainEnd[] = "QEBCoreService.main end and exit.(main)";
constexpr char kAbandoned[] =
    "ContainerProcess launch abandoned, exit signal received(QEBCoreProcess::CreateContainerProcess)";

// Tolerances over the specified times, from the spread measured on the
// 2-core machines under ctest -j2 (figures beside each).
// The container's end seen to the next launch's checks passed, or one
// refusal after both checks to the next: 2000 ms plus both checks (measured
// 2040-2181 ms quiet; with the lint and a second suite beside on the 2 cores,
// refusals up to 2316 ms and the relaunch after the long pause 62451 ms; in
// CI, the lint beside the suite, one refusal 2827 ms). A pause of 3000 ms
// still fails it.
constexpr long long kRelaunchSlackMs = 950;
// Stop request to STOPPED seen: measured 15-110 ms; 277 ms during a check.
constexpr long long kStopBoundMs = 500;

using Report = SERVICE_STATUS;

// A container's "handles" record, "<value>:<type>:<access>" a handle (hex),
// as value -> "<type>:<access>".
std::map<unsigned long long, std::string> ParseHandles(const std::string& text) {
    std::map<unsigned long long, std::string> handles;
    std::istringstream in(text);
    for (std::string entry; in >> entry;) {
        const size_t first = entry.find(':');
        if (first != std::string::npos)
            handles[std::stoull(entry.substr(0, first), nullptr, 16)] = entry.substr(first + 1);
    }
    return handles;
}

class ServiceE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Cleanup()) << "a service or container of an earlier run could not be removed";
        m_dir = L"C:\\qeb-e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(::GetTickCount64()) + L"\\";
        ASSERT_TRUE(::CreateDirectoryW(m_dir.c_str(), nullptr));
        ASSERT_TRUE(Copy(L"QEBCoreService.exe", L"QEBCoreService.exe"));
        ASSERT_FALSE(m_servicesLog.empty()) << "no WINEPREFIX: the events are read from Wine's services log";
        std::error_code absent;
        m_eventsFrom = static_cast<size_t>(std::filesystem::file_size(m_servicesLog, absent));
        if (absent) m_eventsFrom = 0;
    }

    void TearDown() override {
        // Every scenario ends with the checked stop, so the launch checks
        // below also cover what the stop left behind.
        SERVICE_STATUS_PROCESS status = {};
        if (m_watch && qeb::scm::QueryStatus(&status) == 0 && status.dwCurrentState != SERVICE_STOPPED) Stop();
        CheckEveryLaunch();
        if (m_watch) m_watch->Stop();
        if (HasFailure()) {
            std::string states;
            for (const StatusSample& s : m_watch ? m_watch->Changes() : std::vector<StatusSample>{})
                states += qeb::scm::DescribeSample(s) + "\n";
            std::printf("---- SCM states\n%s%s---- service log (tail)\n%s---- journal\n%s", states.c_str(),
                        m_watch ? m_watch->DescribePollFailures().c_str() : "", Tail(Log(), 40).c_str(),
                        Tail(Journal(), 60).c_str());
        }
        EXPECT_TRUE(Cleanup()) << "the service or a container could not be removed";
        if (!HasFailure()) {
            kit::WaitFor(
                [this] {  // the service's process may hold its files a moment longer
                    std::error_code ignored;
                    std::filesystem::remove_all(m_dir, ignored);
                    return !std::filesystem::exists(m_dir, ignored);
                },
                5000);
        }
    }

    static bool Cleanup() {
        bool bClean = qeb::scm::RemoveServiceQuietly(10000);
        for (const wchar_t* name : {qeb::scm::kContainerFileName, kLookAlikes[0], kLookAlikes[1]}) {
            qeb::scm::TerminateProcesses(name, 5000);
            bClean = bClean && qeb::scm::FindProcessIds(name).empty();
        }
        return bClean;
    }

    bool Copy(const std::wstring& from, const std::wstring& to) const {
        return ::CopyFileW((kit::ExeDir() + from).c_str(), (m_dir + to).c_str(), FALSE) != FALSE;
    }
    void Scenario(const std::string& text) const {
        std::ofstream(std::filesystem::path(m_dir + L"QEBCoreContainer.scenario")) << text;
    }

    // A container started by hand, once it journalled its console (its last
    // launch record): killed before that, Wine's console host of it lives on
    // with this program's output, and ctest waits for it.
    static DWORD StartSettled(const std::wstring& exe) {
        const DWORD pid = kit::StartProgram(exe);
        const LogFile journal(std::filesystem::path(exe).parent_path() / L"QEBCoreContainer.journal", true);
        EXPECT_TRUE(kit::WaitFor(
            [&] {
                const auto records = journal.Records();
                return std::any_of(records.begin(), records.end(),
                                   [&](const Record& r) { return r.processId == pid && r.key == "console-window"; });
            },
            10000))
            << "pid " << pid;
        return pid;
    }

    void Start() {
        if (!m_watch) {
            ASSERT_EQ(qeb::scm::InstallService(m_dir + L"QEBCoreService.exe"), 0u);
            m_watch = std::make_unique<qeb::scm::StatusWatcher>(2);
            m_watch->Start();
        }
        ASSERT_EQ(qeb::scm::StartNamedService(), 0u);
    }
    // The first change to `state` recorded at or after index `from`.
    StatusSample WaitState(DWORD state, DWORD timeoutMs, size_t from = 0) const {
        StatusSample found;
        EXPECT_TRUE(m_watch->WaitForState(state, timeoutMs, &found, from))
            << "no " << qeb::scm::ServiceStateName(state);
        return found;
    }
    // The stop as the manager shows it: STOPPED within its bound, after a
    // stop pending if a poll caught that one (it may last only a few
    // milliseconds; the in-process test sees every report), and the process's
    // end line. Milliseconds from the request to STOPPED seen.
    long long Stop() const {
        const size_t from = m_watch->Changes().size();
        const uint64_t request = UtcNow();
        EXPECT_EQ(qeb::scm::SendControl(SERVICE_CONTROL_STOP, nullptr), 0u);
        const long long took = Gap(request, WaitState(SERVICE_STOPPED, 10000, from).utcMs);
        std::printf("[ measure ] stop request to STOPPED: %lld ms\n", took);
        EXPECT_LT(took, kStopBoundMs);
        ExpectStopReports(from);
        WaitLog(kMainEnd, 1, 5000);
        return took;
    }
    // Stop pending, unless the poll missed it, then stopped.
    void ExpectStopReports(size_t from) const {
        const auto reports = Reports(from);
        EXPECT_TRUE(reports == std::vector<Report>{kStopped} ||
                    reports == (std::vector<Report>{kStopPending, kStopped}))
            << ::testing::PrintToString(reports);
    }
    // The service's own reports since index `from`: Wine's own start pending
    // (it accepts nothing) and the stopped state before a start are the
    // manager's, not the service's. A poll sees changes only, so a report
    // that repeats the one before is not seen here.
    std::vector<Report> Reports(size_t from = 0) const {
        std::vector<Report> reports;
        const auto changes = m_watch->Changes();
        for (size_t i = from; i < changes.size(); ++i) {
            const SERVICE_STATUS_PROCESS& s = changes[i].status;
            if (s.dwControlsAccepted == 0 && s.dwCurrentState != SERVICE_RUNNING) continue;
            // Wine shows the configured service type (0x10) instead of the
            // reported 0x30, so the type is checked in process only.
            reports.push_back({kRunning.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                               s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint});
        }
        return reports;
    }

    std::vector<Record> Log() const { return LogFile(m_dir + L"logs\\QEBCoreService.log").Records(); }
    // The events reported since the scenario began, as Wine recorded them.
    std::vector<std::string> Events() const { return qeb::scm::ReadWineEvents(m_servicesLog, m_eventsFrom); }
    std::string ContainerPath() const { return std::string(m_dir.begin(), m_dir.end()) + "QEBCoreContainer.exe"; }
    std::vector<Record> Journal() const { return LogFile(m_dir + L"QEBCoreContainer.journal", true).Records(); }
    // Times of the first `count` log lines that start with `text`, once there
    // are that many, or as many as there are at the deadline.
    std::vector<uint64_t> WaitLog(const std::string& text, size_t count, DWORD timeoutMs) const {
        std::vector<uint64_t> times;
        kit::WaitFor(
            [&] {
                const auto log = Log();
                times.clear();
                for (size_t i : Find(log, text)) times.push_back(log[i].utcMs);
                return times.size() >= count;
            },
            timeoutMs);
        EXPECT_GE(times.size(), count) << text;
        times.resize(std::min(times.size(), count));
        return times;
    }
    // Each container started so far, its first record of each key, once every
    // one has journalled its launch facts (console-window is the last).
    std::vector<Container> Containers(size_t atLeast = 0) const {
        std::vector<Container> containers;
        kit::WaitFor(
            [&] {
                const auto journal = Journal();
                containers.clear();
                bool bComplete = true;
                for (const Record& start : journal) {
                    if (start.key != "start") continue;
                    containers.emplace_back();
                    for (const Record& r : journal) {
                        if (r.processId == start.processId) containers.back().emplace(r.key, r);
                    }
                    bComplete = bComplete && containers.back().count("console-window") == 1;
                }
                return bComplete && containers.size() >= atLeast;
            },
            5000);
        EXPECT_GE(containers.size(), atLeast);
        return containers;
    }
    // The launch contract, for every container a service process started.
    void CheckEveryLaunch() const {
        const auto log = Log();
        std::set<DWORD> services;
        for (const Record& r : log) services.insert(r.processId);
        for (Container c : Containers()) {
            const std::string cmdline = c["cmdline"].text, parent = c["parent-handle"].text;
            bool bHex = cmdline.size() == 16;
            for (const char ch : cmdline)
                bHex = bHex && std::isxdigit(static_cast<unsigned char>(ch)) && !std::islower(ch);
            EXPECT_TRUE(bHex) << "command line '" << cmdline << "'";
            // A service process's id, with every right: the container is trusted as the service is.
            EXPECT_TRUE(parent.rfind("valid pid=", 0) == 0 &&
                        services.count(std::stoul("0" + parent.substr(parent.find('=') + 1))) == 1 &&
                        parent.substr(parent.rfind(' ')) == " access=0x1FFFFF")
                << "parent-handle " << parent;
            EXPECT_EQ(c["stdin-type"].text + c["stdout-type"].text + c["console-window"].text, "pipepipenone");
            CheckInheritedHandles(c);
        }
        EXPECT_TRUE(Find(log, "ExitThread failed!").empty());
    }

    // Exactly what the threat model's table lists: standard input the read
    // end of a pipe, standard output the write end of another, the other two
    // ends, the service's process with every right under the value the
    // command line names, standard error no handle. An inherited handle
    // arrives inheritable, the system's and the runtime's own do not: no
    // other handle is inheritable.
    static void CheckInheritedHandles(Container& c) {
        auto held = ParseHandles(c["handles"].text);
        std::istringstream standard(c["stdin-stdout"].text);
        unsigned long long in = 0, out = 0;
        standard >> std::hex >> in >> out;
        const unsigned long long self = std::stoull("0" + c["cmdline"].text, nullptr, 16);
        const auto take = [&held](unsigned long long value) {
            const auto found = held.find(value);
            if (found == held.end()) return std::string("none");
            const std::string described = found->second;
            held.erase(found);
            return described;
        };
        // A pipe end as the system grants it: reading or writing, never both.
        const auto end = [](const std::string& described) -> std::string {
            if (described.rfind("File:", 0) != 0) return described == "none" ? "none" : "other";
            const unsigned long access = std::stoul(described.substr(5), nullptr, 16);
            if ((access & FILE_READ_DATA) && !(access & FILE_WRITE_DATA)) return "read";
            return (access & FILE_WRITE_DATA) && !(access & FILE_READ_DATA) ? "write" : "both";
        };
        EXPECT_EQ(held.count(std::stoull("0" + c["stderr"].text, nullptr, 16)), 0u) << "standard error is a handle";
        const std::string stdinEnd = end(take(in)), stdoutEnd = end(take(out)), process = take(self);
        EXPECT_EQ(stdinEnd + " " + stdoutEnd + " " + process, "read write Process:1FFFFF:inherit") << c["handles"].text;
        std::vector<std::string> ends;
        for (const auto& h : held)
            if (h.second.find(":inherit") != std::string::npos) ends.push_back(end(h.second));
        std::sort(ends.begin(), ends.end());
        EXPECT_EQ(ends, (std::vector<std::string>{"read", "write"}))
            << "inheritable beyond the table: " << c["handles"].text;
    }

    std::wstring m_dir;
    std::unique_ptr<qeb::scm::StatusWatcher> m_watch;
    const std::wstring m_servicesLog = qeb::scm::WineServicesLog();
    size_t m_eventsFrom = 0;
};

// Start and stop as the manager reports them. The first container exits by
// itself and is restarted with pipes of its own: the new container's ready
// report is read again, and it gets the launch contract (TearDown); the pause
// and the reports in detail are the host's. The container outlives the stop
// and the next start clears it away, with a copy from another folder, but
// not a process whose name differs in case or only begins with the
// container's.
TEST_F(ServiceE2E, StartRestartStopAndStrayCleanup) {
    ASSERT_TRUE(Copy(L"QEBCoreContainer.exe", L"QEBCoreContainer.exe"));
    Scenario("exit_after_ms 1500 code 3\n");
    Start();
    WaitState(SERVICE_RUNNING, 15000);
    const size_t restarted = m_watch->Changes().size();
    ASSERT_EQ(Containers(1).size(), 1u);
    ::DeleteFileW((m_dir + L"QEBCoreContainer.scenario").c_str());  // the next one stays up
    auto first = Containers(2);
    ASSERT_EQ(first.size(), 2u);
    WaitLog(kReadyRead, 2, 5000);
    WaitState(SERVICE_RUNNING, 5000, restarted);
    EXPECT_EQ(Reports(), (std::vector<Report>{kFirstStartPending, kRunning, kRestartPending, kRunning}));
    Stop();
    const DWORD survivor = first[1]["start"].processId;
    EXPECT_TRUE(qeb::scm::IsProcessAlive(survivor));

    ASSERT_TRUE(::CreateDirectoryW((m_dir + L"a").c_str(), nullptr) &&
                ::CreateDirectoryW((m_dir + L"b").c_str(), nullptr));
    ASSERT_TRUE(Copy(L"QEBCoreContainer.exe", L"a\\QEBCoreContainer.exe"));
    std::vector<DWORD> lookAlikes;
    for (const wchar_t* name : kLookAlikes) {
        ASSERT_TRUE(Copy(L"QEBCoreContainer.exe", std::wstring(L"b\\") + name));
        lookAlikes.push_back(StartSettled(m_dir + L"b\\" + name));
    }
    const DWORD copy = StartSettled(m_dir + L"a\\QEBCoreContainer.exe");
    ASSERT_TRUE(qeb::scm::IsProcessAlive(copy) && qeb::scm::IsProcessAlive(lookAlikes[0]) &&
                qeb::scm::IsProcessAlive(lookAlikes[1]));
    const size_t restart = m_watch->Changes().size();
    Start();
    WaitState(SERVICE_RUNNING, 15000, restart);
    EXPECT_EQ(Reports(restart), (std::vector<Report>{kFirstStartPending, kRunning}));
    EXPECT_TRUE(
        kit::WaitFor([&] { return !qeb::scm::IsProcessAlive(copy) && !qeb::scm::IsProcessAlive(survivor); }, 5000));
    const auto log = Log();
    for (const DWORD pid : {survivor, copy})
        EXPECT_EQ(Find(log, "Killprocess Pid = " + std::to_string(pid) + "(").size(), 1u);
    for (const DWORD pid : lookAlikes) {
        EXPECT_TRUE(qeb::scm::IsProcessAlive(pid)) << "pid " << pid;
        EXPECT_TRUE(Find(log, "Killprocess Pid = " + std::to_string(pid) + "(").empty()) << "pid " << pid;
    }
    EXPECT_EQ(Containers(3).size(), 3u);
    const std::string started = "0x400003e8 4 1: " QEB_VERSION_TEXT " | " + ContainerPath() + " | 0";
    EXPECT_EQ(Events(),
              (std::vector<std::string>{started, "0x800007d0 2 2: " + ContainerPath() + " | 3 | 2 | 0",
                                        "0x400003e9 4 1: stop request | 0", started, "0x800007d1 2 2: 2 | 0"}));
}

// Containers signed under the pinned root by another company or by names
// that nearly are the publisher's (with a suffix, cut short, only in another
// attribute): the first launch and five restarts 2 s apart are refused by the
// publisher check, no container starting, the service staying start
// pending; the next attempt comes 62 s later and, with a container whose
// certificate has expired since a timestamp proved it valid, succeeds; that
// success clears the count, so the failures that follow (a tampered
// container) are 2 s apart again, and the service is start pending again
// without ever reporting running.
TEST_F(ServiceE2E, FiveFailuresThenTheLongPauseAndTheCountClearedBySuccess) {
    const auto signedAs = [this](const wchar_t* kind) {
        return Copy(std::wstring(L"security_fixtures\\container_") + kind + L".exe", L"QEBCoreContainer.exe");
    };
    constexpr const wchar_t* kNotThePublisher[] = {L"other_publisher", L"name_suffix", L"name_prefix",
                                                   L"name_elsewhere"};
    ASSERT_TRUE(signedAs(kNotThePublisher[0])) << "no signed test containers";
    Start();
    std::vector<uint64_t> attempts = WaitLog(kFirstFailed, 1, 5000);
    for (size_t i = 1; i < 6; ++i) {  // the next one in place during the pause; none at the fifth
        ASSERT_TRUE(i == 5 ? ::DeleteFileW((m_dir + L"QEBCoreContainer.exe").c_str())
                           : signedAs(kNotThePublisher[i % 4]));
        const auto failed = WaitLog(kRestartFailed, i, 15000);
        ASSERT_EQ(failed.size(), i);
        attempts.push_back(failed.back());
    }
    EXPECT_EQ(Find(Log(), "ContainerProcess exe verify failed. Not Velant exe(").size(), 5u);
    EXPECT_EQ(Find(Log(), "ContainerProcess exe open failed. error = 2(").size(), 1u);
    EXPECT_TRUE(Containers().empty() && qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty());
    EXPECT_EQ(Reports(), std::vector<Report>{kFirstStartPending}) << "anything but start pending while launches fail";

    ASSERT_TRUE(signedAs(L"expired_stamped"));
    attempts.push_back(WaitLog(kVerified, 1, 90000).at(0));
    WaitState(SERVICE_RUNNING, 5000);
    for (size_t i = 1; i < 6; ++i) {
        EXPECT_GE(Gap(attempts[i - 1], attempts[i]), 2000) << "attempt " << i;
        // Each refusal comes after both checks of the container in place.
        EXPECT_LT(Gap(attempts[i - 1], attempts[i]), 2000 + kRelaunchSlackMs) << "attempt " << i;
    }
    // The last gap ends after both checks of the restored file.
    EXPECT_GE(Gap(attempts[5], attempts[6]), 62000);
    EXPECT_LT(Gap(attempts[5], attempts[6]), 62000 + kRelaunchSlackMs);
    EXPECT_EQ(Reports(), (std::vector<Report>{kFirstStartPending, kRunning}));
    auto containers = Containers(1);
    ASSERT_EQ(containers.size(), 1u);
    const size_t broken = m_watch->Changes().size();
    ASSERT_TRUE(qeb::scm::TerminateProcessId(containers[0]["start"].processId, 9, 5000));
    // One byte of its code changed: every launch is refused from now on.
    ASSERT_TRUE(kit::WaitFor(
        [this] {
            std::fstream file(std::filesystem::path(m_dir + L"QEBCoreContainer.exe"),
                              std::ios::in | std::ios::out | std::ios::binary);
            return file.seekp(4096) && file.put('x') && file.flush();
        },
        1000));
    const uint64_t exited = WaitLog(kExited, 1, 5000).at(0);
    const auto failures = WaitLog(kRestartFailed, 7, 15000);
    ASSERT_EQ(failures.size(), 7u);
    EXPECT_LT(Gap(exited, failures[5]), 2000 + kRelaunchSlackMs) << "the count was not cleared";
    EXPECT_GE(Gap(failures[5], failures[6]), 2000);
    EXPECT_LT(Gap(failures[5], failures[6]), 2000 + kRelaunchSlackMs);
    EXPECT_EQ(Find(Log(), "ContainerProcess exe open failed").size(), 1u) << "not refused for its signature";
    EXPECT_EQ(Reports(broken), std::vector<Report>{kRestartPending});
    // Which of these refusals reach the Event Log is the throttle's outage
    // rule: Host.AlertRulesHoldOnTheMovedClock.
}

// A stop at each step of a launch, the first or a restart, held there by the
// test build of the service (launch_step_gate.cpp) until the stop has begun:
// "queued" is before the pool thread's look at the stop, "running" inside the
// work, "created" between the suspended creation and its second look. A check
// held for good stands for a check of a file of any size; a creation is held
// until the test has seen the stop wait for it. Every row: the launch
// abandoned, stop pending then stopped, the step after the held one never
// reached, no container at STOPPED or after, no thread terminated (TearDown),
// and the process gone with exit code 0 within 500 ms of STOPPED.
enum class Held { UntilTheStop, ForGood, UntilStopPendingSeen };
struct StopStep {
    const char* name;
    const char* step;   // "<job>.<step>", as the pool thread names it
    const char* never;  // a step that must not follow, or empty
    bool bRestart;
    Held held;
};
constexpr StopStep kStopSteps[] = {
    {"FirstBeforeTheFirstCheck", "embedded-check.queued", "embedded-check.running", false, Held::UntilTheStop},
    {"FirstInsideTheFirstCheck", "embedded-check.running", "", false, Held::ForGood},
    {"FirstInsideTheSecondCheck", "velant-check.running", "", false, Held::ForGood},
    {"FirstBeforeTheCreation", "create-process.queued", "create-process.running", false, Held::UntilTheStop},
    {"FirstInsideTheCreation", "create-process.running", "create-process.created", false, Held::UntilTheStop},
    {"FirstCreatedSuspended", "create-process.created", "", false, Held::UntilStopPendingSeen},
    {"RestartInsideTheFirstCheck", "embedded-check.running", "", true, Held::ForGood},
    {"RestartCreatedSuspended", "create-process.created", "", true, Held::UntilStopPendingSeen},
};

void PrintTo(const StopStep& row, std::ostream* out) { *out << row.step; }

class StopDuringLaunch : public ServiceE2E, public ::testing::WithParamInterface<StopStep> {};

TEST_P(StopDuringLaunch, LeavesNoContainerAndTheProcessEndsAtOnce) {
    using Handle = qeb::UniqueHandle;
    const StopStep& row = GetParam();
    const std::string step = row.step, never = row.never;
    const auto gate = [&](bool bMake, const std::string& name, const wchar_t* suffix = L"") {
        const std::wstring full = L"Global\\QEBCoreStepGate." + std::wstring(name.begin(), name.end()) +
                                  (row.bRestart ? L".2" : L".1") + suffix;
        Handle event(bMake ? ::CreateEventW(nullptr, TRUE, FALSE, full.c_str()) : nullptr);
        return ::GetLastError() == ERROR_ALREADY_EXISTS ? Handle() : std::move(event);
    };
    const Handle reached = gate(true, step), hold = gate(row.held != Held::UntilTheStop, step, L".hold");
    const Handle after = gate(!never.empty(), never);  // signalled if that step is reached all the same
    ASSERT_TRUE(reached && (hold || row.held == Held::UntilTheStop) && (after || never.empty()))
        << "gate events not created (or left over), error " << ::GetLastError();
    ASSERT_TRUE(Copy(L"QEBCoreServiceGated.exe", L"QEBCoreService.exe")) << "QEBCoreServiceGated.exe not built";
    ASSERT_TRUE(Copy(L"QEBCoreContainer.exe", L"QEBCoreContainer.exe"));
    Start();
    if (row.bRestart) {
        WaitState(SERVICE_RUNNING, 15000);
        auto containers = Containers(1);
        ASSERT_EQ(containers.size(), 1u);
        ASSERT_TRUE(qeb::scm::TerminateProcessId(containers[0]["start"].processId, 9, 5000));
    }
    ASSERT_EQ(::WaitForSingleObject(reached.get(), 15000), WAIT_OBJECT_0) << "the launch never reached " << step;
    const size_t started = Containers().size();
    // Only the suspended creation has a container process yet, one that has not run.
    const size_t suspended = step == "create-process.created" ? 1 : 0;
    if (suspended == 0) {  // the launch holds the checked file: no writer, no rename, no delete
        const std::wstring file = m_dir + L"QEBCoreContainer.exe", moved = file + L".moved";
        const HANDLE writer = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
        const bool bWritable = writer != INVALID_HANDLE_VALUE;
        if (bWritable) ::CloseHandle(writer);
        const bool bRenamed = ::MoveFileExW(file.c_str(), moved.c_str(), 0) != FALSE;
        if (bRenamed) ::MoveFileExW(moved.c_str(), file.c_str(), 0);
        const bool bDeleted = ::DeleteFileW(file.c_str()) != FALSE;
        EXPECT_FALSE(bWritable || bRenamed || bDeleted)
            << "held file opened for writing " << bWritable << ", renamed " << bRenamed << ", deleted " << bDeleted;
    }
    EXPECT_EQ(qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).size(), suspended);
    const Handle service(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                       m_watch->Changes().back().status.dwProcessId));
    ASSERT_TRUE(service) << "no service process";

    const size_t from = m_watch->Changes().size();
    const uint64_t request = UtcNow();
    DWORD stopError = ERROR_IO_PENDING;
    std::thread stopper([&stopError] { stopError = qeb::scm::SendControl(SERVICE_CONTROL_STOP, nullptr); });
    if (row.held == Held::UntilStopPendingSeen) {
        WaitState(SERVICE_STOP_PENDING, 10000, from);
        // The stop waits up to 1000 ms for the creation: 300 ms without STOPPED shows it waits.
        EXPECT_FALSE(m_watch->WaitForState(SERVICE_STOPPED, 300, nullptr, from)) << "stopped during a creation";
        EXPECT_EQ(qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).size(), suspended);
        ::SetEvent(hold.get());
    }
    const StatusSample stopped = WaitState(SERVICE_STOPPED, 10000, from);
    EXPECT_TRUE(qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty()) << "a container at STOPPED";
    stopper.join();
    EXPECT_EQ(stopError, 0u);
    ASSERT_EQ(::WaitForSingleObject(service.get(), 10000), WAIT_OBJECT_0) << "the service process runs on";
    FILETIME t[4] = {};  // creation, exit, kernel, user
    ASSERT_TRUE(::GetProcessTimes(service.get(), &t[0], &t[1], &t[2], &t[3]));
    const uint64_t ended = qeb::scm::FileTimeToUtcMs(t[1]);
    const long long endMs = static_cast<long long>(ended - stopped.utcMs);
    // Measured -56 to +22 ms over 56 rows under load: the poll sees STOPPED
    // late, which only lowers the figure; 30 ms cover the two clocks' steps
    // (15.6 ms on Windows).
    EXPECT_TRUE(ended >= request && endMs < 530) << "process end " << endMs << " ms after STOPPED";
    DWORD exitCode = 1;
    EXPECT_TRUE(::GetExitCodeProcess(service.get(), &exitCode) && exitCode == 0) << "exit code " << exitCode;
    EXPECT_TRUE(never.empty() || ::WaitForSingleObject(after.get(), 0) == WAIT_TIMEOUT) << never << " after the stop";

    ExpectStopReports(from);
    // Reported before the release when the poll missed it: the line comes
    // right before the stop-pending report, whose failure would be logged.
    const auto log = Log();
    EXPECT_EQ(Find(log, "ServiceHandlerEx fdwControl = .1(").size(), 1u);
    EXPECT_TRUE(Find(log, "SetServiceStatus fail").empty() && Find(log, "ReleaseAllResources fail").empty());
    const auto abandoned = Find(log, kAbandoned);
    EXPECT_TRUE(abandoned.size() == 1 && log[abandoned[0]].level == "I");
    EXPECT_EQ(Find(log, kMainEnd).size(), 1u);
    EXPECT_EQ(Containers().size(), started) << "a container ran after the stop";
    EXPECT_TRUE(qeb::scm::FindProcessIds(qeb::scm::kContainerFileName).empty());
}

INSTANTIATE_TEST_SUITE_P(Step, StopDuringLaunch, ::testing::ValuesIn(kStopSteps),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
