#pragma once
// qebcore_dbg: crash dumps. DbgSdkInit installs an unhandled-exception filter
// that writes a minidump into the "logs" folder beside the executable and
// logs one line naming it; DbgSdkUnInit restores the previous filter.
// Both are idempotent.

void DbgSdkInit();
void DbgSdkUnInit();
