#pragma once
// The container control object: the one QEBCoreProcess, its pipe channel to
// QEBCoreContainer.exe, the notification listener, the removal of stray
// containers and the signed launch.

#include <windows.h>

#include <cstdint>

// The running container's process handle; null when there is none.
extern HANDLE g_hContainerHandle;

class QEBCoreProcess {
public:
    static QEBCoreProcess* GetInstance();
    static void SetContainerReadyEvent(HANDLE hEvent);

    HANDLE CreateContainerProcess();

    bool CreateContainerPipe();
    bool SendDataPipe(const void* data, uint32_t size);
    void ClosePipeHandles();

    static uint32_t Pipe_Listen(void* threadParam);

    void CleanContainerProcess();
    // Terminates the process only while it is still a container that had
    // started by listedAt (the time of the process list it was found in);
    // the one-argument form takes the current time.
    bool KillContainerProcess(DWORD processId);
    bool KillContainerProcess(DWORD processId, const FILETIME& listedAt);

    QEBCoreProcess() = default;
    ~QEBCoreProcess();
    QEBCoreProcess(const QEBCoreProcess&) = delete;
    QEBCoreProcess& operator=(const QEBCoreProcess&) = delete;

    HANDLE m_hStdInWrite = nullptr;
    HANDLE m_hStdInRead = nullptr;
    HANDLE m_hStdOutWrite = nullptr;
    HANDLE m_hStdOutRead = nullptr;

    static HANDLE s_hContainerReadyEvent;
    static HANDLE s_hPipeAvailableEvent;
    static bool s_bListenStarted;

    // The listener's own thread (THREAD_TERMINATE access, for
    // CancelSynchronousIo) and whether it is inside its read right now; both
    // under PipeFieldLock, which is held only while the four fields are
    // swapped or copied, never across a read, a write or a wait: a writer or
    // the listener works on a private duplicate, so a replacement never
    // closes a handle under them and never waits for them.
    static HANDLE s_hListenThread;
    static bool s_bListenReading;
};

// Parses one container message in place. Fills workStatus with -1 (no key),
// 0 (key without a usable number) or the number; true when it is not negative.
bool GetNotifyStatus(wchar_t* message, int32_t* workStatus);
