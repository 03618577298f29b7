#pragma once
// The service status record, the host's handles and the start-up side of
// status reporting.
//
// Every change of g_serviceStatus and every report made from it goes through
// this file under one lock, so that a report never carries a half-written
// record and the Service Control Manager sees the reports in the order in
// which the record was changed.

#include <windows.h>

#include "locks.h"
#include "shared_handle.h"
#include "thread_annotations.h"

// A kernel mutex: a thread the stop terminates may be inside a report.
extern qeb::KernelMutex g_statusLock;
extern SERVICE_STATUS g_serviceStatus GUARDED_BY(g_statusLock);
extern SERVICE_STATUS_HANDLE g_hServiceStatusHandle GUARDED_BY(g_statusLock);
// Set when service_main has finished its start-up; never closed.
extern qeb::SharedHandle g_hServiceMainExitEvent;
// The container-ready event; the container control object keeps its own copy.
extern qeb::SharedHandle g_hContainerReadyEvent;

constexpr DWORD WAIT_CONTAINER_READY_TIME = 500;
constexpr DWORD STATUS_WAIT_HINT = 1000;

constexpr DWORD QEB_SERVICE_TYPE = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;  // 0x30
constexpr DWORD QEB_CONTROLS_ACCEPTED =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;  // 0x85

void SetServiceStartPendingState();
void WaitContainerReadyAndReportStatus();

// Transitions written by the other parts of the host. Each changes only the
// fields that belong to it and reports nothing.
void SetServiceStatusHandle(SERVICE_STATUS_HANDLE hStatus) noexcept;
void SetServiceStartValues() noexcept;
void SetServiceStopPendingValues() noexcept;
void SetServiceStoppedValues() noexcept;

// Reports the record as it is now; false (with the last error set) when the
// report failed.
bool ReportServiceStatus() noexcept;

// The one place that hands a record to the Service Control Manager. Tests
// replace it to capture every report; returns the reporter it replaced.
using ServiceStatusReporter = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
ServiceStatusReporter SetServiceStatusReporter(ServiceStatusReporter reporter) noexcept;
