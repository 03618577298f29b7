#include "log_sink.h"

#include <windows.h>

#include <atomic>
#include <cwchar>

#include "log_record.h"
#include "thread_annotations.h"

namespace qeblog {

namespace {

constexpr DWORD LOCK_WAIT_MS = 5000;
// Once the stop has begun: short enough that a thread writing a line or two
// on its way out stays well inside the time the stop gives it.
constexpr DWORD STOPPING_LOCK_WAIT_MS = 50;
constexpr int MAX_BACKUP_FILES = 999;
// A rotation that failed (a reader holds a file without delete sharing) is
// tried again only after this pause, not on every line.
constexpr ULONGLONG ROTATE_RETRY_MS = 1000;
// While rotations fail the current file grows past its size, up to this many
// times that size; further lines are dropped until a rotation succeeds.
constexpr unsigned long long HARD_CAP_FILES = 2;
// The index under which the current file waits while the backups shift.
constexpr int PENDING_INDEX = -1;
constexpr size_t DIRECTORY_CHARS = 1024;
// Directory, separator, base name, a dot with up to three digits, extension.
constexpr size_t PATH_CHARS = DIRECTORY_CHARS + 48;
constexpr wchar_t BASE_NAME[] = L"QEBCoreService";
constexpr wchar_t EXTENSION[] = L".log";

// Plain data without a destructor: a thread still logging while the process
// runs its exit code never meets a destroyed object.
struct SinkState {
    HANDLE hFile;
    bool bConfigured;
    unsigned long long size;
    unsigned long long maxBytes;
    int maxBackups;
    // Set while rotations fail: when the next try is due, why the last one
    // failed, whether writing stopped at the hard cap and what it dropped.
    ULONGLONG retryAt;
    DWORD rotateError;
    bool bStopped;
    unsigned long dropped;
    wchar_t directory[DIRECTORY_CHARS];
};

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

class CAPABILITY("mutex") SinkMutex {
public:
    // True when held, a hold its last owner left abandoned included.
    bool TryLock() noexcept TRY_ACQUIRE(true) {
        const HANDLE hLock = GetShared(s_hLock, true);
        if (hLock == nullptr) return false;
        const DWORD result = WaitForLock(hLock);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
        m_hHeld = hLock;
        m_bAbandoned = result == WAIT_ABANDONED;
        return true;
    }
    void Unlock() noexcept RELEASE() { ::ReleaseMutex(m_hHeld); }
    // The last owner was ended while it held the lock: the state may be half-changed.
    bool Abandoned() const noexcept REQUIRES(this) { return m_bAbandoned; }

private:
    // Written only by the holder.
    HANDLE m_hHeld = nullptr;
    bool m_bAbandoned = false;
};

SinkMutex s_sinkLock;
SinkState g_sink GUARDED_BY(s_sinkLock){};

// cppcheck-suppress constParameter ; HANDLE is an opaque value, not a pointer to data
bool IsValid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Composes "<directory>\QEBCoreService[.<index>].log" without touching the
// heap, so that rotation under the lock cannot fail for lack of memory.
void MakeFilePath(wchar_t (&path)[PATH_CHARS], int index) noexcept REQUIRES(s_sinkLock) {
    size_t at = 0;
    auto append = [&](const wchar_t* text) {
        while (*text != L'\0' && at + 1 < PATH_CHARS) path[at++] = *text++;
    };
    append(g_sink.directory);
    append(L"\\");
    append(BASE_NAME);
    if (index == PENDING_INDEX) append(L".rotating");
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

void CloseFileLocked() noexcept REQUIRES(s_sinkLock) {
    const HANDLE hFile = g_sink.hFile;
    // Cleared first: a thread terminated half-way leaves "no file" behind,
    // never a closed handle that looks open.
    g_sink.hFile = nullptr;
    if (IsValid(hFile)) ::CloseHandle(hFile);
}

// Append-only, shared with other writers: the service's outgoing process
// holds the file for a moment after it reported stopped, and the next
// process (a restart, an upgrade) starts its log beside it instead of losing
// it. Each write lands whole at the end of the file, whoever else appends.
bool OpenFileLocked() noexcept REQUIRES(s_sinkLock) {
    wchar_t path[PATH_CHARS];
    MakeFilePath(path, 0);
    const HANDLE hFile = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool ExistsLocked(int index) noexcept REQUIRES(s_sinkLock) {
    wchar_t path[PATH_CHARS];
    MakeFilePath(path, index);
    return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool MoveLocked(int from, int to) noexcept REQUIRES(s_sinkLock) {
    wchar_t source[PATH_CHARS], target[PATH_CHARS];
    MakeFilePath(source, from);
    MakeFilePath(target, to);
    return ::MoveFileExW(source, target, 0) != FALSE;
}

// Puts the file waiting under the pending name at .1, below the backups
// under the first free index shifted up by one; the oldest is deleted only
// when every index is taken. Used for the current file moved aside, and first
// for a file a process killed half-way through its rotation left there: that
// one holds the lines right before the current file's.
DWORD JoinPendingLocked() noexcept REQUIRES(s_sinkLock) {
    int free = 1;
    while (free <= g_sink.maxBackups && ExistsLocked(free)) ++free;
    if (free > g_sink.maxBackups) {
        free = g_sink.maxBackups;
        wchar_t oldest[PATH_CHARS];
        MakeFilePath(oldest, free);
        if (!::DeleteFileW(oldest)) return ::GetLastError();
    }
    for (int index = free - 1; index >= 1; --index)
        if (!MoveLocked(index, index + 1)) return ::GetLastError();
    return MoveLocked(PENDING_INDEX, 1) ? ERROR_SUCCESS : ::GetLastError();
}

// Newest rotated file is .1, oldest .<maxBackups>; the oldest falls off.
// The current file moves aside first: when a reader holds it without delete
// sharing, it is opened again where it was and nothing has changed. No move
// replaces a file, and a rotation that fails half-way and is undone loses no
// file, however often it is tried. Returns ERROR_SUCCESS or the error that
// stopped it.
DWORD RotateLocked() noexcept REQUIRES(s_sinkLock) {
    wchar_t current[PATH_CHARS];
    MakeFilePath(current, 0);
    if (g_sink.maxBackups == 0) {
        CloseFileLocked();
        const DWORD error = ::DeleteFileW(current) ? ERROR_SUCCESS : ::GetLastError();
        OpenFileLocked();
        return error;
    }
    if (ExistsLocked(PENDING_INDEX)) {
        const DWORD error = JoinPendingLocked();
        if (error != ERROR_SUCCESS) return error;
    }
    CloseFileLocked();
    DWORD error = MoveLocked(0, PENDING_INDEX) ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_SUCCESS) {
        error = JoinPendingLocked();
        if (error != ERROR_SUCCESS) MoveLocked(PENDING_INDEX, 0);
    }
    OpenFileLocked();
    return error;
}

void RefreshSizeLocked() noexcept REQUIRES(s_sinkLock) {
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

namespace {

bool OpenSinkLocked(const wchar_t* directory, size_t length, unsigned long long maxFileBytes,
                    int maxBackupFiles) noexcept REQUIRES(s_sinkLock) {
    if (g_sink.bConfigured) return false;

    std::wmemcpy(g_sink.directory, directory, length + 1);
    // Trailing separators would double up in the composed paths.
    for (size_t end = length; end > 1 && (g_sink.directory[end - 1] == L'\\' || g_sink.directory[end - 1] == L'/');
         --end)
        g_sink.directory[end - 1] = L'\0';
    ::CreateDirectoryW(g_sink.directory, nullptr);  // already there is fine

    g_sink.maxBytes = maxFileBytes;
    g_sink.rotateError = ERROR_SUCCESS;
    g_sink.bStopped = false;
    g_sink.dropped = 0;
    g_sink.maxBackups =
        maxBackupFiles < 0 ? 0 : (maxBackupFiles > MAX_BACKUP_FILES ? MAX_BACKUP_FILES : maxBackupFiles);
    if (!OpenFileLocked()) return false;
    g_sink.bConfigured = true;
    return true;
}

}  // namespace

bool OpenSink(const wchar_t* directory, unsigned long long maxFileBytes, int maxBackupFiles) noexcept {
    if (directory == nullptr) return false;
    const size_t length = std::wcslen(directory);
    if (length == 0 || length >= DIRECTORY_CHARS || !s_sinkLock.TryLock()) return false;
    const bool bOpened = OpenSinkLocked(directory, length, maxFileBytes, maxBackupFiles);
    s_sinkLock.Unlock();
    return bOpened;
}

namespace {

void WriteLocked(const std::string& record) noexcept REQUIRES(s_sinkLock) {
    DWORD written = 0;
    if (::WriteFile(g_sink.hFile, record.data(), static_cast<DWORD>(record.size()), &written, nullptr))
        g_sink.size += written;
    else
        RefreshSizeLocked();
}

// The log's own line about itself, in the shape of every other line.
void WriteNoticeLocked(const char* message, unsigned long value) noexcept REQUIRES(s_sinkLock) {
    try {
        SYSTEMTIME utc{};
        ::GetSystemTime(&utc);
        const LogStamp stamp{utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds};
        WriteLocked(FormatLogRecord(stamp, ::GetCurrentProcessId(), ::GetCurrentThreadId(), 'W', "log",
                                    message + std::to_string(value) + "(RotateLocked)"));
    } catch (...) {
    }
}

// False when the line must be dropped: the file is past its hard cap and
// cannot be rotated yet.
bool MakeRoomLocked(unsigned long long bytes) noexcept REQUIRES(s_sinkLock) {
    if (g_sink.size == 0 || g_sink.size + bytes <= g_sink.maxBytes) return true;
    const bool bRetrying = g_sink.rotateError != ERROR_SUCCESS;
    if (!bRetrying || ::GetTickCount64() >= g_sink.retryAt) {
        const DWORD error = RotateLocked();
        if (!IsValid(g_sink.hFile)) return false;
        if (error == ERROR_SUCCESS) {
            if (g_sink.bStopped) WriteNoticeLocked("log writing resumed, lines dropped = ", g_sink.dropped);
            g_sink.rotateError = ERROR_SUCCESS;
            g_sink.bStopped = false;
            g_sink.dropped = 0;
            return true;
        }
        g_sink.retryAt = ::GetTickCount64() + ROTATE_RETRY_MS;
        g_sink.rotateError = error;
        if (!bRetrying) WriteNoticeLocked("log rotation failed, error = ", error);
    }
    if (g_sink.size + bytes <= g_sink.maxBytes * HARD_CAP_FILES) return true;
    if (!g_sink.bStopped)
        WriteNoticeLocked("log writing stopped at twice the file size until a rotation succeeds, error = ",
                          g_sink.rotateError);
    g_sink.bStopped = true;
    ++g_sink.dropped;
    return false;
}

}  // namespace

void WriteSink(const std::string& record) noexcept {
    if (record.empty() || record.size() > MAXDWORD || !s_sinkLock.TryLock()) return;
    if (g_sink.bConfigured) {
        if (s_sinkLock.Abandoned()) RefreshSizeLocked();
        if ((IsValid(g_sink.hFile) || OpenFileLocked()) && MakeRoomLocked(record.size())) WriteLocked(record);
    }
    s_sinkLock.Unlock();
}

void BoundSinkWaits() noexcept {
    const HANDLE hStopping = GetShared(s_hStopping, false);
    if (hStopping != nullptr) ::SetEvent(hStopping);
}

void FlushSink() noexcept {
    if (!s_sinkLock.TryLock()) return;
    if (IsValid(g_sink.hFile)) ::FlushFileBuffers(g_sink.hFile);
    s_sinkLock.Unlock();
}

void CloseSink() noexcept {
    if (!s_sinkLock.TryLock()) return;
    if (IsValid(g_sink.hFile)) ::FlushFileBuffers(g_sink.hFile);
    CloseFileLocked();
    g_sink.bConfigured = false;
    s_sinkLock.Unlock();
}

}  // namespace qeblog
