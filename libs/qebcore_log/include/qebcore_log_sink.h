#pragma once
// Direct control of the log file, for test and benchmark programs that must
// not share the executable's "logs" folder with other programs.

// Opens (creating the folder if missing) "QEBCoreService.log" inside
// `directory`, rotated when a line would take it past maxFileBytes, keeping at
// most maxBackupFiles rotated files. True when this call opened the log;
// false when the log was already open (it is left as it was) or the file
// cannot be opened.
bool initQebLogAt(const wchar_t* directory, unsigned long long maxFileBytes, int maxBackupFiles) noexcept;

// Flushes and closes the file; later lines are dropped until the log is
// opened again.
void ShutdownQebLog() noexcept;

// For the stop: from this call on a line waits only briefly for the file
// while another thread flushes or rotates it, and is lost when that is not
// enough; lines already waiting are cut short too. One-way.
void BoundQebLogWaitsForStop() noexcept;
