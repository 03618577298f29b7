#include "background_call.h"

#include <atomic>
#include <memory>
#include <utility>

#include "qebcore_dbg.h"
#include "unique_handle.h"

namespace VelantThread {

namespace {

std::atomic<JobStepHook> s_stepHook{nullptr};

struct Job {
    const char* name = nullptr;  // null for work nobody holds at a step
    std::function<void()> work;
    LCID locale = 0;
    qeb::UniqueHandle hStop;  // the pool thread's own copy; null when there is no stop
    qeb::UniqueHandle hDone;  // manual-reset; null for work nobody waits for
};

void RunWork(Job& job) noexcept {
    const LCID previous = ::GetThreadLocale();
    if (job.locale != 0 && job.locale != previous) ::SetThreadLocale(job.locale);
    try {
        job.work();
    } catch (...) {
        // A job that fails this way simply has no result.
    }
    if (::GetThreadLocale() != previous) ::SetThreadLocale(previous);
}

VOID CALLBACK RunPooledJob(PTP_CALLBACK_INSTANCE, PVOID context) {
    // Whoever lets go last (this thread or the waiter) destroys the job.
    const std::unique_ptr<std::shared_ptr<Job>> owned(static_cast<std::shared_ptr<Job>*>(context));
    Job& job = **owned;
    DbgSdkPrepareThread();
    MarkJobStep(job.name, "queued");
    if (!IsSignalled(job.hStop.get())) {
        MarkJobStep(job.name, "running");
        RunWork(job);
    }
    if (job.hDone) ::SetEvent(job.hDone.get());
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
        if (!::TrySubmitThreadpoolCallback(&RunPooledJob, context.get(), SerialPool())) return false;
        context.release();  // NOLINT(bugprone-unused-return-value): now the callback's, which deletes it
        return true;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<Job> MakeJob(const char* name, std::function<void()> work) {
    auto job = std::make_shared<Job>();
    job->name = name;
    job->work = std::move(work);
    job->locale = ::GetThreadLocale();
    return job;
}

}  // namespace

bool IsSignalled(HANDLE handle) noexcept {
    return handle != nullptr && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

BackgroundOutcome RunUnlessStopped(const char* name, std::function<void()> work, HANDLE hStop) noexcept {
    try {
        if (IsSignalled(hStop)) return BackgroundOutcome::Stopped;
        const std::shared_ptr<Job> job = MakeJob(name, std::move(work));
        job->hDone.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!job->hDone) return BackgroundOutcome::Refused;
        // A copy of its own, so the job can still look at the stop after a
        // caller that walked away has closed its handle.
        if (hStop != nullptr && !::DuplicateHandle(::GetCurrentProcess(), hStop, ::GetCurrentProcess(),
                                                   job->hStop.put(), SYNCHRONIZE, FALSE, 0)) {
            return BackgroundOutcome::Refused;
        }
        if (!Submit(job)) return BackgroundOutcome::Refused;
        if (!job->hStop) {
            return ::WaitForSingleObject(job->hDone.get(), INFINITE) == WAIT_OBJECT_0 ? BackgroundOutcome::Finished
                                                                                      : BackgroundOutcome::Stopped;
        }
        // The stop wins when both are signalled: the caller is leaving anyway.
        // A failed wait counts as a stop too, so the caller is never held.
        const HANDLE waits[2] = {job->hStop.get(), job->hDone.get()};
        return ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 ? BackgroundOutcome::Finished
                                                                                        : BackgroundOutcome::Stopped;
    } catch (...) {
        return BackgroundOutcome::Refused;
    }
}

bool RunInBackground(std::function<void()> work) noexcept {
    try {
        return Submit(MakeJob(nullptr, std::move(work)));
    } catch (...) {
        return false;
    }
}

void SetJobStepHook(JobStepHook hook) noexcept { s_stepHook.store(hook); }

void MarkJobStep(const char* job, const char* step) noexcept {
    const JobStepHook hook = s_stepHook.load();
    if (hook != nullptr && job != nullptr) hook(job, step);
}

}  // namespace VelantThread
