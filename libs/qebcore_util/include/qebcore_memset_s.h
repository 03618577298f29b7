#pragma once
// Bounded fill that the compiler may not optimise away (for clearing buffers
// that held data). Writes min(count, destSize) bytes; returns 0 on success,
// EINVAL for a null destination, ERANGE when count exceeds destSize (the
// destination is then filled up to destSize only).

#include <cstddef>

int memset_s(void* dest, std::size_t destSize, int ch, std::size_t count) noexcept;
