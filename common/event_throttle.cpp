#include "event_throttle.h"

namespace qeb {

EventThrottle::Decision EventThrottle::Admit(uint32_t eventId, uint64_t nowMs) noexcept {
    Slot* free = nullptr;
    for (Slot& slot : m_slots) {
        if (!slot.bUsed) {
            if (free == nullptr) free = &slot;
            continue;
        }
        if (slot.eventId != eventId) continue;
        if (nowMs - slot.lastReportMs < EVENT_THROTTLE_WINDOW_MS) {
            if (slot.heldBack != UINT32_MAX) ++slot.heldBack;
            return {false, slot.heldBack};
        }
        const Decision decision{true, slot.heldBack};
        slot.lastReportMs = nowMs;
        slot.heldBack = 0;
        return decision;
    }
    // An identifier the table has no room for is never held back: losing an
    // event is worse than a flood of one kind.
    if (free != nullptr) *free = Slot{eventId, true, nowMs, 0};
    return {true, 0};
}

}  // namespace qeb
