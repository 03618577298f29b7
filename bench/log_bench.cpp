// Log component throughput from 1, 2 and 8 writer threads, and the cost of
// one line against a bare WriteFile of the same bytes.
//
//   log_bench.exe [lines per run (20000)] [runs (5)]

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"

namespace {

using namespace qebbench;

// Newlines in every file of the folder: the lines that reached the log.
long long CountLines(const std::wstring& directory) {
    long long count = 0;
    WIN32_FIND_DATAW found = {};
    const HANDLE hFind = ::FindFirstFileW((directory + L"*.log").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE) return 0;
    do {
        const std::string text = ReadTextFile(directory + found.cFileName);
        for (char c : text) count += c == '\n' ? 1 : 0;
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    return count;
}

// Lines per second of one run with `threads` writers sharing `lines`;
// *lost gets the lines that did not reach the file.
double MeasureRun(int threads, int lines, const std::wstring& directory, long long* lost) {
    ShutdownQebLog();
    if (!initQebLogAt(directory.c_str(), 10ULL * 1024 * 1024, 10)) return 0.0;
    const std::string message(80, 'm');
    const int perThread = lines / threads;
    const double begin = NowMs();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) QEBLOGI("service", message);
        });
    }
    for (std::thread& writer : writers) writer.join();
    FlushQebLogFile();
    const double seconds = (NowMs() - begin) / 1000.0;
    ShutdownQebLog();
    *lost += static_cast<long long>(perThread) * threads - CountLines(directory);
    return perThread * threads / seconds;
}

// Microseconds per line of a plain WriteFile of a line of the log's size,
// optionally under a kernel mutex taken and released for each line.
double BareWriteMicros(int lines, const std::wstring& directory, bool bUnderMutex) {
    const HANDLE hMutex = ::CreateMutexW(nullptr, FALSE, nullptr);
    const HANDLE hFile = ::CreateFileW((directory + L"bare.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return 0.0;
    const std::string line = "2026-01-01 00:00:00.000 [info] [service] " + std::string(80, 'm') + "\r\n";
    const double begin = NowMs();
    for (int i = 0; i < lines; ++i) {
        if (bUnderMutex) ::WaitForSingleObject(hMutex, INFINITE);
        DWORD written = 0;
        ::WriteFile(hFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (bUnderMutex) ::ReleaseMutex(hMutex);
    }
    const double elapsed = NowMs() - begin;
    ::CloseHandle(hFile);
    ::CloseHandle(hMutex);
    return elapsed * 1000.0 / lines;
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::vector<double> bare, bareMutex;
    long long lost = 0;
    std::vector<std::vector<double>> throughput(3);
    const int threadCounts[] = {1, 2, 8};
    for (int run = 0; run < runs; ++run) {
        const std::wstring directory = MakeUniqueDirectory(temp, L"qeb-log-bench");
        bare.push_back(BareWriteMicros(lines, directory, false));
        bareMutex.push_back(BareWriteMicros(lines, directory, true));
        for (int k = 0; k < 3; ++k) {
            const std::wstring runDirectory = directory + L"t" + std::to_wstring(threadCounts[k]) + L"\\";
            throughput[k].push_back(MeasureRun(threadCounts[k], lines, runDirectory, &lost));
        }
        RemoveDirectoryTree(directory);
    }
    std::vector<double> lineCost;
    for (double perSecond : throughput[0]) lineCost.push_back(perSecond > 0.0 ? 1e6 / perSecond : 0.0);

    PrintSection("Log component (log_bench)");
    PrintRow("floor: bare WriteFile of one 130-byte line", bare, "µs/line");
    PrintRow("floor: the same WriteFile under a kernel mutex (wait + release per line)", bareMutex, "µs/line",
             Median(bare), "bare WriteFile");
    PrintRow("cost of one line, 1 thread (QEBLOGI, 80-character message)", lineCost, "µs/line", Median(bare),
             "bare WriteFile");
    for (int k = 0; k < 3; ++k) {
        PrintRow("throughput, " + std::to_string(threadCounts[k]) + " thread(s), " + std::to_string(lines) +
                     " lines per run",
                 throughput[k], "lines/s");
    }
    PrintNote("lines that did not reach the log file over all runs: " + std::to_string(lost));
    return 0;
}
