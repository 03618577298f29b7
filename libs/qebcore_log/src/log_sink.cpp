#include "log_sink.h"

#include <windows.h>

#include <atomic>
#include <cwchar>

namespace qeblog {

namespace {

constexpr DWORD LOCK_WAIT_MS = 5000;
// Once the stop has begun: short enough that a thread writing a line or two
// on its way out stays well inside the time the stop gives it.
constexpr DWORD STOPPING_LOCK_WAIT_MS = 50;
constexpr int MAX_BACKUP_FILES = 999;
constexpr size_t DIRECTORY_CHARS = 1024;
// Directory, separator, base name, a dot with up to three digits, extension.
constexpr size_t PATH_CHARS = DIRECTORY_CHARS + 48;
constexpr wchar_t BASE_NAME[] = L"QEBCoreService";
constexpr wchar_t EXTENSION[] = L".log";

// Everything below is touched only while the process-wide lock is held.
// Plain data without a destructor: a thread still logging while the process
// runs its exit code never meets a destroyed object.
struct SinkState {
    HANDLE hFile;
    bool bConfigured;
    unsigned long long size;
    unsigned long long maxBytes;
    int maxBackups;
    wchar_t directory[DIRECTORY_CHARS];
};

SinkState g_sink{};

// A kernel mutex rather than a user-mode lock: the thread manager may
// terminate a thread in the middle of a log call, and a kernel mutex owned by
// a terminated thread is handed to the next waiter as abandoned instead of
// blocking every later line for good. The wait is bounded as well, so that a
// writer stuck in the file system costs other threads a dropped line, not a
// hang.
std::atomic<HANDLE> s_hLock{nullptr};
// Manual-reset, set for good when the stop begins; it wakes the waiters.
std::atomic<HANDLE> s_hStopping{nullptr};

HANDLE GetShared(std::atomic<HANDLE>& shared, bool bMutex) noexcept {
    HANDLE handle = shared.load(std::memory_order_acquire);
    if (handle != nullptr) return handle;
    HANDLE created = bMutex ? ::CreateMutexW(nullptr, FALSE, nullptr) : ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (created == nullptr) return nullptr;
    if (shared.compare_exchange_strong(handle, created, std::memory_order_acq_rel)) return created;
    ::CloseHandle(created);  // another thread won the race
    return handle;
}

// The lock, waited for at most LOCK_WAIT_MS, or STOPPING_LOCK_WAIT_MS once
// the stop has begun.
DWORD WaitForLock(HANDLE hLock) noexcept {
    const HANDLE hStopping = GetShared(s_hStopping, false);
    if (hStopping == nullptr) return ::WaitForSingleObject(hLock, LOCK_WAIT_MS);
    const HANDLE waits[2] = {hLock, hStopping};
    // The lock comes first: when both are signalled, the lock is taken.
    const DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, LOCK_WAIT_MS);
    if (result != WAIT_OBJECT_0 + 1) return result == WAIT_ABANDONED_0 ? WAIT_ABANDONED : result;
    return ::WaitForSingleObject(hLock, STOPPING_LOCK_WAIT_MS);
}

class SinkLock {
public:
    SinkLock() noexcept : m_hLock(GetShared(s_hLock, true)) {
        if (m_hLock == nullptr) return;
        const DWORD result = WaitForLock(m_hLock);
        m_bHeld = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        m_bAbandoned = result == WAIT_ABANDONED;
    }
    ~SinkLock() {
        if (m_bHeld) ::ReleaseMutex(m_hLock);
    }
    SinkLock(const SinkLock&) = delete;
    SinkLock& operator=(const SinkLock&) = delete;

    bool held() const noexcept { return m_bHeld; }
    bool abandoned() const noexcept { return m_bAbandoned; }

private:
    HANDLE m_hLock;
    bool m_bHeld = false;
    bool m_bAbandoned = false;
};

// cppcheck-suppress constParameter ; HANDLE is an opaque value, not a pointer to data
bool IsValid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Composes "<directory>\QEBCoreService[.<index>].log" without touching the
// heap, so that rotation under the lock cannot fail for lack of memory.
void MakeFilePath(wchar_t (&path)[PATH_CHARS], int index) noexcept {
    size_t at = 0;
    auto append = [&](const wchar_t* text) {
        while (*text != L'\0' && at + 1 < PATH_CHARS) path[at++] = *text++;
    };
    append(g_sink.directory);
    append(L"\\");
    append(BASE_NAME);
    if (index > 0) {
        wchar_t digits[8] = {};
        int count = 0;
        for (int value = index; value > 0 && count < 7; value /= 10)
            digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        wchar_t number[9] = {L'.'};
        for (int i = 0; i < count; ++i) number[1 + i] = digits[count - 1 - i];
        append(number);
    }
    append(EXTENSION);
    path[at] = L'\0';
}

void CloseFileLocked() noexcept {
    const HANDLE hFile = g_sink.hFile;
    // Cleared first: a thread terminated half-way leaves "no file" behind,
    // never a closed handle that looks open.
    g_sink.hFile = nullptr;
    if (IsValid(hFile)) ::CloseHandle(hFile);
}

bool OpenFileLocked() noexcept {
    wchar_t path[PATH_CHARS];
    MakeFilePath(path, 0);
    const HANDLE hFile = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsValid(hFile)) return false;
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(hFile, LARGE_INTEGER{}, &end, FILE_END)) {
        ::CloseHandle(hFile);
        return false;
    }
    g_sink.hFile = hFile;
    g_sink.size = static_cast<unsigned long long>(end.QuadPart);
    return true;
}

// Newest rotated file is .1, oldest .<maxBackups>; the oldest falls off.
// A rename that fails (someone holds a file without delete sharing) leaves
// the current file in place, so the next line simply tries again.
void RotateLocked() noexcept {
    CloseFileLocked();
    wchar_t from[PATH_CHARS];
    if (g_sink.maxBackups > 0) {
        wchar_t to[PATH_CHARS];
        MakeFilePath(to, g_sink.maxBackups);
        ::DeleteFileW(to);
        for (int index = g_sink.maxBackups - 1; index >= 1; --index) {
            MakeFilePath(from, index);
            MakeFilePath(to, index + 1);
            ::MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
        }
        MakeFilePath(from, 0);
        MakeFilePath(to, 1);
        ::MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
    } else {
        MakeFilePath(from, 0);
        ::DeleteFileW(from);
    }
    OpenFileLocked();
}

void RefreshSizeLocked() noexcept {
    LARGE_INTEGER end{};
    if (IsValid(g_sink.hFile) && ::SetFilePointerEx(g_sink.hFile, LARGE_INTEGER{}, &end, FILE_END))
        g_sink.size = static_cast<unsigned long long>(end.QuadPart);
}

// Runs at process exit, after main returns: the last lines reach the disk
// and the file is closed; later lines are dropped.
struct SinkCloser {
    SinkCloser() = default;
    SinkCloser(const SinkCloser&) = delete;
    SinkCloser& operator=(const SinkCloser&) = delete;
    ~SinkCloser() { CloseSink(); }
};
SinkCloser s_closer;

}  // namespace

bool OpenSink(const wchar_t* directory, unsigned long long maxFileBytes, int maxBackupFiles) noexcept {
    if (directory == nullptr) return false;
    const size_t length = std::wcslen(directory);
    if (length == 0 || length >= DIRECTORY_CHARS) return false;

    SinkLock lock;
    if (!lock.held() || g_sink.bConfigured) return false;

    std::wmemcpy(g_sink.directory, directory, length + 1);
    // Trailing separators would double up in the composed paths.
    for (size_t end = length; end > 1 && (g_sink.directory[end - 1] == L'\\' || g_sink.directory[end - 1] == L'/');
         --end)
        g_sink.directory[end - 1] = L'\0';
    ::CreateDirectoryW(g_sink.directory, nullptr);  // already there is fine

    g_sink.maxBytes = maxFileBytes;
    g_sink.maxBackups =
        maxBackupFiles < 0 ? 0 : (maxBackupFiles > MAX_BACKUP_FILES ? MAX_BACKUP_FILES : maxBackupFiles);
    if (!OpenFileLocked()) return false;
    g_sink.bConfigured = true;
    return true;
}

void WriteSink(const std::string& record) noexcept {
    if (record.empty() || record.size() > MAXDWORD) return;
    SinkLock lock;
    if (!lock.held() || !g_sink.bConfigured) return;
    if (lock.abandoned()) RefreshSizeLocked();
    if (!IsValid(g_sink.hFile) && !OpenFileLocked()) return;

    const unsigned long long bytes = record.size();
    if (g_sink.size > 0 && g_sink.size + bytes > g_sink.maxBytes) {
        RotateLocked();
        if (!IsValid(g_sink.hFile)) return;
    }
    DWORD written = 0;
    if (::WriteFile(g_sink.hFile, record.data(), static_cast<DWORD>(bytes), &written, nullptr))
        g_sink.size += written;
    else
        RefreshSizeLocked();
}

void BoundSinkWaits() noexcept {
    const HANDLE hStopping = GetShared(s_hStopping, false);
    if (hStopping != nullptr) ::SetEvent(hStopping);
}

void FlushSink() noexcept {
    SinkLock lock;
    if (lock.held() && IsValid(g_sink.hFile)) ::FlushFileBuffers(g_sink.hFile);
}

void CloseSink() noexcept {
    SinkLock lock;
    if (!lock.held()) return;
    if (IsValid(g_sink.hFile)) ::FlushFileBuffers(g_sink.hFile);
    CloseFileLocked();
    g_sink.bConfigured = false;
}

}  // namespace qeblog
