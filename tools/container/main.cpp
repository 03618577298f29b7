// QEBCoreContainer.exe for development and tests: honours the service's launch
// contract and messages, journals what it was given and received, and acts
// out QEBCoreContainer.scenario when one lies beside it.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "handle_list.h"
#include "journal.h"
#include "scenario.h"
#include "strict_text.h"

namespace {

constexpr DWORD STDIN_READ_BYTES = 4096;
constexpr DWORD FLOOD_TICK_MS = 10;
constexpr size_t HANDLE_DIGITS = 16;
// After a run of tiny writes: time for the reader to drain the pipe, so the
// next message does not share a read with the tail of the run.
constexpr DWORD TINY_WRITES_QUIET_MS = 200;

ULONGLONG s_startTick = 0;

std::string Utf8(const wchar_t* text) {
    return qeb::StrictNarrow(CP_UTF8, text, std::wcslen(text)).value_or(std::string());
}

DWORD ParentProcessId() {
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    ::CloseHandle(snapshot);
    return parent;
}

// The whole command line must be the handle's value in 16 hex digits.
bool ParseHandle(const wchar_t* commandLine, HANDLE& handle) {
    if (std::wcslen(commandLine) != HANDLE_DIGITS) return false;
    ULONGLONG value = 0;
    for (size_t i = 0; i < HANDLE_DIGITS; ++i) {
        const wchar_t c = commandLine[i];
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<unsigned>(c - L'0');
        else if (c >= L'A' && c <= L'F')
            digit = static_cast<unsigned>(c - L'A' + 10);
        else if (c >= L'a' && c <= L'f')
            digit = static_cast<unsigned>(c - L'a' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

DWORD WINAPI WatchParent(void* parentHandle) {
    const DWORD result = ::WaitForSingleObject(static_cast<HANDLE>(parentHandle), INFINITE);
    // The service went away; the container's business goes on.
    JournalRecord("parent-exited", std::to_string(result));
    return 0;
}

// `handles`: what the process held before it opened anything itself.
HANDLE JournalLaunchFacts(const std::string& handles) {
    const wchar_t* commandLine = ::GetCommandLineW();
    JournalRecord("start", "pid=" + std::to_string(::GetCurrentProcessId()));
    JournalRecord("handles", handles);
    JournalRecord("cmdline", Utf8(commandLine));
    const DWORD parentId = ParentProcessId();
    HANDLE parent = nullptr;
    if (!ParseHandle(commandLine, parent)) {
        JournalRecord("parent-handle", "unparsable");
        parent = nullptr;
    } else if (::WaitForSingleObject(parent, 0) == WAIT_TIMEOUT && parentId != 0 &&
               ::GetProcessId(parent) == parentId) {
        // The rights the service granted with the handle, as the system holds them.
        PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
        char access[16] = "unknown";
        if (NT_SUCCESS(::NtQueryObject(parent, ObjectBasicInformation, &basic, sizeof basic, nullptr)))
            std::snprintf(access, sizeof access, "0x%06lX", static_cast<unsigned long>(basic.GrantedAccess));
        JournalRecord("parent-handle", "valid pid=" + std::to_string(parentId) + " access=" + access);
    } else {
        JournalRecord("parent-handle", "invalid");
        parent = nullptr;
    }

    const struct {
        const char* key;
        DWORD which;
    } standard[] = {
        {"stdin-type", STD_INPUT_HANDLE}, {"stdout-type", STD_OUTPUT_HANDLE}, {"stderr-type", STD_ERROR_HANDLE}};
    for (const auto& s : standard) {
        const HANDLE h = ::GetStdHandle(s.which);
        std::string type = "none";
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            switch (::GetFileType(h)) {
            case FILE_TYPE_PIPE: type = "pipe"; break;
            case FILE_TYPE_DISK: type = "disk"; break;
            case FILE_TYPE_CHAR: type = "char"; break;
            default: type = "unknown"; break;
            }
        }
        JournalRecord(s.key, type);
    }
    char value[32] = {};
    std::snprintf(value, sizeof value, "%llX %llX",
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(::GetStdHandle(STD_INPUT_HANDLE))),
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(::GetStdHandle(STD_OUTPUT_HANDLE))));
    JournalRecord("stdin-stdout", value);
    std::snprintf(value, sizeof value, "%p", ::GetStdHandle(STD_ERROR_HANDLE));
    JournalRecord("stderr", value);
    // The last of the launch facts: a reader that sees it sees them all.
    JournalRecord("console-window", ::GetConsoleWindow() != nullptr ? "present" : "none");
    return parent;
}

DWORD WINAPI ReadStandardInput(void*) {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    std::vector<unsigned char> buffer(STDIN_READ_BYTES);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(in, buffer.data(), STDIN_READ_BYTES, &got, nullptr)) {
            JournalRecord("stdin-end", std::to_string(::GetLastError()));
            return 0;
        }
        JournalRecord("recv", HexBytes(buffer.data(), got));
        JournalRecord("recv-text", Utf16BytesToUtf8(buffer.data(), got));
    }
}

bool WriteOut(const void* data, DWORD size) {
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), data, size, &written, nullptr) != FALSE;
}

bool SendUtf16(const std::string& text) {
    const std::wstring wide(text.begin(), text.end());  // ASCII messages
    return WriteOut(wide.data(), static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
}

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        try {
            bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        } catch (...) {
            break;  // a scenario typo ends the message there
        }
    }
    return bytes;
}

DWORD WINAPI Flood(void* bytesPerSecond) {
    const auto rate = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(bytesPerSecond));
    // Text without the work-status key: the service must read and drop it.
    const DWORD chunk = static_cast<DWORD>((rate * FLOOD_TICK_MS / 1000 + 1) & ~1ul);
    const std::vector<wchar_t> text(chunk / sizeof(wchar_t) + 1, L'x');
    for (;;) {
        if (!WriteOut(text.data(), chunk)) {
            JournalRecord("flood-end", std::to_string(::GetLastError()));
            return 0;
        }
        ::Sleep(FLOOD_TICK_MS);
    }
}

void WaitUntil(unsigned long atMs) {
    const ULONGLONG due = s_startTick + atMs;
    const ULONGLONG now = ::GetTickCount64();
    if (due > now) ::Sleep(static_cast<DWORD>(due - now));
}

void RunStep(const ScenarioStep& step, const Scenario& scenario) {
    WaitUntil(step.atMs);
    switch (step.kind) {
    case ScenarioStep::Kind::Ready:
        if (scenario.bReadyNever) return;
        JournalRecord(SendUtf16("NotifyWorkStatus1") ? "ready-sent" : "ready-failed", "");
        break;
    case ScenarioStep::Kind::Send: JournalRecord(SendUtf16(step.text) ? "sent" : "send-failed", step.text); break;
    case ScenarioStep::Kind::SendHex: {
        const std::vector<unsigned char> bytes = FromHex(step.text);
        JournalRecord(WriteOut(bytes.data(), static_cast<DWORD>(bytes.size())) ? "sent-hex" : "send-failed", step.text);
        break;
    }
    case ScenarioStep::Kind::Exit:
        JournalRecord("exit", std::to_string(step.exitCode));
        ::ExitProcess(static_cast<UINT>(step.exitCode));
        break;
    case ScenarioStep::Kind::TinyWrites: {
        const wchar_t unit = L'x';
        unsigned long written = 0;
        while (written < step.count && WriteOut(&unit, sizeof unit)) ++written;
        JournalRecord("tiny-writes-end", std::to_string(written));
        ::Sleep(TINY_WRITES_QUIET_MS);
        break;
    }
    case ScenarioStep::Kind::Crash:
        JournalRecord("crash", "");
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        break;
    }
}

}  // namespace

int main() {
    // First, before the process opens anything of its own.
    const std::string handles = DescribeOwnHandles();
    // As the service does: libraries only from System32 and this folder.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    s_startTick = ::GetTickCount64();
    // A deliberate crash ends the process without a dialog.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    OpenJournal();
    Scenario scenario = LoadScenario();
    // A real container reports ready as soon as it can: before the probes
    // and records below, which cost a good part of the service's ready wait.
    bool bReadySentEarly = false;
    bool bReadyEarlyOk = false;
    SYSTEMTIME readySentUtc = {};
    if (!scenario.steps.empty() && scenario.steps.front().kind == ScenarioStep::Kind::Ready &&
        scenario.steps.front().atMs == 0 && !scenario.bReadyNever) {
        bReadyEarlyOk = SendUtf16("NotifyWorkStatus1");
        ::GetSystemTime(&readySentUtc);
        bReadySentEarly = true;
        scenario.steps.erase(scenario.steps.begin());
    }
    const HANDLE parent = JournalLaunchFacts(handles);
    JournalScenario(scenario);
    // Journaled after this instance's "start" record, but stamped with the
    // time the notification was written.
    if (bReadySentEarly) JournalRecordAt(readySentUtc, bReadyEarlyOk ? "ready-sent" : "ready-failed", "");
    if (scenario.bCloseStdout) {
        // The service's reader then sees the pipe broken while we run on.
        const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
        JournalRecord("stdout-closed", ::CloseHandle(out) ? "0" : std::to_string(::GetLastError()));
    }

    if (parent != nullptr) ::CloseHandle(::CreateThread(nullptr, 0, &WatchParent, parent, 0, nullptr));
    if (!scenario.bNoRead) ::CloseHandle(::CreateThread(nullptr, 0, &ReadStandardInput, nullptr, 0, nullptr));
    if (scenario.floodBytesPerSec > 0) {
        ::CloseHandle(::CreateThread(nullptr, 0, &Flood,
                                     reinterpret_cast<void*>(static_cast<ULONG_PTR>(scenario.floodBytesPerSec)), 0,
                                     nullptr));
    }
    for (const ScenarioStep& step : scenario.steps) RunStep(step, scenario);

    // Until killed.
    for (;;) ::Sleep(INFINITE);
}
