#pragma once
// Events in the Windows Application log, under the source and with the
// identifiers of the program's own catalogue (EventCatalog): the message
// table compiled into the program says the texts, and its identifiers'
// severity bits the event types.
//
// Reporting is never in the service's way: a report only queues the event
// for the one reporter thread, which hands it to the Event Log and which
// nothing waits for or terminates (event_queue.h); a report that fails (no
// source, a full log, no Event Log service) costs one log line and nothing
// else; events that find the queue full are dropped, counted, and reported
// as one event of their own before the next one. An identifier is reported
// at most once per EVENT_THROTTLE_WINDOW_MS, except an outage's end and a
// new outage's start (event_throttle.h), its next report carrying the number
// held back as its last insert; once the stop has begun nothing is reported
// until the stop is over. The control handler itself reports nothing.

#include <windows.h>

#include <cstddef>
#include <initializer_list>

namespace qeb {

// What the reporting program says about its events. Static storage: every
// report and the reporter thread use it for as long as the process lives.
struct EventCatalog {
    const wchar_t* sourceName;
    WORD (*category)(DWORD eventId) noexcept;
    // The throttle's outage rule: these identifiers start an outage, and
    // outageEndId ends every one (event_throttle.h).
    bool (*startsOutage)(DWORD eventId) noexcept;
    DWORD outageEndId;
    // The reporter's own event for reports it had to drop (count, then 0).
    DWORD reportsDroppedId;
    // The crash event (the dump's path, then 0).
    DWORD crashId;
};

// Inserts an event carries besides the held-back count.
inline constexpr size_t EVENT_MAX_INSERTS = 3;
// Longest insert in characters: a path fits; longer text is cut and ends in "...".
inline constexpr size_t EVENT_INSERT_MAX_CHARS = MAX_PATH;

// Registers the event source and reads the program's version, once, on the
// process entry's thread before the dispatcher starts. Without it every
// report registers the source itself, and the crash report has none.
void PrepareEventReports(const EventCatalog& catalog) noexcept;

// The version from the program's version record ("1.0.0"), or "unknown".
const char* ProgramVersionText() noexcept;

// Reports `eventId` with its category and type from the message table and
// the given narrow inserts (ANSI code page, at most EVENT_MAX_INSERTS), unless
// the throttle holds it back or the stop has begun.
void ReportEvent(const EventCatalog& catalog, DWORD eventId, std::initializer_list<const char*> inserts) noexcept;

// The same once the stop is over (stopped has been reported): for the
// stopped event, on the process entry's thread after the dispatcher returned.
void ReportEventAfterStop(const EventCatalog& catalog, DWORD eventId,
                          std::initializer_list<const char*> inserts) noexcept;

// Waits at most timeoutMs until every event reported so far has been handed
// to the Event Log; false when the time ran out. For the process's end.
bool WaitForEventReports(DWORD timeoutMs) noexcept;

// One-way, called by the stop path before its first wait.
void EndEventReportsForStop() noexcept;

// For the crash filter, after the dump is written: reports the crash event
// with the dump's path. Uses only what PrepareEventReports made and fixed
// buffers: no lock, no allocation of its own, no throttle (a process crashes
// once). Nothing happens when the source was never registered.
void ReportCrashEvent(const EventCatalog& catalog, const wchar_t* dumpPath) noexcept;

// Seams for the in-process tests: the call that hands an event to the Event
// Log (ReportEventW, made on the reporter thread), and the clock the
// throttle reads (GetTickCount64). Each returns the one it replaced; null
// restores the default.
using EventReportFunction = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
EventReportFunction SetEventReportFunction(EventReportFunction report) noexcept;
using EventClock = ULONGLONG (*)();
EventClock SetEventClock(EventClock clock) noexcept;

}  // namespace qeb
