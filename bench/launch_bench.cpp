// In-process benchmark of the container control code: the launch and its
// parts, the signature checks against file size, and the way of one
// session-change message from the control handler to the container.
//
//   launch_bench.exe [repetitions (20)]
//   launch_bench.exe --under-load <launches>
//     only the launch, again and again, with both cores kept busy: each
//     launch waits for the container's ready report and then ends it; the
//     failed launches are counted with the error each one logged.
//
// It first copies itself, the container and the padded containers into a
// fresh folder and runs the copy there, so a scenario file or journal of
// someone else's run beside the build's programs never meets it.

#include <windows.h>
#include <bcrypt.h>
#include <wtsapi32.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "journal_scan.h"
#include "qeb_core_process.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "qebcore_security.h"
#include "service_handler.h"
#include "service_status.h"
#include "thread_manager.h"

namespace {

using namespace qebbench;

constexpr wchar_t STAGED_FLAG[] = L"--staged";
constexpr char UNDER_LOAD_FLAG[] = "--under-load";
const wchar_t* const PADDED_CONTAINERS[] = {L"QEBBenchContainer1MiB.exe", L"QEBBenchContainer10MiB.exe",
                                            L"QEBBenchContainer100MiB.exe"};

int RunStagedCopy(const std::wstring& arguments) {
    const std::wstring bin = ExeDirectory();
    const std::wstring folder = MakeUniqueDirectory(L"C:\\", L"qeb-bench-launch");
    if (folder.empty()) return 1;
    std::vector<std::wstring> files = {L"launch_bench.exe", L"QEBCoreContainer.exe"};
    for (const wchar_t* padded : PADDED_CONTAINERS) files.emplace_back(padded);
    for (const std::wstring& file : files) {
        if (!::CopyFileW((bin + file).c_str(), (folder + file).c_str(), FALSE)) {
            std::fprintf(stderr, "cannot copy %s\n", Narrow(file).c_str());
            return 1;
        }
    }
    const int exitCode =
        RunToEnd(folder + L"launch_bench.exe", L"launch_bench.exe " + arguments + L" " + STAGED_FLAG, folder, 1);
    for (int attempt = 0; attempt < 50; ++attempt) {
        RemoveDirectoryTree(folder);
        if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) break;
        ::Sleep(100);
    }
    return exitCode;
}

void EndContainer() {
    const qeb::UniqueHandle hContainer = g_hContainerHandle.Duplicate();
    if (!hContainer) return;
    ::TerminateProcess(hContainer.get(), 1);
    ::WaitForSingleObject(hContainer.get(), 5000);
    g_hContainerHandle.Reset();
}

// What any signature check must do at least: read the whole file and hash it.
double ReadAndHashMs(const std::wstring& path) {
    const double begin = NowMs();
    const HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return -1.0;
    BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    ::BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ::BCryptCreateHash(hAlgorithm, &hHash, nullptr, 0, nullptr, 0, 0);
    std::vector<unsigned char> buffer(1 << 20);
    DWORD got = 0;
    while (::ReadFile(hFile, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
        ::BCryptHashData(hHash, buffer.data(), got, 0);
    }
    unsigned char digest[32];
    ::BCryptFinishHash(hHash, digest, sizeof digest, 0);
    ::BCryptDestroyHash(hHash);
    ::BCryptCloseAlgorithmProvider(hAlgorithm, 0);
    ::CloseHandle(hFile);
    return NowMs() - begin;
}

uint64_t FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void MeasureLaunch(int repetitions) {
    const std::wstring container = ExeDirectory() + L"QEBCoreContainer.exe";
    const std::string narrowContainer = Narrow(container);
    std::vector<double> first, endToEnd, pipes, embedded, publisher, bare, hash;
    for (int i = -1; i < repetitions; ++i) {
        double begin = NowMs();
        QEBCoreProcess::GetInstance()->CreateContainerProcess();
        const double elapsed = NowMs() - begin;
        if (!g_hContainerHandle.Held()) {
            std::fprintf(stderr, "launch failed\n");
            return;
        }
        EndContainer();
        // The first launch of the process also starts the listener and pays
        // for first-use set-up; it is shown on its own.
        if (i < 0) {
            first.push_back(elapsed);
            continue;
        }
        endToEnd.push_back(elapsed);

        begin = NowMs();
        QEBCoreProcess::GetInstance()->CreateContainerPipe();
        pipes.push_back(NowMs() - begin);
        begin = NowMs();
        VerifyEmbeddedSignature(narrowContainer.c_str());
        embedded.push_back(NowMs() - begin);
        begin = NowMs();
        VerifyVelantDigitalSignature(container.c_str());
        publisher.push_back(NowMs() - begin);
        const double createMs = BareCreateProcessMs(container);
        if (createMs >= 0.0) bare.push_back(createMs);
        const double hashMs = ReadAndHashMs(container);
        if (hashMs >= 0.0) hash.push_back(hashMs);
    }
    // What the launch spends beyond its measured parts: the file hold, the
    // self handle and CreateProcessW with the pipes as standard handles.
    std::vector<double> rest;
    const double parts = Median(pipes) + Median(embedded) + Median(publisher);
    for (double sample : endToEnd) rest.push_back(sample - parts);
    const double floor = Median(bare);

    PrintSection("Container launch, in process (launch_bench)");
    PrintRow("floor: bare CreateProcessW of the container", bare, "ms");
    PrintRow("CreateContainerProcess, first launch of the process", first, "ms", floor, "bare CreateProcessW");
    // A launch must at least read and hash the file once and create the
    // process.
    PrintRow("floor: read + SHA-256 of the container", hash, "ms");
    PrintRow("CreateContainerProcess end to end (later launches)", endToEnd, "ms", floor + Median(hash),
             "bare CreateProcessW + read + SHA-256");
    PrintRow("  part: CreateContainerPipe (pipes replaced)", pipes, "ms");
    PrintRow("  part: VerifyEmbeddedSignature", embedded, "ms");
    PrintRow("  part: VerifyVelantDigitalSignature", publisher, "ms");
    PrintRow("  part: process creation and the rest (end to end minus medians of the parts)", rest, "ms", floor,
             "bare CreateProcessW");
}

void MeasureSignatureSizes(int repetitions) {
    PrintSection("Signature checks against file size (launch_bench)");
    std::vector<std::wstring> files = {L"QEBCoreContainer.exe"};
    for (const wchar_t* padded : PADDED_CONTAINERS) files.emplace_back(padded);
    for (const std::wstring& file : files) {
        const std::wstring path = ExeDirectory() + file;
        const std::string narrowPath = Narrow(path);
        const uint64_t bytes = FileBytes(path);
        std::vector<double> both, floor;
        bool bAccepted = true;
        for (int i = 0; i < repetitions; ++i) {
            const double hashMs = ReadAndHashMs(path);
            if (hashMs >= 0.0) floor.push_back(hashMs);
            const double begin = NowMs();
            bAccepted =
                VerifyEmbeddedSignature(narrowPath.c_str()) && VerifyVelantDigitalSignature(path.c_str()) && bAccepted;
            both.push_back(NowMs() - begin);
        }
        char label[160];
        std::snprintf(label, sizeof label, "both checks, %s (%.1f MiB)%s", Narrow(file).c_str(),
                      static_cast<double>(bytes) / 1048576.0, bAccepted ? "" : " REJECTED");
        PrintRow(label, both, "ms", Median(floor), "read + SHA-256 of the file");
    }
}

// Handler call → the container's "recv" record in its journal, against a
// bare WriteFile of the same bytes on the same pipe.
void MeasureSessionMessage(int repetitions) {
    const std::wstring journal = ExeDirectory() + L"QEBCoreContainer.journal";
    QEBCoreProcess::GetInstance()->CreateContainerProcess();
    const DWORD containerId = ::GetProcessId(g_hContainerHandle.Duplicate().get());
    if (containerId == 0) return;
    for (int wait = 0; wait < 500; ++wait) {
        if (FindRecord(ReadJournal(journal), "ready-sent", containerId) != nullptr) break;
        ::Sleep(10);
    }
    const HANDLE hJournal =
        ::CreateFileW(journal.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    auto journalBytes = [hJournal] {
        LARGE_INTEGER size = {};
        ::GetFileSizeEx(hJournal, &size);
        return size.QuadPart;
    };
    // The container writes "recv" then "recv-text": wait for the second,
    // which closes one message.
    auto waitForRecords = [&](long long before, size_t records) {
        const double deadline = NowMs() + 5000.0;
        while (NowMs() < deadline) {
            const long long now = journalBytes();
            if (now > before) {
                std::string text(static_cast<size_t>(now - before), '\0');
                LARGE_INTEGER offset = {};
                offset.QuadPart = before;
                DWORD got = 0;
                ::SetFilePointerEx(hJournal, offset, nullptr, FILE_BEGIN);
                ::ReadFile(hJournal, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
                size_t found = 0;
                for (size_t at = 0; (at = text.find(" recv-text ", at)) != std::string::npos; ++at) ++found;
                if (found >= records) return true;
            }
            ::SwitchToThread();
        }
        return false;
    };

    std::vector<double> handler, bare;
    const std::wstring sample = L"NotifyWinEvent5EventId1";
    for (int i = 0; i < repetitions; ++i) {
        WTSSESSION_NOTIFICATION notification = {};
        notification.cbSize = sizeof notification;
        notification.dwSessionId = 1;
        long long before = journalBytes();
        double begin = NowMs();
        ServiceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &notification, nullptr);
        if (waitForRecords(before, 1)) handler.push_back(NowMs() - begin);

        before = journalBytes();
        begin = NowMs();
        DWORD written = 0;
        ::WriteFile(QEBCoreProcess::GetInstance()->m_hStdInWrite, sample.data(),
                    static_cast<DWORD>(sample.size() * sizeof(wchar_t)), &written, nullptr);
        if (waitForRecords(before, 1)) bare.push_back(NowMs() - begin);
    }
    ::CloseHandle(hJournal);
    EndContainer();

    PrintSection("Session-change message (launch_bench)");
    PrintRow("floor: bare WriteFile on the pipe → container's journal record", bare, "ms");
    PrintRow("ServiceHandlerEx(14) → container's journal record", handler, "ms", Median(bare), "bare WriteFile");
}

// The product log's "create process fail <code>" lines, by code, each with
// the time it was written.
std::map<std::string, std::vector<std::string>> FailedCreations() {
    std::map<std::string, std::vector<std::string>> byCode;
    const std::string log = ReadTextFile(ExeDirectory() + L"logs\\QEBCoreService.log");
    static const std::string marker = "create process fail ";
    for (size_t at = 0; (at = log.find(marker, at)) != std::string::npos; at += marker.size()) {
        const size_t lineBegin = log.rfind('\n', at) + 1;  // npos + 1 is 0
        const std::string code =
            log.substr(at + marker.size(), log.find_first_of(" (\r\n", at + marker.size()) - (at + marker.size()));
        byCode[code].push_back(log.substr(lineBegin, 24));  // "<date> <time>Z"
    }
    return byCode;
}

void MeasureLaunchesUnderLoad(int launches, HANDLE hReady) {
    std::atomic<bool> bSpin{true};
    std::vector<std::thread> spinners;
    for (unsigned core = 0; core < 2; ++core) {
        spinners.emplace_back([&bSpin] {
            volatile unsigned long long turns = 0;
            while (bSpin.load(std::memory_order_relaxed)) turns = turns + 1;
        });
    }
    std::vector<double> launched, ready;
    int failed = 0, neverReady = 0;
    for (int i = 0; i < launches; ++i) {
        const double begin = NowMs();
        QEBCoreProcess::GetInstance()->CreateContainerProcess();
        if (!g_hContainerHandle.Held()) {
            ++failed;
            std::fprintf(stderr, "launch %d failed at %.0f ms (UTC)\n", i, UtcNowMs());
            continue;
        }
        launched.push_back(NowMs() - begin);
        // Ended only once it reported ready, so it is never killed in its own
        // start-up (where Wine could leave its console host behind).
        if (::WaitForSingleObject(hReady, 10000) == WAIT_OBJECT_0)
            ready.push_back(NowMs() - begin);
        else
            ++neverReady;
        EndContainer();
    }
    bSpin = false;
    for (std::thread& spinner : spinners) spinner.join();

    PrintSection("Launches with both cores kept busy (launch_bench --under-load)");
    PrintRow("CreateContainerProcess, successful launches", launched, "ms");
    PrintRow("  launch → the container's ready report", ready, "ms");
    char text[200];
    std::snprintf(text, sizeof text, "failed launches: %d of %d (%.2f per 1,000); launched but never ready: %d", failed,
                  launches, 1000.0 * failed / (launches > 0 ? launches : 1), neverReady);
    PrintNote(text);
    for (const auto& [code, times] : FailedCreations()) {
        std::string line = "\"create process fail " + code + "\" " + std::to_string(times.size()) + " times, at";
        for (const std::string& time : times) line += " " + time + ";";
        PrintNote(line);
    }
}

BOOL WINAPI AcceptReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
    const bool bStaged = argc > 1 && std::string(argv[argc - 1]) == Narrow(STAGED_FLAG);
    const bool bUnderLoad = argc > 2 && std::string(argv[1]) == UNDER_LOAD_FLAG;
    const int count = std::atoi(argc > (bUnderLoad ? 2 : 1) ? argv[bUnderLoad ? 2 : 1] : "20");
    if (!bStaged) {
        const std::wstring arguments = (bUnderLoad ? L"--under-load " : L"") + std::to_wstring(count);
        return RunStagedCopy(arguments);
    }

    // The product's log lines go to a file of this run, as in the service.
    initQebLogAt((ExeDirectory() + L"logs").c_str(), 64ULL * 1024 * 1024, 1);
    SetServiceStatusReporter(AcceptReport);
    const qeb::UniqueHandle hReady(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    QEBCoreProcess::SetContainerReadyEvent(hReady.get());

    if (bUnderLoad) {
        MeasureLaunchesUnderLoad(count, hReady.get());
    } else {
        MeasureLaunch(count);
        MeasureSignatureSizes(count < 5 ? count : 5);
        MeasureSessionMessage(count * 5);
    }

    VelantThread::ThreadManager::GetInstance()->WaitAll();
    ShutdownQebLog();
    return 0;
}
