#pragma once
// The service's key events in the Windows Application log, under the source
// "QEBCoreService", with the identifiers and texts of the message table
// compiled into QEBCoreService.exe (resources/QEBCoreServiceEvents.mc).
//
// Reporting is never in the service's way: a report that fails (no source,
// a full log, no Event Log service) costs one log line and nothing else; an
// identifier is reported at most once per EVENT_THROTTLE_WINDOW_MS, its next
// report carrying the number held back as its last insert; once the stop has
// begun nothing is reported until the stop is over, so no report runs inside
// the stop's bounded waits. The control handler itself reports nothing.

#include <windows.h>

#include <cstddef>
#include <initializer_list>

#include "QEBCoreServiceEvents.h"

namespace qeb {

inline constexpr wchar_t EVENT_SOURCE_NAME[] = L"QEBCoreService";
// Inserts an event carries besides the held-back count.
inline constexpr size_t EVENT_MAX_INSERTS = 3;
// Longest insert in characters: a path fits; longer text is cut and ends in "...".
inline constexpr size_t EVENT_INSERT_MAX_CHARS = MAX_PATH;

// Registers the event source and reads the program's version, once, on the
// process entry's thread before the dispatcher starts. Without it every
// report registers the source itself, and the crash report has none.
void PrepareEventReports() noexcept;

// The version from the program's version record ("1.0.0"), or "unknown".
const char* ProgramVersionText() noexcept;

// Reports `eventId` with its category and type from the message table and
// the given narrow inserts (ANSI code page, at most EVENT_MAX_INSERTS), unless
// the throttle holds it back or the stop has begun.
void ReportServiceEvent(DWORD eventId, std::initializer_list<const char*> inserts) noexcept;

// The same once the stop is over (stopped has been reported): for the
// stopped event, on the process entry's thread after the dispatcher returned.
void ReportServiceEventAfterStop(DWORD eventId, std::initializer_list<const char*> inserts) noexcept;

// One-way, called by the stop path before its first wait.
void EndEventReportsForStop() noexcept;

// For the crash filter, after the dump is written: reports the crash event
// with the dump's path. Uses only what PrepareEventReports made and fixed
// buffers: no lock, no allocation of its own, no throttle (a process crashes
// once). Nothing happens when the source was never registered.
void ReportServiceCrashEvent(const wchar_t* dumpPath) noexcept;

// Seams for the in-process tests: the call that hands an event to the Event
// Log (ReportEventW), and the clock the throttle reads (GetTickCount64). Each
// returns the one it replaced; null restores the default.
using EventReportFunction = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
EventReportFunction SetEventReportFunction(EventReportFunction report) noexcept;
using EventClock = ULONGLONG (*)();
EventClock SetEventClock(EventClock clock) noexcept;

}  // namespace qeb
