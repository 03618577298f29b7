#pragma once
// Owners of Win32 and CryptoAPI handles: each closes its handle exactly once,
// with the one function that kind of handle needs. A kind is a traits type
// giving the handle type, its close function and its invalid values; the
// owner itself is written once, below.

#include <windows.h>
#include <wincrypt.h>

#include <utility>

namespace qeb {

template <typename Traits>
class UniqueAny {
public:
    using pointer = typename Traits::Type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(pointer value) noexcept : m_value(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    // A handle is an opaque value, not a pointer to data this could promise not to change.
    // cppcheck-suppress constParameter
    static bool IsValid(pointer value) noexcept { return value != nullptr && Traits::IsValid(value); }

    pointer get() const noexcept { return m_value; }
    pointer operator->() const noexcept { return m_value; }
    bool valid() const noexcept { return IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(m_value, nullptr); }

    void reset(pointer value = nullptr) noexcept {
        const pointer old = std::exchange(m_value, value);
        if (IsValid(old)) Traits::Close(old);
    }

    // For out-parameters of Win32 calls: drops the current handle first.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value = nullptr;
};

// A kind whose only invalid value is null.
template <typename T, auto CloseFunction>
struct NullInvalid {
    using Type = T;
    static bool IsValid(T /*value*/) noexcept { return true; }
    static void Close(T value) noexcept { CloseFunction(value); }
};

// Kernel objects: Win32 uses null or INVALID_HANDLE_VALUE as the failure
// value depending on the API, so both mean "no handle".
struct KernelHandleTraits {
    using Type = HANDLE;
    // cppcheck-suppress constParameter
    static bool IsValid(HANDLE value) noexcept { return value != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE value) noexcept { ::CloseHandle(value); }
};

namespace handle_close {
inline void CertStore(HCERTSTORE store) noexcept { ::CertCloseStore(store, 0); }
inline void Certificate(PCCERT_CONTEXT certificate) noexcept { ::CertFreeCertificateContext(certificate); }
inline void Chain(PCCERT_CHAIN_CONTEXT chain) noexcept { ::CertFreeCertificateChain(chain); }
inline void ChainEngine(HCERTCHAINENGINE engine) noexcept { ::CertFreeCertificateChainEngine(engine); }
inline void CryptMessage(HCRYPTMSG message) noexcept { ::CryptMsgClose(message); }
inline void ServiceHandle(SC_HANDLE handle) noexcept { ::CloseServiceHandle(handle); }
inline void RegistryKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void Module(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void EventSource(HANDLE source) noexcept { ::DeregisterEventSource(source); }
// Disarmed, and its running callback waited for, before it is closed: a timer
// that goes away can never fire into what its owner does afterwards.
inline void ThreadpoolTimer(PTP_TIMER timer) noexcept {
    ::SetThreadpoolTimer(timer, nullptr, 0, 0);
    ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
    ::CloseThreadpoolTimer(timer);
}
}  // namespace handle_close

using UniqueHandle = UniqueAny<KernelHandleTraits>;

// A private, non-inheritable copy of a kernel handle with the same access,
// for a wait or a call made outside the lock that guards the original;
// empty when there is none or the copy fails.
inline UniqueHandle DuplicateSameAccess(HANDLE handle) noexcept {
    const HANDLE self = ::GetCurrentProcess();
    HANDLE hCopy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(self, handle, self, &hCopy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        hCopy = nullptr;
    return UniqueHandle(hCopy);
}
using UniqueServiceHandle = UniqueAny<NullInvalid<SC_HANDLE, handle_close::ServiceHandle>>;
using UniqueRegistryKey = UniqueAny<NullInvalid<HKEY, handle_close::RegistryKey>>;
using UniqueModule = UniqueAny<NullInvalid<HMODULE, handle_close::Module>>;
using UniqueEventSource = UniqueAny<NullInvalid<HANDLE, handle_close::EventSource>>;
using UniqueCertStore = UniqueAny<NullInvalid<HCERTSTORE, handle_close::CertStore>>;
using UniqueCertificate = UniqueAny<NullInvalid<PCCERT_CONTEXT, handle_close::Certificate>>;
using UniqueChainContext = UniqueAny<NullInvalid<PCCERT_CHAIN_CONTEXT, handle_close::Chain>>;
using UniqueChainEngine = UniqueAny<NullInvalid<HCERTCHAINENGINE, handle_close::ChainEngine>>;
using UniqueCryptMessage = UniqueAny<NullInvalid<HCRYPTMSG, handle_close::CryptMessage>>;
using UniqueThreadpoolTimer = UniqueAny<NullInvalid<PTP_TIMER, handle_close::ThreadpoolTimer>>;

}  // namespace qeb
