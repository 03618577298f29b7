#pragma once
// Scope guard for QEBCoreProcess::s_pipeFieldLock.

#include <windows.h>

#include "qeb_core_process.h"

class PipeFieldLock {
public:
    PipeFieldLock() noexcept { ::AcquireSRWLockExclusive(&QEBCoreProcess::s_pipeFieldLock); }
    ~PipeFieldLock() { ::ReleaseSRWLockExclusive(&QEBCoreProcess::s_pipeFieldLock); }
    PipeFieldLock(const PipeFieldLock&) = delete;
    PipeFieldLock& operator=(const PipeFieldLock&) = delete;
};
