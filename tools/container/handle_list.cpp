#include "handle_list.h"

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <vector>

namespace {

// SystemExtendedHandleInformation: every handle of every process, with the
// owner's id, the value and the access granted.
constexpr SYSTEM_INFORMATION_CLASS kExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

struct HandleEntry {
    // cppcheck-suppress unusedStructMember
    void* object;
    ULONG_PTR processId;
    ULONG_PTR value;
    ULONG grantedAccess;
    // The creator's trace index, the type's index, the attributes, reserved.
    // cppcheck-suppress unusedStructMember
    unsigned char rest[12];
};
static_assert(sizeof(HandleEntry) == 40, "the system's layout of one entry");

struct HandleTable {
    ULONG_PTR count;
    // cppcheck-suppress unusedStructMember
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

std::string TypeName(HANDLE handle) {
    alignas(8) unsigned char buffer[512] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(::NtQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &length))) return "?";
    const auto* type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    std::string name;
    for (size_t i = 0; i < type->TypeName.Length / sizeof(wchar_t); ++i)
        name += static_cast<char>(type->TypeName.Buffer[i]);
    return name;
}

}  // namespace

std::string DescribeOwnHandles() {
    std::vector<ULONG_PTR> storage(1 << 16);
    NTSTATUS status = kInfoLengthMismatch;
    for (int attempt = 0; attempt < 8 && status == kInfoLengthMismatch; ++attempt) {
        ULONG needed = 0;
        status = ::NtQuerySystemInformation(kExtendedHandleInformation, storage.data(),
                                            static_cast<ULONG>(storage.size() * sizeof(ULONG_PTR)), &needed);
        if (status == kInfoLengthMismatch) storage.resize(storage.size() * 2 + needed / sizeof(ULONG_PTR));
    }
    if (!NT_SUCCESS(status)) return "unknown";
    const auto* table = reinterpret_cast<const HandleTable*>(storage.data());
    const ULONG_PTR self = ::GetCurrentProcessId();
    std::string list;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        const HandleEntry& entry = table->entries[i];
        if (entry.processId != self) continue;
        const HANDLE handle = reinterpret_cast<HANDLE>(entry.value);
        DWORD flags = 0;
        const bool bInheritable = ::GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
        char text[104];
        std::snprintf(text, sizeof text, "%s%llX:%s:%lX%s", list.empty() ? "" : " ",
                      static_cast<unsigned long long>(entry.value), TypeName(handle).c_str(),
                      static_cast<unsigned long>(entry.grantedAccess), bInheritable ? ":inherit" : "");
        list += text;
    }
    return list;
}
