#pragma once
// Flood control for the events the service reports. A container that ends
// every 2 s would otherwise put 43,200 events a day into the Application
// log; the log file still keeps every line.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "event_report.h"

namespace qeb {

// Each event identifier is reported at most once per window, with one
// exception that keeps alert rules on outages true: the end of an outage is
// reported whenever its start was, and a failure after a reported recovery
// is reported too, so the Event Log's last word on the container is never
// older than the container's own.
inline constexpr uint64_t EVENT_THROTTLE_WINDOW_MS = 5ULL * 60 * 1000;

// Decides, per event identifier, whether an occurrence is reported and how
// many were held back since that identifier's last report. Fixed storage, no
// lock: the caller serialises.
class EventThrottle {
public:
    struct Decision {
        bool bReport = false;
        uint32_t heldBack = 0;  // occurrences held back since the last report
    };

    // The catalogue gives the outage rule.
    Decision Admit(const EventCatalog& catalog, uint32_t eventId, uint64_t nowMs) noexcept;

private:
    struct Slot {
        uint32_t eventId = 0;
        bool bUsed = false;
        uint64_t lastReportMs = 0;
        uint32_t heldBack = 0;
        // A failure reported and no recovery reported since.
        bool bAwaitingRecovery = false;
    };
    // More than the message table has identifiers.
    static constexpr size_t kSlots = 16;
    Slot m_slots[kSlots] = {};
};

}  // namespace qeb
