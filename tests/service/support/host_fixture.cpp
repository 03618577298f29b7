#include "host_fixture.h"

#include <memory>

#include "file_text.h"
#include "qeb_core_process.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "service_status.h"
#include "thread_manager.h"

namespace qebtest {

namespace {

constexpr unsigned long long kLogBytes = 64ULL * 1024 * 1024;

// Every program using this fixture ends its managed threads before exit.
const ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<ThreadManagerEnvironment>().release());

}  // namespace

uint64_t UtcNowMs() noexcept {
    FILETIME now = {};
    ::GetSystemTimePreciseAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ULL) / 10000;
}

void ThreadManagerEnvironment::TearDown() { VelantThread::ThreadManager::GetInstance()->WaitAll(); }

void ServiceHostTest::SetUp() {
    m_startUtcMs = UtcNowMs();
    m_logDirectory = MakeUniqueDirectory(TempDirectory(), L"qeb-service-test");
    ASSERT_FALSE(m_logDirectory.empty());
    ShutdownQebLog();
    ASSERT_TRUE(initQebLogAt(m_logDirectory.c_str(), kLogBytes, 1));

    m_journalPath = ExeDirectory() + L"QEBCoreContainer.journal";
    m_scenarioPath = ExeDirectory() + L"QEBCoreContainer.scenario";

    g_serviceStatus = SERVICE_STATUS{};
    g_hContainerReadyEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(g_hContainerReadyEvent, nullptr);
    QEBCoreProcess::SetContainerReadyEvent(g_hContainerReadyEvent);
}

void ServiceHostTest::TearDown() {
    for (const DWORD id : m_launched) {
        const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == nullptr) continue;
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 5000);
        ::CloseHandle(process);
    }
    if (g_hContainerHandle != nullptr) {
        ::CloseHandle(g_hContainerHandle);
        g_hContainerHandle = nullptr;
    }
    QEBCoreProcess::SetContainerReadyEvent(nullptr);
    if (g_hContainerReadyEvent != nullptr) {
        ::CloseHandle(g_hContainerReadyEvent);
        g_hContainerReadyEvent = nullptr;
    }
    ::DeleteFileW(m_scenarioPath.c_str());
    ShutdownQebLog();
    if (!HasFailure()) RemoveDirectoryTree(m_logDirectory);
}

std::vector<LogEntry> ServiceHostTest::Logs() const {
    FlushQebLogFile();
    return ReadLogFile(m_logDirectory + L"QEBCoreService.log");
}

bool ServiceHostTest::WaitForLog(const std::string& message, DWORD timeoutMs) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (FindLogEntry(Logs(), message) != std::string::npos) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
}

bool ServiceHostTest::LaunchContainer(const std::string& scenario) {
    if (!WriteTextFile(m_scenarioPath, scenario)) return false;
    QEBCoreProcess::GetInstance()->CreateContainerProcess();
    if (g_hContainerHandle == nullptr) return false;
    const DWORD processId = ::GetProcessId(g_hContainerHandle);
    m_launched.push_back(processId);
    // Under Wine a process terminated while it is still starting up leaves
    // its conhost.exe behind, holding the test's output pipe open; every
    // container is let finish its start first.
    return FindJournalKey(WaitForJournalKey(processId, "start", 5000), "start") != std::string::npos;
}

DWORD ServiceHostTest::ContainerProcessId() const {
    return g_hContainerHandle != nullptr ? ::GetProcessId(g_hContainerHandle) : 0;
}

std::vector<JournalEntry> ServiceHostTest::JournalFor(DWORD processId) const {
    std::vector<JournalEntry> own;
    for (const JournalEntry& entry : JournalOf(ReadJournal(m_journalPath), processId)) {
        // A process id may have been used by an earlier test's container.
        if (entry.utcMs + 50 >= m_startUtcMs) own.push_back(entry);
    }
    return own;
}

std::vector<JournalEntry> ServiceHostTest::WaitForJournalKey(DWORD processId, const std::string& key,
                                                             DWORD timeoutMs) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<JournalEntry> entries = JournalFor(processId);
        if (FindJournalKey(entries, key) != std::string::npos || ::GetTickCount64() >= deadline) return entries;
        ::Sleep(10);
    }
}

}  // namespace qebtest
