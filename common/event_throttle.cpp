#include "event_throttle.h"

namespace qeb {

EventThrottle::Decision EventThrottle::Admit(const EventCatalog& catalog, uint32_t eventId, uint64_t nowMs) noexcept {
    Slot* own = nullptr;
    Slot* free = nullptr;
    bool bEndsOutage = false;
    for (Slot& slot : m_slots) {
        if (!slot.bUsed) {
            if (free == nullptr) free = &slot;
        } else if (slot.eventId == eventId) {
            own = &slot;
        } else if (slot.bAwaitingRecovery && eventId == catalog.outageEndId) {
            bEndsOutage = true;
        }
    }
    const bool bFailure = catalog.startsOutage != nullptr && catalog.startsOutage(eventId);
    if (own == nullptr) {
        // An identifier the table has no room for is never held back: losing
        // an event is worse than a flood of one kind.
        if (free == nullptr) return {true, 0};
        own = free;
        *own = Slot{eventId, true, nowMs, 0, false};
    } else if (nowMs - own->lastReportMs < EVENT_THROTTLE_WINDOW_MS && !bEndsOutage &&
               !(bFailure && !own->bAwaitingRecovery)) {
        if (own->heldBack != UINT32_MAX) ++own->heldBack;
        return {false, own->heldBack};
    }
    const Decision decision{true, own->heldBack};
    own->lastReportMs = nowMs;
    own->heldBack = 0;
    own->bAwaitingRecovery = bFailure;
    if (bEndsOutage) {
        for (Slot& slot : m_slots) slot.bAwaitingRecovery = false;
    }
    return decision;
}

}  // namespace qeb
