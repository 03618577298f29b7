#include "process_record.h"

#include <cstring>
#include <vector>

namespace qeb::scm {

namespace {

// Offsets in the x64 layout of SYSTEM_PROCESS_INFORMATION and of the
// SYSTEM_THREAD_INFORMATION records that follow it.
constexpr ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
constexpr size_t PROCESS_THREAD_COUNT_OFFSET = 4;
constexpr size_t PROCESS_ID_OFFSET = 0x50;
constexpr size_t PROCESS_HANDLE_COUNT_OFFSET = 0x60;
constexpr size_t PROCESS_PRIVATE_PAGES_OFFSET = 0xC8;
constexpr size_t PROCESS_WORKING_SET_OFFSET = 0x90;
constexpr size_t PROCESS_RECORD_BYTES = 0x100;
constexpr size_t THREAD_RECORD_BYTES = 0x50;
constexpr size_t THREAD_SWITCHES_OFFSET = 0x40;

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

bool ReadProcessRecord(DWORD processId, ProcessRecord* result) {
    const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return false;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const LONG status =
            query(SYSTEM_PROCESS_INFORMATION_CLASS, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) break;
        if (attempt == 3) return false;
        buffer.resize(buffer.size() * 2 + needed);
    }
    size_t offset = 0;
    for (;;) {
        const unsigned char* record = buffer.data() + offset;
        ULONG next = 0, threads = 0;
        ULONG_PTR id = 0;
        std::memcpy(&next, record, sizeof next);
        std::memcpy(&threads, record + PROCESS_THREAD_COUNT_OFFSET, sizeof threads);
        std::memcpy(&id, record + PROCESS_ID_OFFSET, sizeof id);
        if (id == processId) {
            uint64_t sum = 0;
            for (ULONG t = 0; t < threads; ++t) {
                ULONG switches = 0;
                std::memcpy(&switches, record + PROCESS_RECORD_BYTES + t * THREAD_RECORD_BYTES + THREAD_SWITCHES_OFFSET,
                            sizeof switches);
                sum += switches;
            }
            result->contextSwitches = sum;
            ULONG handles = 0;
            SIZE_T privatePages = 0;
            std::memcpy(&handles, record + PROCESS_HANDLE_COUNT_OFFSET, sizeof handles);
            std::memcpy(&privatePages, record + PROCESS_PRIVATE_PAGES_OFFSET, sizeof privatePages);
            SIZE_T workingSet = 0;
            std::memcpy(&workingSet, record + PROCESS_WORKING_SET_OFFSET, sizeof workingSet);
            result->workingSetBytes = workingSet;
            result->handles = handles;
            result->privateBytes = privatePages;
            return true;
        }
        if (next == 0) return false;
        offset += next;
    }
}

}  // namespace qeb::scm
