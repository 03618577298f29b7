#include "background_call.h"

#include <memory>
#include <utility>

#include "unique_handle.h"

namespace VelantThread {

namespace {

// Work still running on pool threads. Trivially destructible and never torn
// down: pool threads may still be inside it while the process exits.
struct WorkInFlight {
    CRITICAL_SECTION lock;
    HANDLE hIdle;  // manual-reset, signalled while nothing runs
    long count;
};

WorkInFlight& InFlight() noexcept {
    static WorkInFlight s_inFlight{};
    static const bool s_bReady = [] {
        ::InitializeCriticalSection(&s_inFlight.lock);
        s_inFlight.hIdle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        return true;
    }();
    static_cast<void>(s_bReady);
    return s_inFlight;
}

void CountIn() noexcept {
    WorkInFlight& inFlight = InFlight();
    ::EnterCriticalSection(&inFlight.lock);
    if (inFlight.count++ == 0 && inFlight.hIdle != nullptr) ::ResetEvent(inFlight.hIdle);
    ::LeaveCriticalSection(&inFlight.lock);
}

void CountOut() noexcept {
    WorkInFlight& inFlight = InFlight();
    ::EnterCriticalSection(&inFlight.lock);
    if (--inFlight.count == 0 && inFlight.hIdle != nullptr) ::SetEvent(inFlight.hIdle);
    ::LeaveCriticalSection(&inFlight.lock);
}

struct Job {
    std::function<void()> work;
    LCID locale = 0;
    qeb::UniqueHandle hDone;  // manual-reset; null for work nobody waits for
};

void RunJob(Job& job) noexcept {
    const LCID previous = ::GetThreadLocale();
    if (job.locale != 0 && job.locale != previous) ::SetThreadLocale(job.locale);
    try {
        job.work();
    } catch (...) {
        // A job that fails this way simply has no result.
    }
    if (::GetThreadLocale() != previous) ::SetThreadLocale(previous);
    if (job.hDone) ::SetEvent(job.hDone.get());
}

VOID CALLBACK RunPooledJob(PTP_CALLBACK_INSTANCE, PVOID context) {
    {
        // Whoever lets go last (this thread or the waiter) destroys the job.
        const std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(context));
        RunJob(**job);
    }
    CountOut();
}

// One worker at a time, in a pool of our own: the work is a few checks and
// process creations, one after the other, and each extra pool thread would
// keep a deep crypto stack of its own. Null (the process's default pool)
// when the pool cannot be made.
PTP_CALLBACK_ENVIRON SerialPool() noexcept {
    static TP_CALLBACK_ENVIRON s_environment;
    static const bool s_bReady = [] {
        const PTP_POOL pool = ::CreateThreadpool(nullptr);
        if (pool == nullptr) return false;
        ::SetThreadpoolThreadMaximum(pool, 1);
        ::InitializeThreadpoolEnvironment(&s_environment);
        ::SetThreadpoolCallbackPool(&s_environment, pool);
        return true;
    }();
    return s_bReady ? &s_environment : nullptr;
}

bool Submit(const std::shared_ptr<Job>& job) noexcept {
    try {
        auto context = std::make_unique<std::shared_ptr<Job>>(job);
        CountIn();
        if (!::TrySubmitThreadpoolCallback(&RunPooledJob, context.get(), SerialPool())) {
            CountOut();
            return false;
        }
        context.release();  // NOLINT(bugprone-unused-return-value): now the callback's, which deletes it
        return true;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<Job> MakeJob(std::function<void()> work) {
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    job->locale = ::GetThreadLocale();
    return job;
}

bool IsSignalled(HANDLE handle) noexcept {
    return handle != nullptr && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

}  // namespace

bool RunUnlessStopped(std::function<void()> work, HANDLE hStop) noexcept {
    try {
        if (IsSignalled(hStop)) return false;
        const std::shared_ptr<Job> job = MakeJob(std::move(work));
        job->hDone.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!job->hDone || !Submit(job)) {
            RunJob(*job);
            return true;
        }
        if (hStop == nullptr) return ::WaitForSingleObject(job->hDone.get(), INFINITE) == WAIT_OBJECT_0;
        const HANDLE waits[2] = {hStop, job->hDone.get()};
        // The stop wins when both are signalled: the caller is leaving anyway.
        const DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 1) return true;
        if (result == WAIT_OBJECT_0) return false;
        // The stop handle is unusable: wait for the work alone.
        return ::WaitForSingleObject(job->hDone.get(), INFINITE) == WAIT_OBJECT_0;
    } catch (...) {
        return false;
    }
}

bool RunInBackground(std::function<void()> work) noexcept {
    try {
        return Submit(MakeJob(std::move(work)));
    } catch (...) {
        return false;
    }
}

bool WaitForBackgroundWork(DWORD timeoutMs) noexcept {
    const HANDLE hIdle = InFlight().hIdle;
    return hIdle != nullptr && ::WaitForSingleObject(hIdle, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace VelantThread
