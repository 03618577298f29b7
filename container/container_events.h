#pragma once
// What the container control object tells the program it runs in, beside
// its own log lines: the host turns these into reports of its own. Until a
// host installs its sink, nothing is told.

#include <cstdint>

struct ContainerEventSink {
    // Stray containers a clean-up ended (at least one).
    void (*strayContainersEnded)(uint32_t count) noexcept;
    // A launch refused the container's file: its path and the check that failed.
    void (*containerRefused)(const char* path, const char* check) noexcept;
};

// sink has static storage (or is null for none); set before the first launch.
void SetContainerEventSink(const ContainerEventSink* sink) noexcept;
const ContainerEventSink* GetContainerEventSink() noexcept;
