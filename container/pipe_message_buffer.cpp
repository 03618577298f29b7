#include "pipe_message_buffer.h"

#include "qebcore_memset_s.h"

static_assert(PIPE_READ_MAX_BYTES * 2 <= PIPE_READ_BUFFER_BYTES,
              "a full read must leave at least one null unit behind it");

void PipeMessageBuffer::Clear() noexcept { memset_s(m_units, sizeof m_units, 0, sizeof m_units); }
