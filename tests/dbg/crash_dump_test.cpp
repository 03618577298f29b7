// Real crashes with the crash filter installed, one table row each: a plain
// crash, and one while another thread holds the process heap's lock (which
// any dump writer and the log need). The child is a copy of this program
// started with CRASH_FLAG, in a folder of its own, so that its "logs" folder
// holds only its own dumps and log.
#include <windows.h>
#include <aclapi.h>
#include <gtest/gtest.h>
#include <process.h>
#include <sddl.h>

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
    DbgSdkSetCrashCallback([](const wchar_t* dump) {
        const std::wstring reported = dump + std::wstring(L".reported");
        ::CloseHandle(::CreateFileW(reported.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    });
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    QEBLOGI("service", "crash at " + std::to_string(ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart));
    if (std::wcsstr(::GetCommandLineW(), L"heap") != nullptr) {
        static HANDLE s_hHeld = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ::CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                return ::HeapLock(::GetProcessHeap()) && ::SetEvent(s_hHeld) && ::SleepEx(INFINITE, FALSE);
            },
            nullptr, 0, nullptr);
        ::WaitForSingleObject(s_hHeld, INFINITE);
    }
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    return true;
}();

}  // namespace

TEST(CrashDump, CrashEndsTheProcessInTimeWithAPrivateDump) {
    for (const wchar_t* mode : {L"plain", L"heap"}) {
        SCOPED_TRACE(testing::Message() << mode);
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
            reinterpret_cast<HANDLE>(_wspawnl(_P_NOWAIT, exe.c_str(), exe.c_str(), CRASH_FLAG, mode, nullptr)));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), CRASH_DEADLINE_MS + 30000));
        DWORD exitCode = 0;
        FILETIME created{}, exited{}, kernel{}, user{};
        ASSERT_TRUE(::GetExitCodeProcess(child.get(), &exitCode) &&
                    ::GetProcessTimes(child.get(), &created, &exited, &kernel, &user));
        EXPECT_EQ(0xC0000005u, exitCode) << "the process still ends as the crash it was";
        const std::string log = kit::ReadAll(logs / L"QEBCoreService.log");
        const size_t at = log.find("I service crash at ");
        ASSERT_NE(std::string::npos, at) << log;
        const ULONGLONG crashToExitMs = (ULARGE_INTEGER{{exited.dwLowDateTime, exited.dwHighDateTime}}.QuadPart -
                                         std::stoull(log.substr(at + 19))) /
                                        10000;
        std::wcout << L"crash to exit " << crashToExitMs << L" ms (" << mode << L")\n";
        EXPECT_LE(crashToExitMs, CRASH_DEADLINE_MS + EXIT_TOLERANCE_MS) << log;

        std::vector<std::filesystem::path> dumps;  // the new one first
        for (const auto& entry : std::filesystem::directory_iterator(logs))
            if (entry.path().extension() == L".dmp")
                dumps.insert(entry.path().stem().wstring().size() > 15 ? dumps.begin() : dumps.end(), entry.path());
        EXPECT_TRUE(std::filesystem::exists(logs / L"Other_1.dmp") &&
                    !std::filesystem::exists(logs / L"QEBCrashProbe_1.dmp"))
            << "only the oldest of this program goes";
        if (std::wstring(mode) != L"plain") continue;  // the dump needs the heap
        ASSERT_EQ(4u, dumps.size()) << "three of this program kept, the new one among them";
        const std::filesystem::path dump = dumps[0];
        EXPECT_EQ("MDMP", kit::ReadAll(dump).substr(0, 4));
        EXPECT_TRUE(std::filesystem::exists(dump.wstring() + L".reported"))
            << "the callback was not called with its path";
        EXPECT_NE(std::string::npos, log.find("E container Unhandled exception 3221225477, crash dump: " +
                                              dump.string() + "(DbgSdkCrashFilter)"))
            << log;
        // Read back: SYSTEM and the administrators only, nothing inherited.
        PSECURITY_DESCRIPTOR security = nullptr;
        LPWSTR text = nullptr;
        ASSERT_TRUE(::GetNamedSecurityInfoW(dump.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                            nullptr, nullptr, &security) == ERROR_SUCCESS &&
                    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr));
        // Windows gives back "D:P(A;;FA;;;SY)(A;;FA;;;BA)"; Wine derives the
        // list from the file's Unix mode (docs/wine-notes.md).
        const std::wstring dacl = text;
        ::LocalFree(text);
        ::LocalFree(security);
        EXPECT_NE(std::wstring::npos, dacl.find(L"(A;;FA;;;SY)")) << dacl;
        for (const wchar_t* others : {L";WD)", L";BU)", L";AU)", L";IU)", L";S-1-5-32-545)"})
            EXPECT_EQ(std::wstring::npos, dacl.find(others)) << dacl;
    }
}
