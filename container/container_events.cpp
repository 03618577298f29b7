#include "container_events.h"

#include <atomic>

namespace {
std::atomic<const ContainerEventSink*> s_sink{nullptr};
}  // namespace

void SetContainerEventSink(const ContainerEventSink* sink) noexcept { s_sink.store(sink); }

const ContainerEventSink* GetContainerEventSink() noexcept { return s_sink.load(); }
