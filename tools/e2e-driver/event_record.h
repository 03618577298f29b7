#pragma once
// The events a service reported, as Wine records them: its ReportEventW is a
// stub that prints each call to the debug channels of the session's standard
// error (wine-run.sh and the demo keep that in a file).

#include <windows.h>

#include <string>
#include <vector>

namespace qeb::scm {

// One reported event as the tests and the demo show it: "<identifier in hex> <type>
// <category>: <insert> | <insert> ...".
std::string DescribeEvent(DWORD eventId, unsigned type, unsigned category, const std::vector<std::string>& inserts);
// The ReportEventW calls Wine recorded in a services log (the session's
// standard error, wine-run.sh) from byte `from` on: advapi's fixme line gives
// the call's fields, the eventlog channel each insert on a line of the same
// thread.
std::vector<std::string> ReadWineEvents(const std::wstring& path, size_t from);
// The services log of the prefix this program runs in (WINEPREFIX, which Wine
// passes on): wine-run.sh keeps it beside the prefix. Empty outside Wine.
std::wstring WineServicesLog();

}  // namespace qeb::scm
