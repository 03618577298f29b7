#pragma once
// Fixture for in-process tests of the service host: a private log file, a
// fresh status record and ready event, and real containers launched through
// QEBCoreProcess from the reference container beside the test program.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal_reader.h"
#include "log_reader.h"

namespace qebtest {

// Ends every managed thread before the process exits: a thread object that
// still owns a thread must not be destroyed with the thread manager.
class ThreadManagerEnvironment : public ::testing::Environment {
public:
    void TearDown() override;
};

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Flushes and reads this test's log.
    std::vector<LogEntry> Logs() const;
    // Polls the log until the message (exact) shows up.
    bool WaitForLog(const std::string& message, DWORD timeoutMs) const;

    // Writes the scenario beside the container and launches it the way the
    // service does; true when g_hContainerHandle now holds it and the
    // container has begun its journal.
    bool LaunchContainer(const std::string& scenario);
    DWORD ContainerProcessId() const;
    // Journal records of one container, written since this test began.
    std::vector<JournalEntry> JournalFor(DWORD processId) const;
    std::vector<JournalEntry> WaitForJournalKey(DWORD processId, const std::string& key, DWORD timeoutMs) const;

    std::wstring m_logDirectory;
    std::wstring m_journalPath;
    std::wstring m_scenarioPath;
    uint64_t m_startUtcMs = 0;
    std::vector<DWORD> m_launched;
};

uint64_t UtcNowMs() noexcept;

}  // namespace qebtest
