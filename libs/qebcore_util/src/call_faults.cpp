#include "call_faults.h"

#include <atomic>

namespace qeb {

namespace {
std::atomic<DWORD> s_armed[static_cast<unsigned>(FaultableCall::Count)] = {};
}  // namespace

void FailNextCall(FaultableCall call, DWORD error) noexcept { s_armed[static_cast<unsigned>(call)].store(error); }

bool CallFails(FaultableCall call) noexcept {
    const DWORD error = s_armed[static_cast<unsigned>(call)].exchange(0);
    if (error == 0) return false;
    ::SetLastError(error);
    return true;
}

}  // namespace qeb
