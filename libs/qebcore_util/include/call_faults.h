#pragma once
// Refusals of system calls that neither Windows nor Wine produce on demand: a
// pipe the system cannot make, a new process's thread it cannot resume, a
// thread it cannot start. A test arms one; the call site asks first and, when
// armed, takes the path the refusal takes, with the armed error as the last
// error. Asking costs one atomic exchange, on calls that are rare and slow.

#include <windows.h>

namespace qeb {

enum class FaultableCall : unsigned { CreatePipe, ResumeThread, StartThread, Count };

// The next `call` fails with `error` (not 0).
void FailNextCall(FaultableCall call, DWORD error) noexcept;

// True once for each arming, with the last error set to the armed error.
bool CallFails(FaultableCall call) noexcept;

}  // namespace qeb
