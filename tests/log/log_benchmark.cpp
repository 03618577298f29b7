// Log throughput with one and with several writer threads; prints lines/s.
// Not a test: run by hand (bin/log_benchmark.exe [lines per thread]).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "test_support.h"

namespace {

double Measure(int threads, int linesPerThread) {
    qebtest::TempDir dir(L"qeb_log_bench");
    ShutdownQebLog();
    if (!initQebLogAt(dir.path().c_str(), 10ULL * 1024 * 1024, 10)) return 0.0;
    const std::string message(80, 'm');
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < linesPerThread; ++i) QEBLOGI("service", message);
        });
    for (std::thread& writer : writers) writer.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ShutdownQebLog();
    return threads * linesPerThread / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 5000;
    for (int threads : {1, 2, 8}) {
        std::printf("%d thread(s) x %d lines: %.0f lines/s\n", threads, lines, Measure(threads, lines));
    }
    return 0;
}
