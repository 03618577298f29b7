#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "path_utils.h"
#include "unique_handle.h"

namespace {

std::wstring ModulePathW() {
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return path;
}

std::wstring SiblingPath(const wchar_t* name) {
    std::wstring path = ModulePathW();
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// Runs a copy of the probe placed at `exePath` and returns what it printed.
std::string RunProbeFrom(const std::wstring& exePath) {
    EXPECT_TRUE(::CopyFileW(SiblingPath(L"exe_dir_probe.exe").c_str(), exePath.c_str(), FALSE))
        << ::GetLastError();
    wchar_t tempDir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, tempDir);
    const std::wstring outFile =
        std::wstring(tempDir) + L"exe_dir_probe_" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
    std::wstring cmdLine = L"probe \"" + outFile + L"\"";

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const BOOL created = ::CreateProcessW(exePath.c_str(), cmdLine.data(), nullptr, nullptr, FALSE,
                                          CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    EXPECT_TRUE(created) << ::GetLastError();
    std::string printed;
    if (created) {
        qeb::UniqueHandle process(pi.hProcess);
        qeb::UniqueHandle thread(pi.hThread);
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 30000));
        DWORD code = 1;
        ::GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(0u, code);
        std::ifstream in(outFile.c_str(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        printed = content.str();
    }
    ::DeleteFileW(outFile.c_str());
    ::DeleteFileW(exePath.c_str());
    return printed;
}

TEST(GetExeDirectory, IsTheRunningProgramsFolderWithTrailingBackslash) {
    char path[2048] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string expected(path);
    expected.resize(expected.find_last_of('\\') + 1);
    EXPECT_EQ(expected, qeb::GetExeDirectory());
}

TEST(GetExeDirectory, ProgramInADriveRootGivesDriveColonBackslash) {
    const std::wstring exe = L"C:\\qeb_probe_" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    EXPECT_EQ("[C:\\]", RunProbeFrom(exe));
}

// A program cannot be started from a folder this deep (process creation is
// limited to MAX_PATH), so the split is fed the path directly.
TEST(GetExeDirectory, DirectoryPartTooLongForItsBufferGivesEmptyText) {
    // The directory part counts both of its backslashes.
    const std::string fits = "C:\\" + std::string(253, 'd') + "\\x.exe";  // 255 characters
    EXPECT_EQ("C:\\" + std::string(253, 'd') + "\\", qeb::DirectoryOfPath(fits.c_str()));
    const std::string tooLong = "C:\\" + std::string(254, 'd') + "\\x.exe";  // 256 characters
    EXPECT_EQ("", qeb::DirectoryOfPath(tooLong.c_str()));
}

TEST(GetExeDirectory, FileNameTooLongForItsBufferGivesEmptyText) {
    const std::string tooLong = "C:\\dir\\" + std::string(300, 'f') + ".exe";
    EXPECT_EQ("", qeb::DirectoryOfPath(tooLong.c_str()));
}

struct WideCase {
    const char* name;
    const char* narrow;
    unsigned int codePage;
    const wchar_t* wide;
};

void PrintTo(const WideCase& c, std::ostream* os) { *os << c.name; }

class NarrowToWideTable : public ::testing::TestWithParam<WideCase> {};

TEST_P(NarrowToWideTable, Converts) {
    const WideCase& c = GetParam();
    const auto wide = qeb::NarrowToWide(c.narrow, c.codePage);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(std::wstring(c.wide), *wide);
    EXPECT_EQ(std::char_traits<char>::length(c.narrow), wide->size()) << "one unit per narrow byte";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NarrowToWideTable,
    ::testing::Values(WideCase{"EmptyGivesEmptyNotNothing", "", CP_THREAD_ACP, L""},
                      WideCase{"AsciiKeepsItsLength", "NotifyWinEvent5EventId1", CP_THREAD_ACP,
                               L"NotifyWinEvent5EventId1"},
                      WideCase{"PathWithBackslashes", "C:\\a b\\QEBCoreContainer.exe", CP_THREAD_ACP,
                               L"C:\\a b\\QEBCoreContainer.exe"},
                      WideCase{"AnsiAccentInCp1252", "caf\xE9", 1252, L"caf\u00E9"}),
    [](const ::testing::TestParamInfo<WideCase>& info) { return std::string(info.param.name); });

TEST(NarrowToWide, NoTextGivesNoResult) {
    EXPECT_FALSE(qeb::NarrowToWide(nullptr, CP_THREAD_ACP).has_value());
}

TEST(NarrowToWide, UnknownCodePageGivesNoResult) {
    EXPECT_FALSE(qeb::NarrowToWide("abc", 65000 + 123).has_value());
}

}  // namespace
