#pragma once
// The host's events for the Application log (common/event_report.h), each
// reported by the thread that does the work it tells of; the control handler
// only records what the stopped event will say.

#include <windows.h>

#include <cstdint>

// Service main thread, once start pending is reported.
void ReportServiceStartedEvent() noexcept;

// Supervision thread: the container ended by itself (exit code), or a launch
// series failed or recovered (failed launches in a row, the first one
// included).
void ReportContainerEndedEvent(DWORD exitCode) noexcept;
void ReportLaunchesFailingEvent(int32_t failedLaunches) noexcept;
void ReportRunningAgainEvent(int32_t failedLaunches) noexcept;

// Control handler: which control stops the service (stop or shutdown).
void RecordStopControl(DWORD dwControl) noexcept;
// Process entry, after the dispatcher has returned: the stopped event, if a
// stop or shutdown stopped the service.
void ReportServiceStoppedEvent() noexcept;
