#pragma once
// Shared by the benchmark programs: clocks, sample statistics and the
// Markdown rows every program prints (min / median / max, and the ratio of
// the median to a floor measured in the same run).

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qebbench {

// Milliseconds from an arbitrary origin, sub-millisecond resolution.
double NowMs() noexcept;
// Milliseconds since 1970-01-01 UTC, sub-millisecond resolution; comparable
// with the Service Control Manager watch and the container journal.
double UtcNowMs() noexcept;

double Median(std::vector<double> samples);

// "### title" and the table header.
void PrintSection(const char* title);
// One row. floorMedian <= 0 means no floor for this figure.
void PrintRow(const std::string& figure, const std::vector<double>& samples, const char* unit, double floorMedian = 0.0,
              const std::string& floorName = std::string());
// A free-text line under the table (starts with "- ").
void PrintNote(const std::string& text);

// Starts the image with nothing inherited and no window, calls whileRunning
// with its process id, then terminates it. Returns the milliseconds
// CreateProcessW took; negative when it could not be started.
double RunBareProcess(const std::wstring& image, const std::function<void(DWORD)>& whileRunning);
// The floor of a launch: a bare CreateProcessW of the image (ended at once),
// in milliseconds; negative when it could not be started.
double BareCreateProcessMs(const std::wstring& image);

// Runs the image in `folder` with the command line and this program's
// standard handles, and waits for its end: its exit code, or `failed` when
// it could not be started.
int RunToEnd(const std::wstring& image, std::wstring commandLine, const std::wstring& folder, int failed);

std::wstring ExeDirectory();
std::string Narrow(const std::wstring& text);
// A new, empty folder "<parent><prefix>-<pid>-<n>\" (with the final backslash).
std::wstring MakeUniqueDirectory(const std::wstring& parent, const wchar_t* prefix);
void RemoveDirectoryTree(const std::wstring& directory);
bool WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadTextFile(const std::wstring& path);

}  // namespace qebbench
