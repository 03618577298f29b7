#include "pipe_message_buffer.h"

#include <cstring>

#include "qebcore_memset_s.h"

static_assert(PIPE_READ_MAX_BYTES * 2 <= PIPE_READ_BUFFER_BYTES,
              "a full read must leave at least one null unit behind it");

void PipeMessageBuffer::Clear() noexcept { memset_s(m_units, sizeof m_units, 0, sizeof m_units); }

size_t PipeMessageBuffer::Fill(const void* bytes, size_t count) noexcept {
    Clear();
    const size_t taken = count < ReadLimit() ? count : ReadLimit();
    // cppcheck-suppress knownConditionTrueFalse ; false only for an empty read
    if (bytes != nullptr && taken > 0) std::memcpy(m_units, bytes, taken);
    return bytes != nullptr ? taken : 0;
}
