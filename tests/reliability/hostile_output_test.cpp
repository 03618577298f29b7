// A container that writes hostile output: megabytes per second without the
// key, binary garbage, and a container that is gone as soon as it started.
// The service keeps running, writes no line for output without the key, and
// still recognises readiness when it comes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "reliability_fixture.h"
#include "file_text.h"
#include "scm_client.h"
#include "service_probe.h"

namespace {

using qebtest::CountLogEntries;
using qebtest::DumpLog;

constexpr char kReadyNotified[] = "get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)";

class HostileOutput : public qebtest::ReliabilityTest {
protected:
    size_t LogBytes() const { return qebtest::ReadFileShared(m_staging + L"logs\\QEBCoreService.log").size(); }
};

TEST_F(HostileOutput, FloodOfMegabytesPerSecondWritesNothingAndCostsNothing) {
    Stage(true, "ready_after_ms 0\nflood_bytes_per_sec 8000000\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    // The supervision thread's first line is the last one of a start.
    ASSERT_TRUE(WaitForLog("svcThreadFun start.(svcThreadFun)", 1, 5000));
    const DWORD servicePid = qebtest::ServiceProcessId();
    const size_t logBefore = LogBytes();
    const qebtest::ProcessFigures before = qebtest::SampleProcess(servicePid);

    ::Sleep(5000);

    const qebtest::ProcessFigures after = qebtest::SampleProcess(servicePid);
    const size_t logAfter = LogBytes();
    std::printf("[ measure ] 5 s of an 8 MB/s flood: log %zu -> %zu bytes; %s -> %s\n", logBefore, logAfter,
                qebtest::Describe(before).c_str(), qebtest::Describe(after).c_str());
    EXPECT_TRUE(after.valid);
    EXPECT_EQ(logAfter, logBefore) << "output without the key wrote lines\n" << DumpLog(Logs());
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
    EXPECT_LE(after.handles, before.handles + 4);
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_EQ(qeb::scm::QueryStatus(&status), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges() << DumpLog(Logs());
}

TEST_F(HostileOutput, BinaryGarbageBeforeReadinessLeavesReadinessRecognised) {
    // Unpaired surrogates, nulls, odd lengths, a narrow key, a key with a
    // colon, a key beyond 32 bits, then readiness as its own write.
    Stage(true,
          "send_hex 00d8ffdf41\n"
          "send_hex 000000000000\n"
          "send_hex 4e6f74696679576f726b5374617475733100\n"
          "send_hex ffffffffffffffffffffffffffffffffffffff\n"
          "send NotifyWorkStatus:1\n"
          "send NotifyWorkStatus99999999999\n"
          "send_hex 00dc4e006f007400\n"
          "ready_after_ms 400\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    ASSERT_TRUE(WaitForLog(kReadyNotified, 1, 5000)) << DumpLog(Logs());
    // How the garbage writes fall into reads is the pipe's business: at most
    // the two keyed ones are reported, nothing else writes a line.
    const auto logs = Logs();
    EXPECT_LE(CountLogEntries(logs, "invalid notify(QEBCoreProcess::Pipe_Listen)"), 2u) << DumpLog(logs);
    EXPECT_LE(CountLogEntries(logs, "RefreshSlientUpdatePeriod out_of_range(GetNotifyStatus)"), 1u) << DumpLog(logs);
    EXPECT_LE(CountLogEntries(logs, "RefreshSlientUpdatePeriod invalid_argument(GetNotifyStatus)"), 1u)
        << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, "get container notify workStatus = ", true), 1u) << DumpLog(logs);
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges() << DumpLog(Logs());
}

TEST_F(HostileOutput, ContainerGoneAtOnceIsRestartedAndTheServiceRunsOn) {
    // Output closed at once with the process: every launch ends at 0 ms.
    Stage(true, "ready never\nexit_after_ms 0 code 0\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(WaitForLog("Restart ContainerProcess success(svcThreadFun)", 3, 20000)) << DumpLog(Logs());
    const auto logs = Logs();
    EXPECT_EQ(CountLogEntries(logs, kReadyNotified), 0u);
    EXPECT_EQ(CountLogEntries(logs, "ExitThread failed! thread entry function: ", true), 0u);
    EXPECT_NE(qebtest::ServiceProcessId(), 0u);
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges() << DumpLog(Logs());
}

// How many tiny writes the case runs: QEB_TINY_WRITES, or the CI figure.
size_t TinyWriteCount() {
    constexpr size_t kDefault = 20000;
    const char* text = std::getenv("QEB_TINY_WRITES");
    if (text == nullptr || *text == '\0') return kDefault;
    char* end = nullptr;
    const unsigned long long count = std::strtoull(text, &end, 10);
    return (*end == '\0' && count > 0 && count <= 100000000ULL) ? static_cast<size_t>(count) : kDefault;
}

TEST_F(HostileOutput, ManyTinyWritesBeforeReadinessWriteNothingAndReadinessIsRecognised) {
    // 2-byte writes back to back, each its own read at worst: the service
    // keeps up, writes no line for them and sees readiness after them.
    const size_t writes = TinyWriteCount();
    Stage(true, "tiny_writes " + std::to_string(writes) + "\nready_after_ms 0\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    // 30 s for the CI figure, in proportion beyond it.
    const DWORD readyTimeoutMs = static_cast<DWORD>(writes <= 20000 ? 30000 : writes * 3 / 2);
    ASSERT_TRUE(WaitForLog(kReadyNotified, 1, readyTimeoutMs)) << DumpLog(Logs());
    const auto logs = Logs();
    const size_t ready = qebtest::FindLogEntry(logs, kReadyNotified);
    ASSERT_NE(ready, std::string::npos);
    std::printf("[ measure ] %zu writes of 2 bytes: readiness logged %lld ms after the start call; log %zu bytes\n",
                writes, qebtest::Gap(m_startCallUtcMs, logs[ready].utcMs), LogBytes());
    EXPECT_EQ(CountLogEntries(logs, "invalid notify(QEBCoreProcess::Pipe_Listen)"), 0u) << DumpLog(logs);
    EXPECT_LT(logs.size(), 40u) << DumpLog(logs);
    EXPECT_NE(qebtest::FindJournalKey(Journal(), "tiny-writes-end"), std::string::npos);
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_EQ(qeb::scm::QueryStatus(&status), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges() << DumpLog(Logs());
}

TEST_F(HostileOutput, OutputClosedAtOnceWhileTheContainerRunsOn) {
    // Readiness goes out first, then the container closes its output and
    // lives on: the service's reader sees the pipe broken; the service keeps
    // running, neither spins nor floods its log, and still stops in time.
    Stage(true, "close_stdout\n");
    Install();
    ASSERT_EQ(Start(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(m_watcher->WaitForState(SERVICE_RUNNING, 15000)) << DescribeChanges();
    ::Sleep(3000);
    const size_t before = LogBytes();
    ::Sleep(2000);
    const auto logs = Logs();
    EXPECT_EQ(LogBytes(), before) << "the service kept writing after the output closed\n" << DumpLog(logs);
    EXPECT_EQ(CountLogEntries(logs, "Restart ContainerProcess success(svcThreadFun)"), 0u) << DumpLog(logs);
    EXPECT_EQ(qebtest::JournalProcesses(Journal()).size(), 1u);
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_EQ(qeb::scm::QueryStatus(&status), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_LT(StopAndWait(10000), 2000u) << DescribeChanges() << DumpLog(Logs());
}

}  // namespace
