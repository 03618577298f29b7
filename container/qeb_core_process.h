#pragma once
// The container control object: the one QEBCoreProcess, its pipe channel to
// QEBCoreContainer.exe, the notification listener, the removal of stray
// containers and the signed launch.
//
// Who owns what:
// - g_hContainerHandle: written by the launch (service main thread, then the
//   supervision thread), closed by the supervision loop when the container
//   ends and by the stop; its own lock serialises them (SharedHandle).
// - The four pipe ends and the listener's registration: s_pipeLock, held only
//   while they are swapped or copied, never across a read, a write or a
//   wait. Writers and the listener work on private duplicates, so a
//   replacement never closes a handle under them and never waits for them.
// - The ready event: the object keeps its own copy of the host's event, so
//   each side closes only its own.

#include <windows.h>

#include <cstdint>

#include "locks.h"
#include "shared_handle.h"
#include "thread_annotations.h"
#include "unique_handle.h"

// The running container's process handle; empty when there is none.
extern qeb::SharedHandle g_hContainerHandle;

enum class PipeEnd { StdInWrite, StdInRead, StdOutWrite, StdOutRead };

// The values of the four ends as a launch hands them to the container.
struct PipeEndValues {
    HANDLE hStdInWrite;
    HANDLE hStdInRead;
    HANDLE hStdOutWrite;
    HANDLE hStdOutRead;
};

class QEBCoreProcess {
public:
    static QEBCoreProcess* GetInstance();
    // Keeps a copy of hEvent (none for null) and closes the copy it held.
    static void SetContainerReadyEvent(HANDLE hEvent);

    HANDLE CreateContainerProcess();

    bool CreateContainerPipe();
    bool SendDataPipe(const void* data, uint32_t size);
    void ClosePipeHandles() EXCLUDES(s_pipeLock);

    static uint32_t Pipe_Listen(void* threadParam);

    void CleanContainerProcess();
    // Terminates the process only while it is still a container that had
    // started by listedAt (the time of the process list it was found in);
    // the one-argument form takes the current time.
    bool KillContainerProcess(DWORD processId);
    bool KillContainerProcess(DWORD processId, const FILETIME& listedAt);

    // A private, non-inheritable copy of one end; empty when it is not open.
    qeb::UniqueHandle DuplicatePipeEnd(PipeEnd end) const EXCLUDES(s_pipeLock);
    // The ends' values for the process creation. Only the thread that
    // launches replaces them, so they stay open until its next launch.
    PipeEndValues PipeEndsForLaunch() const EXCLUDES(s_pipeLock);

    QEBCoreProcess() = default;
    QEBCoreProcess(const QEBCoreProcess&) = delete;
    QEBCoreProcess& operator=(const QEBCoreProcess&) = delete;

private:
    HANDLE* PipeField(PipeEnd end) REQUIRES(s_pipeLock);
    const HANDLE* PipeField(PipeEnd end) const REQUIRES(s_pipeLock);
    bool CreateInheritablePipe(PipeEnd readEnd, PipeEnd writeEnd) EXCLUDES(s_pipeLock);
    void StartListener() EXCLUDES(s_pipeLock);
    static void CancelListenerRead() noexcept EXCLUDES(s_pipeLock);
    static void RegisterListenThread() noexcept EXCLUDES(s_pipeLock);
    static void UnregisterListenThread() noexcept EXCLUDES(s_pipeLock);
    static bool ReadFromField(HANDLE* pField, void* buffer, DWORD size) noexcept EXCLUDES(s_pipeLock);

    static qeb::KernelMutex s_pipeLock;

    HANDLE m_hStdInWrite GUARDED_BY(s_pipeLock) = nullptr;
    HANDLE m_hStdInRead GUARDED_BY(s_pipeLock) = nullptr;
    HANDLE m_hStdOutWrite GUARDED_BY(s_pipeLock) = nullptr;
    HANDLE m_hStdOutRead GUARDED_BY(s_pipeLock) = nullptr;

    // Set by the listener when the container is ready, reset at each launch.
    static qeb::SharedHandle s_hContainerReadyEvent;
    // Holds the listener while the pipes are replaced; created with the
    // listener and never closed while the process runs.
    static qeb::SharedHandle s_hPipeAvailableEvent;
    static bool s_bListenStarted GUARDED_BY(s_pipeLock);
    // The listener's own thread (THREAD_TERMINATE access, for
    // CancelSynchronousIo) and whether it is inside its read right now.
    static HANDLE s_hListenThread GUARDED_BY(s_pipeLock);
    static bool s_bListenReading GUARDED_BY(s_pipeLock);
};

// Parses one container message in place. Fills workStatus with -1 (no key),
// 0 (key without a usable number) or the number; true when it is not negative.
bool GetNotifyStatus(wchar_t* message, int32_t* workStatus);
