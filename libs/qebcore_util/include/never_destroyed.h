#pragma once
// Storage for a process-wide single instance that is built once and never
// torn down. At the process's end the exit-time destructors run while work
// the stop left behind (a signature check on a pool thread, a start-up that
// has not returned yet) may still use the instance; the system reclaims its
// memory and handles when the process ends.

#include <new>
#include <type_traits>
#include <utility>

namespace qeb {

template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) noexcept(std::is_nothrow_constructible_v<T, Args...>) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    // Trivial on purpose: the instance outlives every exit-time destructor.
    ~NeverDestroyed() = default;

    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace qeb
