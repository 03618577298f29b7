#pragma once
// Work that the calling thread may have to walk away from. A signature check
// of a large file, or a process creation on a loaded machine, can outlast the
// time the thread manager gives a thread to end at stop; run on a pool thread
// instead, the caller stays free to leave at once and is never terminated
// inside the loader, the crypto providers or the heap.

#include <windows.h>

#include <functional>

namespace VelantThread {

// Runs `work` on a thread-pool thread and waits until it has finished or
// hStop is signalled, whichever comes first; hStop is also looked at before
// the work is handed over. True when the work ran to its end; false when the
// caller was stopped, in which case the work may still be running and finishes
// on its own. The work must therefore own everything it touches (capture by
// value or shared pointer) and must not use the service's long-lived objects,
// the log among them. The pool thread takes the caller's thread locale for the
// length of the work, so CP_THREAD_ACP means the same on both sides.
// When the pool refuses the work it runs on the calling thread.
bool RunUnlessStopped(std::function<void()> work, HANDLE hStop) noexcept;

// Hands `work` to a thread-pool thread without waiting for it; false when the
// pool refused it (the work is then not run).
bool RunInBackground(std::function<void()> work) noexcept;

// Waits at most timeoutMs until no work handed over by the two calls above is
// running any more; true when none is. For the process's end, so that the
// exit-time destructors never run under such work.
bool WaitForBackgroundWork(DWORD timeoutMs) noexcept;

}  // namespace VelantThread
