#pragma once
// Framing of the container's output: one read is one message. The buffer is
// cleared before every read and a read takes at most half of it, so the text
// in it always ends with a null unit, whatever bytes arrived (odd counts,
// no terminator, unpaired surrogates). Platform-free, so that it also builds
// natively for the fuzz targets.

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t PIPE_READ_BUFFER_BYTES = 8192;
inline constexpr uint32_t PIPE_READ_MAX_BYTES = 4096;

class PipeMessageBuffer {
public:
    PipeMessageBuffer() noexcept { Clear(); }

    void Clear() noexcept;
    // Where a read puts its bytes, and how many it may put there.
    void* ReadTarget() noexcept { return m_units; }
    static constexpr uint32_t ReadLimit() noexcept { return PIPE_READ_MAX_BYTES; }
    // Clears, then places the bytes as one read would: at most ReadLimit()
    // of them, the rest is not taken. Returns the count placed.
    size_t Fill(const void* bytes, size_t count) noexcept;
    // The message: the units up to the first null one.
    wchar_t* Text() noexcept { return m_units; }
    static constexpr size_t CapacityUnits() noexcept { return sizeof(m_units) / sizeof(m_units[0]); }

private:
    wchar_t m_units[PIPE_READ_BUFFER_BYTES / sizeof(wchar_t)];
};
