#include "status_watch.h"

#include <chrono>
#include <cstdio>

namespace qeb::scm {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;

bool SameStatus(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) noexcept {
    return a.dwServiceType == b.dwServiceType && a.dwCurrentState == b.dwCurrentState &&
           a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode &&
           a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode && a.dwCheckPoint == b.dwCheckPoint &&
           a.dwWaitHint == b.dwWaitHint && a.dwProcessId == b.dwProcessId && a.dwServiceFlags == b.dwServiceFlags;
}

}  // namespace

uint64_t FileTimeToUtcMs(const FILETIME& time) noexcept {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (ticks - kUnixEpochIn100ns) / 10000;
}

uint64_t UtcNowMs() noexcept {
    FILETIME now = {};
    ::GetSystemTimePreciseAsFileTime(&now);
    return FileTimeToUtcMs(now);
}

std::string FormatUtcMs(uint64_t utcMs) {
    const uint64_t ms = utcMs % 1000;
    const uint64_t seconds = utcMs / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", static_cast<unsigned>((seconds / 3600) % 24),
                  static_cast<unsigned>((seconds / 60) % 60), static_cast<unsigned>(seconds % 60),
                  static_cast<unsigned>(ms));
    return text;
}

std::string DescribeStatus(const SERVICE_STATUS_PROCESS& s) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "state=%s(%lu) type=0x%lx accepted=0x%lx exit=%lu/%lu checkpoint=%lu waithint=%lu pid=%lu",
                  ServiceStateName(s.dwCurrentState), static_cast<unsigned long>(s.dwCurrentState),
                  static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwControlsAccepted),
                  static_cast<unsigned long>(s.dwWin32ExitCode),
                  static_cast<unsigned long>(s.dwServiceSpecificExitCode), static_cast<unsigned long>(s.dwCheckPoint),
                  static_cast<unsigned long>(s.dwWaitHint), static_cast<unsigned long>(s.dwProcessId));
    return text;
}

std::string DescribeSample(const StatusSample& sample) {
    return FormatUtcMs(sample.utcMs) + " scm " + DescribeStatus(sample.status);
}

StatusWatcher::StatusWatcher(DWORD intervalMs, const wchar_t* name) : m_intervalMs(intervalMs), m_name(name) {}

StatusWatcher::~StatusWatcher() { Stop(); }

void StatusWatcher::Start() {
    if (m_bRunning.exchange(true)) return;
    m_thread = std::thread([this] { Poll(); });
}

void StatusWatcher::Stop() {
    m_bRunning = false;
    if (m_thread.joinable()) m_thread.join();
}

std::vector<StatusSample> StatusWatcher::Changes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changes;
}

bool StatusWatcher::WaitForState(DWORD state, DWORD timeoutMs, StatusSample* found, size_t from) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t index = from;
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; index < m_changes.size(); ++index) {
            if (m_changes[index].status.dwCurrentState == state) {
                if (found != nullptr) *found = m_changes[index];
                return true;
            }
        }
        return false;
    });
}

std::string StatusWatcher::DescribePollFailures() const {
    const unsigned failed = m_failedPolls;
    if (failed == 0) return {};
    return std::to_string(failed) + " polls failed, last error " + std::to_string(m_lastPollError.load()) + "\n";
}

void StatusWatcher::Poll() {
    bool bHaveLast = false;
    SERVICE_STATUS_PROCESS last = {};
    while (m_bRunning) {
        // A fresh handle for each poll: under Wine a handle held across the
        // service's start could turn invalid (error 6) in this process while
        // the manager still counted it, so a deleted service stayed
        // "marked for delete" (1072) until this process ended.
        DWORD error = ERROR_SUCCESS;
        const ServiceHandle service = OpenNamedService(SERVICE_QUERY_STATUS, &error, m_name.c_str());
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (service && ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                              sizeof status, &needed)) {
            if (!bHaveLast || !SameStatus(status, last)) {
                const StatusSample sample{UtcNowMs(), status};
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_changes.push_back(sample);
                }
                m_changed.notify_all();
                last = status;
                bHaveLast = true;
            }
        } else {
            m_lastPollError = service ? ::GetLastError() : error;
            ++m_failedPolls;
        }
        ::Sleep(m_intervalMs);
    }
}

}  // namespace qeb::scm
