#pragma once
// The host's events for the Application log (common/event_report.h), each
// reported by the thread that does the work it tells of; the control handler
// only records what the stopped event will say.

#include <windows.h>

#include <cstdint>

#include "event_report.h"

// The service's events: its source, categories, outage rule and identifiers
// (the message table QEBCoreServiceEvents.mc).
extern const qeb::EventCatalog kServiceEvents;

// Process entry, before the dispatcher starts: registers the source and
// reads the version once.
void PrepareServiceEvents() noexcept;
// The crash path's report, after the dump is written.
void ReportServiceCrashEvent(const wchar_t* dumpPath) noexcept;

// Service main thread, before the first launch: what the container control
// object tells (stray containers ended, a container refused) becomes the
// service's events.
void ReportContainerEvents() noexcept;

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
