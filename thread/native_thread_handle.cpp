#include "thread_manager.h"

#if !defined(_MSC_VER)
#include <pthread.h>
#endif

namespace VelantThread {

HANDLE NativeThreadHandle(std::thread& thread) noexcept {
    if (!thread.joinable()) return nullptr;
#if defined(_MSC_VER)
    return static_cast<HANDLE>(thread.native_handle());
#else
    // mingw's posix thread model hands out a winpthreads id; the Win32 handle
    // lives behind it.
    return pthread_gethandle(thread.native_handle());
#endif
}

}  // namespace VelantThread
