#pragma once
// Work that the calling thread may have to walk away from. A signature check
// of a large file, or a process creation on a loaded machine, can outlast the
// time the thread manager gives a thread to end at stop; run on a pool thread
// instead, the caller stays free to leave at once and is never terminated
// inside the loader, the crypto providers or the heap.

#include <windows.h>

#include <functional>

namespace VelantThread {

enum class BackgroundOutcome {
    Finished,  // the work ran to its end
    Stopped,   // the stop came first; the work may still run, or never will
    Refused,   // the pool did not take the work; it never runs
};

// Runs `work` on the pool thread and waits until it has finished or hStop is
// signalled, whichever comes first. hStop is looked at before the work is
// handed over, and again by the pool thread right before it starts the work:
// work still waiting for the pool when the stop comes never runs. Work the
// caller walked away from finishes on its own, so it must own everything it
// touches (capture by value or shared pointer). The pool thread takes the
// caller's thread locale for the length of the work, so CP_THREAD_ACP means
// the same on both sides. `name` names the work for MarkJobStep.
BackgroundOutcome RunUnlessStopped(const char* name, std::function<void()> work, HANDLE hStop) noexcept;

// Hands `work` to the pool thread without waiting for it; false when the pool
// refused it (the work is then not run).
bool RunInBackground(std::function<void()> work) noexcept;

// A seam for the test build of the service, which holds a launch at a chosen
// step: the pool thread calls the hook with the job's name and "queued"
// before it looks at the stop, with "running" right before the work, and
// wherever the work itself calls MarkJobStep. No hook is set in the service.
using JobStepHook = void (*)(const char* job, const char* step);
void SetJobStepHook(JobStepHook hook) noexcept;
void MarkJobStep(const char* job, const char* step) noexcept;

// True when the event (or any waitable handle) is signalled now; false for
// a null handle.
bool IsSignalled(HANDLE handle) noexcept;

}  // namespace VelantThread
