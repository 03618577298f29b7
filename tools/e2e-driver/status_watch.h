#pragma once
// Records every change of the service's status as the Service Control
// Manager reports it, with the wall-clock time at which it was seen. A poll
// sees changes only: a report that repeats the one before, or one replaced
// between two polls, is not seen; failed polls are counted.

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scm_client.h"

namespace qeb::scm {

// Milliseconds since 1970-01-01 UTC; comparable with the log's timestamps.
uint64_t UtcNowMs() noexcept;
// A FILETIME (UTC) in the same milliseconds.
uint64_t FileTimeToUtcMs(const FILETIME& time) noexcept;
// "HH:MM:SS.mmm" (UTC).
std::string FormatUtcMs(uint64_t utcMs);

struct StatusSample {
    uint64_t utcMs = 0;
    SERVICE_STATUS_PROCESS status = {};
};

// "state=RUNNING(4) type=0x10 ... pid=N"
std::string DescribeStatus(const SERVICE_STATUS_PROCESS& status);
// The same, after the time of the sample and "scm".
std::string DescribeSample(const StatusSample& sample);

class StatusWatcher {
public:
    explicit StatusWatcher(DWORD intervalMs = 2, const wchar_t* name = kServiceName);
    ~StatusWatcher();
    StatusWatcher(const StatusWatcher&) = delete;
    StatusWatcher& operator=(const StatusWatcher&) = delete;

    void Start();
    void Stop();

    // Every change seen so far, oldest first.
    std::vector<StatusSample> Changes() const;
    // Waits until a change to `state` is recorded at or after index `from`;
    // fills *found with it.
    bool WaitForState(DWORD state, DWORD timeoutMs, StatusSample* found = nullptr, size_t from = 0) const;
    // How many polls failed to open or query the service, and the last error,
    // as a line for a failure message; empty when none did.
    std::string DescribePollFailures() const;

private:
    void Poll();

    const DWORD m_intervalMs;
    const std::wstring m_name;
    std::atomic<bool> m_bRunning{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<StatusSample> m_changes;
    std::atomic<unsigned> m_failedPolls{0};
    std::atomic<DWORD> m_lastPollError{ERROR_SUCCESS};
};

}  // namespace qeb::scm
