#pragma once
// The container's process creation, as the pool thread runs it, and the stop
// path's wait for a creation it made a launch walk away from.

#include <windows.h>

#include <string>

#include "unique_handle.h"

// What one creation produced.
enum class CreationOutcome {
    Created,  // running; the handle is in `hProcess`
    Failed,   // nothing runs; the system's error code is in `error`
    Stopped,  // the stop had begun: nothing was started, or what was created never ran
};

struct CreationResult {
    CreationOutcome outcome = CreationOutcome::Failed;
    qeb::UniqueHandle hProcess;
    DWORD error = ERROR_SUCCESS;
};

// What the container may inherit: its two standard handles, the two other
// ends of its pipes and the handle to the service that its command line names.
struct InheritedHandles {
    HANDLE hStdIn;
    HANDLE hStdOut;
    HANDLE hStdInWrite;
    HANDLE hStdOutRead;
    HANDLE hSelf;
};

// Creates the container with the launch's flags, suspended, and lets it run
// only when the exit event is still clear right after the creation; the
// creation itself is not even begun once it is set. So no container starts
// once a stop has begun, even one whose creation was under way at that moment.
// The container inherits the handles given and no other, whatever else in the
// service is inheritable at that moment.
void CreateContainerUnlessStopped(CreationResult& result, const std::wstring& path, std::wstring commandLine,
                                  const InheritedHandles& inherited, HANDLE hExitEvent) noexcept;

// For the stop path, once the exit event is set: waits at most timeoutMs
// until no creation is under way, so that none can still produce a process
// after the stop is reported. True when none is.
bool WaitForContainerCreation(DWORD timeoutMs) noexcept;
