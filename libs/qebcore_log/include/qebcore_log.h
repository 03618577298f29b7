#pragma once
// qebcore_log: the product's rotating file log.
//
// Lines are stored in "logs\QEBCoreService.log" beside the running executable.
// Safe to call from any thread; a line that cannot be stored is dropped.
// Calls before initQebLog, or after it failed to open the file, do nothing.

#include <string>

// maxFileSizeMiB: size at which the file is rotated; maxBackupFiles: how many
// rotated files are kept (10 and 10 keep at most about 110 MiB).
void initQebLog(int maxFileSizeMiB, int maxBackupFiles);

void QEBLOGI(std::string tag, std::string message);
void QEBLOGW(std::string tag, std::string message);
void QEBLOGE(std::string tag, std::string message);

// Pushes everything written so far to the disk.
void FlushQebLogFile();
