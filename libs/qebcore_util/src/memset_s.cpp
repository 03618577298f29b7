#include "qebcore_memset_s.h"

#include <cerrno>

int memset_s(void* dest, std::size_t destSize, int ch, std::size_t count) noexcept {
    if (dest == nullptr) return EINVAL;
    const std::size_t n = count < destSize ? count : destSize;
    // Writing through a volatile pointer keeps the stores even when the buffer
    // is dead afterwards, which is the point of clearing it.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(dest);
    const unsigned char value = static_cast<unsigned char>(ch);
    for (std::size_t i = 0; i < n; ++i) p[i] = value;
    return count > destSize ? ERANGE : 0;
}
