#include "dump_writer.h"

// dbghelp.h and sddl.h need the base Windows types first.
#include <dbghelp.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "module_path.h"
#include "unique_handle.h"

namespace qebdbg {

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using SymCleanupFn = BOOL(WINAPI*)(HANDLE);

constexpr size_t DIRECTORY_CHARS = 1024;
constexpr size_t NAME_CHARS = 256;

HMODULE s_hDbgHelp = nullptr;
MiniDumpWriteDumpFn s_writeDump = nullptr;
SymCleanupFn s_symCleanup = nullptr;
wchar_t s_dumpDirectory[DIRECTORY_CHARS] = {};
wchar_t s_processName[NAME_CHARS] = {};
// A dump holds the memory of a LocalSystem process: SYSTEM and the
// administrators only, whatever the folder lets others do (protected: nothing
// is inherited from it).
constexpr wchar_t DUMP_SECURITY[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
PSECURITY_DESCRIPTOR s_dumpSecurity = nullptr;
// Windows Error Reporting's dumps of this program (the package's LocalDumps
// key names the folder) take the folder's rules: the same two, inherited.
constexpr wchar_t WER_FOLDER_NAME[] = L"crashdumps";
constexpr wchar_t WER_FOLDER_SECURITY[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Only from System32: a dbghelp.dll planted beside the executable or in the
// working directory must never be loaded into the service.
HMODULE LoadDbgHelp() noexcept {
    HMODULE module = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr) return module;
    // Systems without the search flags: name the file by its full path.
    wchar_t path[MAX_PATH + 16] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wcscat(path, L"\\dbghelp.dll");
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Through a plain function pointer type: GetProcAddress's own type does not
// match the real signatures.
template <typename Function>
Function Resolve(const char* name) noexcept {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(s_hDbgHelp, name)));
}

// Created private, or made private again if someone loosened it: whatever
// Windows Error Reporting writes there inherits these rules. Set through a
// handle: SetNamedSecurityInfoW reports success under Wine and changes
// nothing (docs/wine-notes.md).
void MakeWerFolderPrivate() noexcept {
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(WER_FOLDER_SECURITY, SDDL_REVISION_1, &security,
                                                                nullptr))
        return;
    // Beside "logs": the same folder with the other name.
    wchar_t folder[DIRECTORY_CHARS] = {};
    std::wcscpy(folder, s_dumpDirectory);
    std::wcscpy(folder + std::wcslen(folder) - std::wcslen(L"logs"), WER_FOLDER_NAME);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    if (!::CreateDirectoryW(folder, &attributes) && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        const qeb::UniqueHandle existing(::CreateFileW(folder, READ_CONTROL | WRITE_DAC,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (existing) ::SetKernelObjectSecurity(existing.get(), DACL_SECURITY_INFORMATION, security);
    }
    ::LocalFree(security);
}

bool RememberPaths() noexcept {
    // Kept in fixed buffers: a crash leaves no heap to compose the dump's path in.
    std::wstring module = qeb::ModulePath();
    if (module.empty() || module.size() >= DIRECTORY_CHARS - 8) return false;

    wchar_t* name = module.data();
    for (wchar_t* at = module.data(); *at != L'\0'; ++at)
        if (*at == L'\\' || *at == L'/') name = at + 1;
    wchar_t* dot = std::wcsrchr(name, L'.');
    const size_t nameLength = dot != nullptr ? static_cast<size_t>(dot - name) : std::wcslen(name);
    if (nameLength == 0 || nameLength >= NAME_CHARS) return false;
    std::wmemcpy(s_processName, name, nameLength);
    s_processName[nameLength] = L'\0';

    *name = L'\0';
    std::wcscpy(s_dumpDirectory, module.c_str());
    std::wcscat(s_dumpDirectory, L"logs");
    ::CreateDirectoryW(s_dumpDirectory, nullptr);  // already there is fine
    return true;
}

class PathBuilder {
public:
    explicit PathBuilder(wchar_t (&buffer)[DUMP_PATH_CHARS]) noexcept : m_buffer(buffer) { m_buffer[0] = L'\0'; }

    void Append(const wchar_t* text) noexcept {
        while (*text != L'\0' && m_length + 1 < DUMP_PATH_CHARS) m_buffer[m_length++] = *text++;
        m_buffer[m_length] = L'\0';
    }
    void AppendNumber(unsigned long value, int minDigits) noexcept {
        wchar_t digits[16] = {};
        int count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0 && count < 15);
        while (count < minDigits && count < 15) digits[count++] = L'0';
        wchar_t text[16] = {};
        for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
        Append(text);
    }

private:
    wchar_t (&m_buffer)[DUMP_PATH_CHARS];
    size_t m_length = 0;
};

// Keeps the newest MAX_KEPT_DUMPS - 1 dumps of this program, so that the
// one this process may still write makes MAX_KEPT_DUMPS at most: a crash
// loop cannot fill the disk.
void PruneOldDumps() noexcept {
    try {
        const std::wstring folder = std::wstring(s_dumpDirectory) + L"\\";
        WIN32_FIND_DATAW found{};
        const HANDLE search = ::FindFirstFileW((folder + s_processName + L"_*.dmp").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        std::vector<std::pair<ULONGLONG, std::wstring>> dumps;
        do {
            const ULARGE_INTEGER written{{found.ftLastWriteTime.dwLowDateTime, found.ftLastWriteTime.dwHighDateTime}};
            dumps.emplace_back(written.QuadPart, found.cFileName);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
        std::sort(dumps.begin(), dumps.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (size_t i = MAX_KEPT_DUMPS - 1; i < dumps.size(); ++i) ::DeleteFileW((folder + dumps[i].second).c_str());
    } catch (...) {
    }
}

}  // namespace

bool PrepareDumpWriter() noexcept {
    if (s_writeDump != nullptr) return true;
    if (!RememberPaths()) return false;
    PruneOldDumps();
    MakeWerFolderPrivate();
    if (s_dumpSecurity == nullptr && !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                         DUMP_SECURITY, SDDL_REVISION_1, &s_dumpSecurity, nullptr))
        return false;
    s_hDbgHelp = LoadDbgHelp();
    if (s_hDbgHelp == nullptr) return false;
    s_writeDump = Resolve<MiniDumpWriteDumpFn>("MiniDumpWriteDump");
    if (s_writeDump == nullptr) {
        ::FreeLibrary(s_hDbgHelp);
        s_hDbgHelp = nullptr;
        return false;
    }
    return true;
}

void RegisterForDumps() noexcept {
    if (s_hDbgHelp == nullptr || s_symCleanup != nullptr) return;
    const auto initialize = Resolve<SymInitializeFn>("SymInitializeW");
    const auto cleanup = Resolve<SymCleanupFn>("SymCleanup");
    if (initialize != nullptr && initialize(::GetCurrentProcess(), nullptr, FALSE)) s_symCleanup = cleanup;
}

void ReleaseDumpWriter() noexcept {
    s_writeDump = nullptr;
    if (s_symCleanup != nullptr) s_symCleanup(::GetCurrentProcess());
    s_symCleanup = nullptr;
    if (s_hDbgHelp != nullptr) ::FreeLibrary(s_hDbgHelp);
    s_hDbgHelp = nullptr;
}

void ComposeDumpPath(wchar_t (&path)[DUMP_PATH_CHARS]) noexcept {
    SYSTEMTIME utc{};
    ::GetSystemTime(&utc);
    const DWORD processId = ::GetCurrentProcessId();

    PathBuilder builder(path);
    builder.Append(s_dumpDirectory);
    builder.Append(L"\\");
    builder.Append(s_processName);
    builder.Append(L"_");
    builder.AppendNumber(processId, 1);
    builder.Append(L"_");
    builder.AppendNumber(utc.wYear, 4);
    builder.AppendNumber(utc.wMonth, 2);
    builder.AppendNumber(utc.wDay, 2);
    builder.Append(L"T");
    builder.AppendNumber(utc.wHour, 2);
    builder.AppendNumber(utc.wMinute, 2);
    builder.AppendNumber(utc.wSecond, 2);
    builder.Append(L"Z.dmp");
}

DWORD WriteCrashDump(EXCEPTION_POINTERS* exception, DWORD threadId, const wchar_t* path) noexcept {
    const DWORD processId = ::GetCurrentProcessId();
    if (s_writeDump == nullptr) return ERROR_MOD_NOT_FOUND;
    SECURITY_ATTRIBUTES security{sizeof security, s_dumpSecurity, FALSE};
    const HANDLE hFile =
        ::CreateFileW(path, GENERIC_WRITE, 0, &security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return ::GetLastError();

    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = threadId;
    info.ExceptionPointers = exception;
    info.ClientPointers = FALSE;
    const MINIDUMP_TYPE type =
        static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
    const BOOL written = s_writeDump(::GetCurrentProcess(), processId, hFile, type,
                                     exception != nullptr ? &info : nullptr, nullptr, nullptr);
    const DWORD error = written ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(hFile);
    if (!written) ::DeleteFileW(path);
    return written ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
}

}  // namespace qebdbg
