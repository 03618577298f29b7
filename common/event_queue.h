#pragma once
// Between the threads that report events and the one thread that hands them
// to the Event Log. ReportEventW is a remote call without a time-out: made on
// a worker, it could hold that worker past the time the stop gives it, and a
// worker terminated inside it can leave the process's RPC state locked for
// the stop's own SetServiceStatus. The reporter thread is nobody's to wait
// for or to terminate; a stuck report holds only the reports after it.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "event_report.h"

namespace qeb::detail {

// Events waiting for the reporter; past that they are dropped and counted.
inline constexpr size_t EVENT_QUEUE_SLOTS = 16;

// The inserts of one event, in fixed storage, converted on the reporting
// thread (its code page), the held-back count last.
struct EventText {
    wchar_t inserts[EVENT_MAX_INSERTS + 1][EVENT_INSERT_MAX_CHARS + 1] = {};
    WORD count = 0;

    void Add(const char* text) noexcept;
};

// ERROR_SUCCESS once the reporter has the event; ERROR_BUSY when the queue is
// full (the drop is counted, and the next event queued carries the count), or
// the error that kept the reporter thread from starting.
DWORD QueueEvent(const EventCatalog& catalog, DWORD eventId, const EventText& text) noexcept;

// On the reporter thread: hands one event to the Event Log, or logs why not.
void DeliverEvent(const EventCatalog& catalog, DWORD eventId, const EventText& text) noexcept;

// True once every queued event was delivered, within timeoutMs.
bool WaitForQueuedEvents(DWORD timeoutMs) noexcept;

}  // namespace qeb::detail
