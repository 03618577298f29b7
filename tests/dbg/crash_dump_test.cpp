// Real crashes with the crash handlers installed, one table row each: a plain
// crash, one while another thread holds the process heap's lock (which any
// dump writer and the log need), abort(), an exception through a noexcept
// function, a stack overflow on a thread the service's thread manager
// started and on its background worker, and heap corruption (raised here: Wine's heap never reports it).
// The child is a copy of this program started with CRASH_FLAG, in a folder
// of its own, so that its "logs" folder holds only its own dumps and log.
#include <windows.h>
#include <gtest/gtest.h>
#include <process.h>

#include <cwchar>
#include <regex>

#include "crash_kinds.h"
#include "qebcore_dbg.h"
#include "qebcore_log.h"
#include "test_kit.h"
#include "unique_handle.h"

namespace {

constexpr wchar_t CRASH_FLAG[] = L"--qeb-crash-child";
constexpr DWORD CRASH_DEADLINE_MS = 15000;
constexpr DWORD EXIT_TOLERANCE_MS = 500;  // seen past the deadline: 3-9 ms

// Runs before main, so that the child crashes without going through the tests.
const bool s_bCrashChild = [] {
    if (std::wcsstr(::GetCommandLineW(), CRASH_FLAG) == nullptr) return false;
    initQebLog(1, 1);
    DbgSdkInit();
    // Called only once the crash's line names the dump.
    DbgSdkSetCrashCallback([](const wchar_t* dump) {
        const std::filesystem::path path(dump);
        if (kit::ReadAll(path.parent_path() / L"QEBCoreService.log").find(", crash dump: " + path.string()) ==
            std::string::npos)
            return;
        const std::wstring reported = dump + std::wstring(L".reported");
        ::CloseHandle(::CreateFileW(reported.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    });
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    QEBLOGI("service", "crash at " + std::to_string(ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart));
    // The kind is the last word of the command line.
    const std::wstring commandLine = ::GetCommandLineW();
    kit::CrashAs(commandLine.substr(commandLine.rfind(L' ') + 1));
    ::ExitProcess(0);  // no crash came of it
    return true;
}();

}  // namespace

// How each kind of crash ends: its exit code and its line's start and
// handler; no line for the crash whose dump needs the heap another thread holds.
struct CrashRow {
    const wchar_t* mode;
    DWORD exitCode;
    const char* what;
    const char* handler;
};
constexpr CrashRow CRASH_ROWS[] = {
    {L"plain", 0xC0000005, "Unhandled exception", "DbgSdkCrashFilter"},
    {L"heap", 0xC0000005, nullptr, nullptr},
    {L"abort", 0x40000015, "abort()", "DbgSdkAbortHandler"},
    {L"noexcept", 0xE06D7363, "std::terminate()", "DbgSdkTerminateHandler"},
    {L"overflow", 0xC00000FD, "Unhandled exception", "DbgSdkCrashFilter"},
    {L"pooloverflow", 0xC00000FD, "Unhandled exception", "DbgSdkCrashFilter"},
    {L"corrupt", 0xC0000374, "Heap corruption", "DbgSdkHeapCorruptionHandler"},
};

TEST(CrashDump, EveryKindEndsTheProcessInTimeWithAPrivateDump) {
    for (const CrashRow& row : CRASH_ROWS) {
        SCOPED_TRACE(testing::Message() << row.mode);
        kit::TempDir dir(L"qeb_crash");
        const std::filesystem::path exe = dir.path / L"QEBCrashProbe.exe", logs = dir.path / L"logs";
        ASSERT_TRUE(::CopyFileW((kit::ExeDir() + L"unit_tests.exe").c_str(), exe.c_str(), FALSE));
        // Earlier dumps of this program (.1 the oldest, to be deleted) and one of another.
        std::filesystem::create_directories(logs);
        for (const wchar_t* name :
             {L"QEBCrashProbe_1.dmp", L"QEBCrashProbe_2.dmp", L"QEBCrashProbe_3.dmp", L"Other_1.dmp"}) {
            std::ofstream(logs / name) << "old";
            std::filesystem::last_write_time(logs / name, std::filesystem::file_time_type::clock::now() -
                                                              std::chrono::hours(name[14] == L'1' ? 3 : 1));
        }
        const qeb::UniqueHandle child(
            reinterpret_cast<HANDLE>(_wspawnl(_P_NOWAIT, exe.c_str(), exe.c_str(), CRASH_FLAG, row.mode, nullptr)));
        const DWORD waited = ::WaitForSingleObject(child.get(), CRASH_DEADLINE_MS + 30000);
        if (waited != WAIT_OBJECT_0) ::TerminateProcess(child.get(), 1);
        ASSERT_EQ(WAIT_OBJECT_0, waited) << "the crash did not end the process";
        DWORD exitCode = 0;
        FILETIME created{}, exited{}, kernel{}, user{};
        ASSERT_TRUE(::GetExitCodeProcess(child.get(), &exitCode) &&
                    ::GetProcessTimes(child.get(), &created, &exited, &kernel, &user));
        EXPECT_EQ(row.exitCode, exitCode) << "the process ends with the code of what happened";
        const std::string log = kit::ReadAll(logs / L"QEBCoreService.log");
        const size_t at = log.find("I service crash at ");
        ASSERT_NE(std::string::npos, at) << log;
        const ULONGLONG crashAt = std::stoull(log.substr(at + 19)),
                        exitAt = ULARGE_INTEGER{{exited.dwLowDateTime, exited.dwHighDateTime}}.QuadPart;
        const ULONGLONG crashToExitMs = (exitAt - crashAt) / 10000;
        std::wcout << L"crash to exit " << crashToExitMs << L" ms (" << row.mode << L")\n";
        EXPECT_LE(crashToExitMs, CRASH_DEADLINE_MS + EXIT_TOLERANCE_MS) << log;

        std::vector<std::filesystem::path> dumps;  // the new one first
        for (const auto& entry : std::filesystem::directory_iterator(logs))
            if (entry.path().extension() == L".dmp")
                dumps.insert(entry.path().stem().wstring().size() > 15 ? dumps.begin() : dumps.end(), entry.path());
        EXPECT_TRUE(std::filesystem::exists(logs / L"Other_1.dmp") &&
                    !std::filesystem::exists(logs / L"QEBCrashProbe_1.dmp"))
            << "only the oldest of this program goes";
        if (row.what == nullptr) continue;  // the dump needs the heap
        ASSERT_EQ(4u, dumps.size()) << "three of this program kept, the new one among them";
        const std::filesystem::path dump = dumps[0];
        // The program's name, its process id, and the UTC second it was
        // written, which lies between the crash and the end.
        const std::wstring stem = dump.stem().wstring(),
                           named = L"QEBCrashProbe_" + std::to_wstring(::GetProcessId(child.get())) + L"_";
        SYSTEMTIME utc{};
        FILETIME namedAt{};
        const bool bNamed = std::regex_match(stem, std::wregex(named + L"\\d{8}T\\d{6}Z")) &&
                            std::swscanf(stem.c_str() + named.size(), L"%4hu%2hu%2huT%2hu%2hu%2hu", &utc.wYear,
                                         &utc.wMonth, &utc.wDay, &utc.wHour, &utc.wMinute, &utc.wSecond) == 6 &&
                            ::SystemTimeToFileTime(&utc, &namedAt);
        const ULONGLONG second = ULARGE_INTEGER{{namedAt.dwLowDateTime, namedAt.dwHighDateTime}}.QuadPart / 10000000;
        EXPECT_TRUE(bNamed && crashAt / 10000000 <= second && second <= exitAt / 10000000) << dump;
        EXPECT_EQ("MDMP", kit::ReadAll(dump).substr(0, 4));
        EXPECT_TRUE(std::filesystem::exists(dump.wstring() + L".reported"))
            << "the callback was not called with its path, or came before the line";
        EXPECT_NE(std::string::npos, log.find(std::string("E dbg ") + row.what + " " + std::to_string(row.exitCode) +
                                              ", crash dump: " + dump.string() + "(" + row.handler + ")"))
            << log;
        // Windows gives back "D:P(A;;FA;;;SY)(A;;FA;;;BA)"; Wine derives the
        // list from the file's Unix mode (docs/wine-notes.md).
        EXPECT_TRUE(kit::OnlySystemAndAdministrators(dump)) << kit::DaclText(dump);
    }
}
