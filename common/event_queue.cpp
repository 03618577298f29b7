#include "event_queue.h"

#include <cstdio>
#include <utility>

#include "locks.h"
#include "thread_annotations.h"
#include "unique_handle.h"

namespace qeb::detail {

namespace {

struct QueuedEvent {
    const EventCatalog* catalog = nullptr;
    DWORD eventId = 0;
    uint32_t droppedBefore = 0;  // events dropped right before this one
    EventText text;
};

// Plain data without a destructor: the reporter may still deliver while the
// process runs its exit code.
struct EventQueue {
    QueuedEvent entries[EVENT_QUEUE_SLOTS];
    size_t first = 0;
    size_t count = 0;
    uint32_t dropped = 0;
    bool bReporterStarted = false;
};
// A kernel mutex, as a thread the stop terminates may be inside QueueEvent.
KernelMutex s_queueLock;
EventQueue s_queue GUARDED_BY(s_queueLock);

// Never closed: the reporter uses them until the process ends.
struct QueueHandles {
    HANDLE hWake;  // auto-reset: something was queued
    HANDLE hIdle;  // manual-reset: nothing queued and nothing under way
};
const QueueHandles& Handles() noexcept {
    static const QueueHandles s_handles{::CreateEventW(nullptr, FALSE, FALSE, nullptr),
                                        ::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    return s_handles;
}

// False when the queue was empty; the reporter is idle from then on.
bool TakeNext(QueuedEvent& event) noexcept {
    const QueueHandles& handles = Handles();
    const LockGuard<KernelMutex> lock(s_queueLock);
    if (s_queue.count == 0) {
        ::SetEvent(handles.hIdle);
        return false;
    }
    event = s_queue.entries[s_queue.first];
    s_queue.first = (s_queue.first + 1) % EVENT_QUEUE_SLOTS;
    --s_queue.count;
    return true;
}

DWORD WINAPI ReporterThread(void* /*unused*/) {
    QueuedEvent event;
    for (;;) {
        if (::WaitForSingleObject(Handles().hWake, INFINITE) == WAIT_FAILED) ::Sleep(1000);
        while (TakeNext(event)) {
            if (event.droppedBefore > 0) {
                char count[16] = {};
                std::snprintf(count, sizeof count, "%lu", static_cast<unsigned long>(event.droppedBefore));
                EventText dropped;
                dropped.Add(count);
                dropped.Add("0");
                DeliverEvent(*event.catalog, event.catalog->reportsDroppedId, dropped);
            }
            DeliverEvent(*event.catalog, event.eventId, event.text);
        }
    }
}

}  // namespace

DWORD QueueEvent(const EventCatalog& catalog, DWORD eventId, const EventText& text) noexcept {
    const QueueHandles& handles = Handles();
    if (handles.hWake == nullptr || handles.hIdle == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const LockGuard<KernelMutex> lock(s_queueLock);
    if (!s_queue.bReporterStarted) {
        // Its handle is not needed: nothing ever waits for the reporter.
        const UniqueHandle hThread(::CreateThread(nullptr, 0, &ReporterThread, nullptr, 0, nullptr));
        if (!hThread) return ::GetLastError();
        s_queue.bReporterStarted = true;
    }
    if (s_queue.count == EVENT_QUEUE_SLOTS) {
        if (s_queue.dropped != UINT32_MAX) ++s_queue.dropped;
        return ERROR_BUSY;
    }
    QueuedEvent& entry = s_queue.entries[(s_queue.first + s_queue.count) % EVENT_QUEUE_SLOTS];
    entry.catalog = &catalog;
    entry.eventId = eventId;
    entry.droppedBefore = std::exchange(s_queue.dropped, 0);
    entry.text = text;
    ++s_queue.count;
    ::ResetEvent(handles.hIdle);
    ::SetEvent(handles.hWake);
    return ERROR_SUCCESS;
}

bool WaitForQueuedEvents(DWORD timeoutMs) noexcept {
    const HANDLE hIdle = Handles().hIdle;
    return hIdle != nullptr && ::WaitForSingleObject(hIdle, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace qeb::detail
