#include <gtest/gtest.h>
#include <windows.h>

#include "path_utils.h"
#include "test_files.h"

namespace {

// Runs a copy of the probe placed at `exePath` and returns what it printed.
std::string RunProbeFrom(const std::wstring& exePath) {
    EXPECT_TRUE(::CopyFileW((qebtest::ExeDirectory() + L"exe_dir_probe.exe").c_str(), exePath.c_str(), FALSE))
        << ::GetLastError();
    qebtest::TempDir dir(L"exe_dir_probe");
    const std::wstring outFile = dir.File(L"out.txt");
    const qebtest::ChildResult child = qebtest::RunChild(exePath, L"probe \"" + outFile + L"\"", 30000);
    EXPECT_TRUE(child.bEnded);
    EXPECT_EQ(0u, child.exitCode);
    ::DeleteFileW(exePath.c_str());
    return qebtest::ReadFileShared(outFile);
}

TEST(GetExeDirectory, IsTheRunningProgramsFolderWithTrailingBackslash) {
    char path[2048] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string expected(path);
    expected.resize(expected.find_last_of('\\') + 1);
    EXPECT_EQ(expected, qeb::GetExeDirectory());
}

TEST(GetExeDirectory, ProgramInADriveRootGivesDriveColonBackslash) {
    EXPECT_EQ("[C:\\]", RunProbeFrom(L"C:\\qeb_probe_" + std::to_wstring(::GetCurrentProcessId()) + L".exe"));
}

// A program cannot be started from a folder this deep (process creation is
// limited to MAX_PATH), so the split is fed the path directly. The directory
// part counts both of its backslashes.
TEST(DirectoryOfPath, PartsTooLongForTheirBufferGiveEmptyText) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\" + std::string(253, 'd') + "\\x.exe", "C:\\" + std::string(253, 'd') + "\\"},  // 255 characters
        {"C:\\" + std::string(254, 'd') + "\\x.exe", ""},                                    // 256 characters
        {"C:\\dir\\" + std::string(300, 'f') + ".exe", ""},                                  // over-long file name
    };
    for (const auto& [path, directory] : cases) EXPECT_EQ(directory, qeb::DirectoryOfPath(path.c_str())) << path.size();
}

struct WideCase {
    const char* name;
    const char* narrow;
    unsigned int codePage;
    const wchar_t* wide;  // null: no result
};

void PrintTo(const WideCase& c, std::ostream* os) { *os << c.name; }

class NarrowToWideTable : public ::testing::TestWithParam<WideCase> {};

TEST_P(NarrowToWideTable, Converts) {
    const WideCase& c = GetParam();
    const auto wide = qeb::NarrowToWide(c.narrow, c.codePage);
    ASSERT_EQ(c.wide != nullptr, wide.has_value());
    if (c.wide == nullptr) return;
    EXPECT_EQ(std::wstring(c.wide), *wide);
    EXPECT_EQ(std::char_traits<char>::length(c.narrow), wide->size()) << "one unit per narrow byte";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NarrowToWideTable,
    ::testing::Values(WideCase{"EmptyGivesEmptyNotNothing", "", CP_THREAD_ACP, L""},
                      WideCase{"AsciiKeepsItsLength", "NotifyWinEvent5EventId1", CP_THREAD_ACP, L"NotifyWinEvent5EventId1"},
                      WideCase{"PathWithBackslashes", "C:\\a b\\QEBCoreContainer.exe", CP_THREAD_ACP,
                               L"C:\\a b\\QEBCoreContainer.exe"},
                      WideCase{"AnsiAccentInCp1252", "caf\xE9", 1252, L"caf\u00E9"},
                      WideCase{"NoTextGivesNoResult", nullptr, CP_THREAD_ACP, nullptr},
                      WideCase{"UnknownCodePageGivesNoResult", "abc", 65123, nullptr}),
    [](const ::testing::TestParamInfo<WideCase>& info) { return std::string(info.param.name); });

}  // namespace
