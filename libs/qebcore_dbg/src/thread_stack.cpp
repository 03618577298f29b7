#include <windows.h>

#include "qebcore_dbg.h"

namespace {

// Stack the crash path needs on a thread whose stack is used up: the
// exception's dispatch (its records, the walk over the frames) and the
// handler, which only signals the dump thread and waits.
constexpr ULONG CRASH_HANDLER_STACK_BYTES = 64 * 1024;

// Where a thread's whole stack is committed when it is made, with one guard
// page at its very bottom (Wine makes threads so), an overflow is reported
// on that last page whatever the guarantee, with no stack left for any
// handler. A guard page above the guaranteed pages brings back the usual
// growth: each touch moves it down a page, and the overflow is reported
// when it reaches them, with them free. Where the stack below is only
// reserved (Windows), the system's own guard page does this and nothing is
// changed.
void GuardAboveGuarantee(ULONG guaranteed) noexcept {
    MEMORY_BASIC_INFORMATION stack{};
    if (::VirtualQuery(&stack, &stack, sizeof stack) == 0) return;
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    BYTE* const guard = static_cast<BYTE*>(stack.AllocationBase) + size_t{2} * system.dwPageSize + guaranteed;
    MEMORY_BASIC_INFORMATION page{};
    if (guard >= reinterpret_cast<BYTE*>(&page) || ::VirtualQuery(guard, &page, sizeof page) == 0 ||
        page.State != MEM_COMMIT || (page.Protect & PAGE_GUARD) != 0)
        return;
    DWORD previous = 0;
    ::VirtualProtect(guard, system.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &previous);
}

}  // namespace

void DbgSdkPrepareThread() noexcept {
    ULONG requested = CRASH_HANDLER_STACK_BYTES;
    ::SetThreadStackGuarantee(&requested);
    // Asked with 0, the call tells the guarantee in force.
    ULONG granted = 0;
    if (::SetThreadStackGuarantee(&granted) && granted != 0) GuardAboveGuarantee(granted);
}
