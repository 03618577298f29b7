#include "event_forward.h"

#include <cstdint>

#include "path_utils.h"
#include "qeb_core_process.h"

std::string ComposeWinEventMessage(DWORD eventType, DWORD sessionId) {
    std::string text = "NotifyWinEvent";
    text += std::to_string(eventType);
    text += "EventId";
    text += std::to_string(sessionId);
    return text;
}

bool NotifyWinEvent(DWORD eventType, void* eventData) {
    // A session change always carries its record; without one there is no
    // session to name, and inventing one would mislead the container.
    if (eventData == nullptr) return true;

    try {
        const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
        const std::string text = ComposeWinEventMessage(eventType, notification->dwSessionId);
        const auto wide = qeb::NarrowToWide(text.c_str(), CP_THREAD_ACP);
        const uint32_t byteCount = static_cast<uint32_t>(text.size() * sizeof(wchar_t));
        // A failed conversion still goes to the send, which then fails and
        // logs the lost message like any other failed write.
        QEBCoreProcess::GetInstance()->SendDataPipe(wide ? wide->c_str() : nullptr, byteCount);
    } catch (...) {
        // Only memory exhaustion can land here; the event is lost.
    }
    return true;
}
