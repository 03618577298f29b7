#pragma once
// End-to-end fixture: QEBCoreService.exe (and, when wanted, the reference
// container with a scenario) staged in a fresh folder on C:, registered with
// the prefix's Service Control Manager as "QEBCoreService", and removed again
// whatever the test's outcome. The service name is fixed, so these tests run
// one at a time.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "journal_reader.h"
#include "log_reader.h"
#include "status_watch.h"

namespace qebtest {

class ServiceE2ETest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Copies the service, and the container unless told not to, and writes
    // the scenario beside them.
    void Stage(bool bWithContainer, const std::string& scenario);
    void WriteScenario(const std::string& scenario) const;
    // Registers the staged service and starts the status watch.
    void Install();
    // StartServiceW; returns its error and records when it was called.
    DWORD Start();
    // ControlService(stop), then waits for STOPPED; returns the milliseconds
    // from the request to STOPPED seen (or MAXDWORD).
    DWORD StopAndWait(DWORD timeoutMs);

    std::vector<LogEntry> Logs() const;
    std::vector<JournalEntry> Journal() const;
    // Polls the service log until `count` entries match the message.
    bool WaitForLog(const std::string& message, size_t count, DWORD timeoutMs, bool prefix = false) const;
    // The watch's recorded states, for failure messages.
    std::string DescribeChanges() const;

    std::wstring m_staging;
    std::unique_ptr<qeb::scm::StatusWatcher> m_watcher;
    uint64_t m_startCallUtcMs = 0;
};

// Milliseconds between two entries, signed.
long long Gap(uint64_t fromUtcMs, uint64_t toUtcMs);

}  // namespace qebtest
