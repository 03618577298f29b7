#pragma once
// The one log file of the process, shared by every thread.

#include <string>

namespace qeblog {

bool OpenSink(const wchar_t* directory, unsigned long long maxFileBytes, int maxBackupFiles) noexcept;

// Stores one complete record with a single write, or drops it.
void WriteSink(const std::string& record) noexcept;

void FlushSink() noexcept;
void BoundSinkWaits() noexcept;
void CloseSink() noexcept;

}  // namespace qeblog
