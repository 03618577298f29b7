#pragma once
// Names, sizes and time-outs of the container channel and launch.

#include <windows.h>

// The work-status key (work_status_parse.h) and the listener's read sizes
// (pipe_message_buffer.h) live beside the platform-free code that uses them.
#include "pipe_message_buffer.h"
#include "work_status_parse.h"

// The container's file name: narrow for the launch path, wide for the
// process scan, which compares it code unit by code unit.
inline constexpr char CONTAINER_EXE_NAME[] = "QEBCoreContainer.exe";
inline constexpr wchar_t CONTAINER_EXE_NAME_W[] = L"QEBCoreContainer.exe";

// The session-change write runs on the service control handler's thread: a
// container that never reads its standard input may hold it this long only.
inline constexpr DWORD SEND_DATA_PIPE_TIMEOUT = 1000;

// How long a replacement keeps retrying to cancel the listener's read while
// the listener is between taking its handle and entering the read: a
// wall-clock bound, whatever the timer's resolution makes of each pause.
inline constexpr ULONGLONG LISTENER_CANCEL_TIME = 50;

// Access to a stray container: terminate, create thread, memory operation,
// memory write, query information.
inline constexpr DWORD KILL_PROCESS_ACCESS = 0x42B;

// The service's own process, as the container inherits it.
inline constexpr DWORD SELF_PROCESS_ACCESS = 0x1FFFFF;

inline constexpr DWORD CONTAINER_CREATION_FLAGS = CREATE_NO_WINDOW;  // 0x08000000

// The launch's work on the pool thread, by the names the pool gives its steps.
inline constexpr char EMBEDDED_CHECK_JOB[] = "embedded-check";
inline constexpr char VELANT_CHECK_JOB[] = "velant-check";
inline constexpr char CREATE_PROCESS_JOB[] = "create-process";

// A container created after the stop began is ended before it ever runs:
// with this exit code, and waited for this long to be gone.
inline constexpr UINT UNSTARTED_CONTAINER_EXIT_CODE = ERROR_CANCELLED;
inline constexpr DWORD UNSTARTED_CONTAINER_END_WAIT = 1000;

// Room for the command line: the handle's value in 16 hexadecimal digits.
inline constexpr size_t COMMAND_LINE_CHARS = 40;

// The number by which Windows names the standard-error device
// (STD_ERROR_HANDLE), widened without sign extension; not a handle.
inline constexpr ULONG_PTR STD_ERROR_DEVICE_NUMBER = 0xFFFFFFF4u;
