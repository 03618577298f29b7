#include "event_report.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "event_queue.h"
#include "event_throttle.h"
#include "locks.h"
#include "log_line.h"
#include "module_path.h"
#include "unique_handle.h"

namespace qeb {

namespace {

constexpr char kFunc[] = "ReportEvent";

std::atomic<EventReportFunction> s_report{&::ReportEventW};
std::atomic<EventClock> s_clock{&::GetTickCount64};
// Never deregistered: a report can still be under way on a thread that
// outlives the exit-time destructors.
std::atomic<HANDLE> s_hSource{nullptr};
std::atomic<bool> s_bStopBegun{false};
char s_version[32] = "unknown";
// A kernel mutex: a thread the stop terminates inside a report must not
// leave the throttle locked for good.
KernelMutex s_throttleLock;
EventThrottle s_throttle GUARDED_BY(s_throttleLock);
// The crash report's one insert, outside the crashing thread's stack.
wchar_t s_crashDumpPath[EVENT_INSERT_MAX_CHARS + 1] = {};

// The type follows the severity the message table gives the identifier.
WORD EventType(DWORD eventId) noexcept {
    switch (eventId >> 30) {
    case 3: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

HANDLE Source(const wchar_t* sourceName) noexcept {
    HANDLE hSource = s_hSource.load();
    if (hSource != nullptr) return hSource;
    UniqueEventSource registered(::RegisterEventSourceW(nullptr, sourceName));
    HANDLE hEarlier = nullptr;
    // The loser of a race deregisters its own and takes the winner's.
    if (registered && s_hSource.compare_exchange_strong(hEarlier, registered.get())) return registered.release();
    return hEarlier;
}

void LogNotReported(DWORD eventId, DWORD error) noexcept {
    try {
        const std::string line = "event " + std::to_string(eventId & 0xFFFF) + " not reported, error = ";
        LogLine(LogLevel::Warning, kTagContainer, kFunc, line.c_str(), static_cast<unsigned long>(error));
    } catch (...) {
    }
}

void Report(const EventCatalog& catalog, DWORD eventId, std::initializer_list<const char*> inserts,
            bool bAfterStop) noexcept {
    if (!bAfterStop && s_bStopBegun.load()) return;
    EventThrottle::Decision decision;
    {
        const LockGuard<KernelMutex> lock(s_throttleLock);
        decision = s_throttle.Admit(catalog, eventId, s_clock.load()());
    }
    if (!decision.bReport) return;

    detail::EventText text;
    for (const char* insert : inserts) {
        if (text.count < EVENT_MAX_INSERTS) text.Add(insert);
    }
    char heldBack[16] = {};
    std::snprintf(heldBack, sizeof heldBack, "%lu", static_cast<unsigned long>(decision.heldBack));
    text.Add(heldBack);
    const DWORD error = detail::QueueEvent(catalog, eventId, text);
    if (error != ERROR_SUCCESS) LogNotReported(eventId, error);
}

void ReadProgramVersion() noexcept {
    try {
        const std::wstring self = ModulePath();
        const wchar_t* const path = self.c_str();
        if (self.empty()) return;
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
        if (size == 0) return;
        std::vector<unsigned char> record(size);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedSize = 0;
        if (!::GetFileVersionInfoW(path, 0, size, record.data()) ||
            !::VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || fixed == nullptr ||
            fixedSize < sizeof *fixed) {
            return;
        }
        std::snprintf(s_version, sizeof s_version, "%u.%u.%u", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
                      static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)));
    } catch (...) {
    }
}

}  // namespace

namespace detail {

void EventText::Add(const char* text) noexcept {
    wchar_t* out = inserts[count];
    const size_t length = text != nullptr ? ::strnlen(text, EVENT_INSERT_MAX_CHARS + 1) : 0;
    const bool bCut = length > EVENT_INSERT_MAX_CHARS;
    const int bytes = static_cast<int>(bCut ? EVENT_INSERT_MAX_CHARS : length);
    int chars =
        bytes > 0 ? ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, out, static_cast<int>(EVENT_INSERT_MAX_CHARS))
                  : 0;
    if (chars < 0) chars = 0;
    out[chars] = L'\0';
    if (bCut && chars >= 3) ::wcscpy_s(out + chars - 3, 4, L"...");
    ++count;
}

void DeliverEvent(const EventCatalog& catalog, DWORD eventId, const EventText& text) noexcept {
    LPCWSTR pointers[EVENT_MAX_INSERTS + 1] = {};
    for (WORD i = 0; i < text.count; ++i) pointers[i] = text.inserts[i];
    const HANDLE hSource = Source(catalog.sourceName);
    if (hSource != nullptr && s_report.load()(hSource, EventType(eventId), catalog.category(eventId), eventId, nullptr,
                                              text.count, 0, pointers, nullptr)) {
        return;
    }
    LogNotReported(eventId, ::GetLastError());  // of the registration or of the report
}

}  // namespace detail

bool WaitForEventReports(DWORD timeoutMs) noexcept { return detail::WaitForQueuedEvents(timeoutMs); }

void PrepareEventReports(const EventCatalog& catalog) noexcept {
    ReadProgramVersion();
    if (Source(catalog.sourceName) == nullptr) {
        LogLine(LogLevel::Warning, kTagContainer, "PrepareEventReports",
                "RegisterEventSourceW fail error = ", static_cast<unsigned long>(::GetLastError()));
    }
}

const char* ProgramVersionText() noexcept { return s_version; }

void ReportEvent(const EventCatalog& catalog, DWORD eventId, std::initializer_list<const char*> inserts) noexcept {
    Report(catalog, eventId, inserts, false);
}

void ReportEventAfterStop(const EventCatalog& catalog, DWORD eventId,
                          std::initializer_list<const char*> inserts) noexcept {
    Report(catalog, eventId, inserts, true);
}

void EndEventReportsForStop() noexcept { s_bStopBegun.store(true); }

void ReportCrashEvent(const EventCatalog& catalog, const wchar_t* dumpPath) noexcept {
    const HANDLE hSource = s_hSource.load();
    if (hSource == nullptr) return;
    size_t length = 0;
    for (; dumpPath != nullptr && dumpPath[length] != L'\0' && length < EVENT_INSERT_MAX_CHARS; ++length)
        s_crashDumpPath[length] = dumpPath[length];
    s_crashDumpPath[length] = L'\0';
    LPCWSTR inserts[2] = {s_crashDumpPath, L"0"};
    s_report.load()(hSource, EventType(catalog.crashId), catalog.category(catalog.crashId), catalog.crashId, nullptr, 2,
                    0, inserts, nullptr);
}

EventReportFunction SetEventReportFunction(EventReportFunction report) noexcept {
    return s_report.exchange(report != nullptr ? report : &::ReportEventW);
}

EventClock SetEventClock(EventClock clock) noexcept {
    return s_clock.exchange(clock != nullptr ? clock : &::GetTickCount64);
}

}  // namespace qeb
