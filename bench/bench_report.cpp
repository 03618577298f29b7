#include "bench_report.h"

#include <algorithm>
#include <cstdio>

#include "module_path.h"
#include "strict_text.h"

namespace qebbench {

double NowMs() noexcept {
    static const double s_ticksPerMs = [] {
        LARGE_INTEGER frequency = {};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now = {};
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / s_ticksPerMs;
}

double UtcNowMs() noexcept {
    FILETIME now = {};
    ::GetSystemTimePreciseAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ULL) / 10000.0;
}

double Median(std::vector<double> samples) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    return samples.size() % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2.0;
}

void PrintSection(const char* title) {
    std::printf("\n### %s\n\n", title);
    std::printf("| figure | n | min | median | max | unit | floor (median) | median / floor |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
}

void PrintRow(const std::string& figure, const std::vector<double>& samples, const char* unit, double floorMedian,
              const std::string& floorName) {
    if (samples.empty()) {
        std::printf("| %s | 0 | - | - | - | %s | - | - |\n", figure.c_str(), unit);
        std::fflush(stdout);
        return;
    }
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    const double median = Median(samples);
    std::printf("| %s | %zu | %.3f | %.3f | %.3f | %s | ", figure.c_str(), samples.size(), *low, median, *high, unit);
    if (floorMedian > 0.0) {
        std::printf("%.3f (%s) | %.1fx |\n", floorMedian, floorName.c_str(), median / floorMedian);
    } else {
        std::printf("%s | - |\n", floorName.empty() ? "-" : floorName.c_str());
    }
    std::fflush(stdout);
}

void PrintNote(const std::string& text) {
    std::printf("\n- %s\n", text.c_str());
    std::fflush(stdout);
}

std::wstring ExeDirectory() {
    const std::wstring full = qeb::ModulePath();
    return full.substr(0, full.find_last_of(L'\\') + 1);
}

std::string Narrow(const std::wstring& text) {
    return qeb::StrictNarrow(CP_UTF8, text.data(), text.size()).value_or(std::string());
}

std::wstring MakeUniqueDirectory(const std::wstring& parent, const wchar_t* prefix) {
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring path =
            parent + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L"\\";
        if (::CreateDirectoryW(path.c_str(), nullptr)) return path;
    }
    return std::wstring();
}

void RemoveDirectoryTree(const std::wstring& directory) {
    WIN32_FIND_DATAW found = {};
    const HANDLE hFind = ::FindFirstFileW((directory + L"*").c_str(), &found);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryTree(directory + name + L"\\");
            } else {
                ::DeleteFileW((directory + name).c_str());
            }
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
    }
    ::RemoveDirectoryW(directory.c_str());
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    const HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL bOk = ::WriteFile(hFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(hFile);
    return bOk && written == text.size();
}

std::string ReadTextFile(const std::wstring& path) {
    const HANDLE hFile =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(hFile, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    ::CloseHandle(hFile);
    return text;
}

int RunToEnd(const std::wstring& image, std::wstring commandLine, const std::wstring& folder, int failed) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION created = {};
    if (!::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                          &startup, &created)) {
        return failed;
    }
    ::WaitForSingleObject(created.hProcess, INFINITE);
    DWORD exitCode = static_cast<DWORD>(failed);
    ::GetExitCodeProcess(created.hProcess, &exitCode);
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    return static_cast<int>(exitCode);
}

double RunBareProcess(const std::wstring& image, const std::function<void(DWORD)>& whileRunning) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    wchar_t commandLine[] = L"0000000000000000";
    const double begin = NowMs();
    if (!::CreateProcessW(image.c_str(), commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &created)) {
        return -1.0;
    }
    const double elapsed = NowMs() - begin;
    if (whileRunning) whileRunning(created.dwProcessId);
    ::TerminateProcess(created.hProcess, 1);
    ::WaitForSingleObject(created.hProcess, 5000);
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    return elapsed;
}

double BareCreateProcessMs(const std::wstring& image) { return RunBareProcess(image, nullptr); }

}  // namespace qebbench
