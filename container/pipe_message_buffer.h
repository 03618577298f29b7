#pragma once
// Framing of the container's output: one read is one message. The buffer is
// cleared before every read and a read takes at most half of it, so the text
// in it always ends with a null unit, whatever bytes arrived (odd counts,
// no terminator, unpaired surrogates). Platform-free: the listener hands
// ReadMessage its ReadFile, the fuzz targets a reader over their input.

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t PIPE_READ_BUFFER_BYTES = 8192;
inline constexpr uint32_t PIPE_READ_MAX_BYTES = 4096;

class PipeMessageBuffer {
public:
    PipeMessageBuffer() noexcept { Clear(); }

    // Clears the buffer, then lets `read(target, limit)` place at most
    // `limit` bytes at `target`, as one ReadFile does; returns its verdict.
    template <typename Read>
    bool ReadMessage(Read&& read) {
        Clear();
        return read(static_cast<void*>(m_units), PIPE_READ_MAX_BYTES);
    }
    // The message: the units up to the first null one.
    wchar_t* Text() noexcept { return m_units; }
    static constexpr size_t CapacityUnits() noexcept { return sizeof(m_units) / sizeof(m_units[0]); }

private:
    void Clear() noexcept;

    wchar_t m_units[PIPE_READ_BUFFER_BYTES / sizeof(wchar_t)];
};
