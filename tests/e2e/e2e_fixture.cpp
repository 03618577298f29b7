#include "e2e_fixture.h"

#include "file_text.h"
#include "process_list.h"
#include "scm_client.h"

namespace qebtest {

namespace {

constexpr DWORD kCleanupTimeoutMs = 10000;

void RemoveLeftovers() {
    qeb::scm::RemoveServiceQuietly(kCleanupTimeoutMs);
    qeb::scm::TerminateProcesses(qeb::scm::kContainerFileName, 5000);
}

}  // namespace

long long Gap(uint64_t fromUtcMs, uint64_t toUtcMs) {
    return static_cast<long long>(toUtcMs) - static_cast<long long>(fromUtcMs);
}

void ServiceE2ETest::SetUp() {
    RemoveLeftovers();
    m_staging = MakeUniqueDirectory(L"C:\\", L"qeb-e2e");
    ASSERT_FALSE(m_staging.empty());
}

void ServiceE2ETest::TearDown() {
    RemoveLeftovers();
    if (m_watcher) m_watcher->Stop();
    if (HasFailure()) {
        std::printf("[ keep ] staging folder kept for inspection: %s\n", Narrow(m_staging).c_str());
        return;
    }
    // The service process may take a moment to let go of its files.
    for (int attempt = 0; attempt < 50; ++attempt) {
        RemoveDirectoryTree(m_staging);
        if (::GetFileAttributesW(m_staging.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        ::Sleep(100);
    }
}

void ServiceE2ETest::Stage(bool bWithContainer, const std::string& scenario) {
    const std::wstring bin = ExeDirectory();
    ASSERT_TRUE(::CopyFileW((bin + L"QEBCoreService.exe").c_str(), (m_staging + L"QEBCoreService.exe").c_str(), FALSE));
    if (bWithContainer) {
        ASSERT_TRUE(::CopyFileW((bin + L"QEBCoreContainer.exe").c_str(),
                                (m_staging + L"QEBCoreContainer.exe").c_str(), FALSE));
    }
    WriteScenario(scenario);
}

void ServiceE2ETest::WriteScenario(const std::string& scenario) const {
    ASSERT_TRUE(WriteTextFile(m_staging + L"QEBCoreContainer.scenario", scenario));
}

void ServiceE2ETest::Install() {
    ASSERT_EQ(qeb::scm::InstallService(m_staging + L"QEBCoreService.exe"), static_cast<DWORD>(ERROR_SUCCESS));
    m_watcher = std::make_unique<qeb::scm::StatusWatcher>(2);
    m_watcher->Start();
}

DWORD ServiceE2ETest::Start() {
    m_startCallUtcMs = qeb::scm::UtcNowMs();
    return qeb::scm::StartNamedService();
}

DWORD ServiceE2ETest::StopAndWait(DWORD timeoutMs) {
    const size_t seen = m_watcher->Changes().size();
    const uint64_t begin = qeb::scm::UtcNowMs();
    if (qeb::scm::SendControl(SERVICE_CONTROL_STOP, nullptr) != ERROR_SUCCESS) return MAXDWORD;
    qeb::scm::StatusSample stopped;
    if (!m_watcher->WaitForState(SERVICE_STOPPED, timeoutMs, &stopped, seen)) return MAXDWORD;
    return static_cast<DWORD>(stopped.utcMs > begin ? stopped.utcMs - begin : 0);
}

std::vector<LogEntry> ServiceE2ETest::Logs() const { return ReadLogFile(m_staging + L"logs\\QEBCoreService.log"); }

std::vector<JournalEntry> ServiceE2ETest::Journal() const {
    return ReadJournal(m_staging + L"QEBCoreContainer.journal");
}

bool ServiceE2ETest::WaitForLog(const std::string& message, size_t count, DWORD timeoutMs, bool prefix) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (CountLogEntries(Logs(), message, prefix) >= count) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(20);
    }
}

std::string ServiceE2ETest::DescribeChanges() const {
    std::string text;
    if (!m_watcher) return text;
    for (const auto& sample : m_watcher->Changes()) text += qeb::scm::DescribeSample(sample) + "\n";
    return text + m_watcher->DescribePollFailures();
}

}  // namespace qebtest
