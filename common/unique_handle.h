#pragma once
// Owning wrapper for a Win32 kernel handle: closes it exactly once.
// Both null and INVALID_HANDLE_VALUE mean "no handle", because Win32 uses
// either as the failure value depending on the API.

#include <windows.h>

#include <utility>

namespace qeb {

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : m_handle(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    // HANDLE is an opaque value, not a pointer to data this could promise not to change.
    // cppcheck-suppress constParameter
    static bool IsValid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

    HANDLE get() const noexcept { return m_handle; }
    bool valid() const noexcept { return IsValid(m_handle); }
    explicit operator bool() const noexcept { return valid(); }

    HANDLE release() noexcept { return std::exchange(m_handle, nullptr); }

    void reset(HANDLE handle = nullptr) noexcept {
        const HANDLE old = std::exchange(m_handle, handle);
        if (IsValid(old)) ::CloseHandle(old);
    }

    // For out-parameters of Win32 calls: drops the current handle first.
    HANDLE* put() noexcept {
        reset();
        return &m_handle;
    }

private:
    HANDLE m_handle = nullptr;
};

}  // namespace qeb
