// The executable's directory and the narrow-to-wide conversion.
#include <windows.h>
#include <gtest/gtest.h>

#include "path_utils.h"

TEST(TextAndPath, DirectoryOfAPathAndWideText) {
    // The directory part holds 255 characters with both of its backslashes.
    const std::pair<std::string, std::string> paths[] = {
        {"C:\\QEBCoreService.exe", "C:\\"},
        {"C:\\Program Files\\Velant\\QEB\\QEBCoreService.exe", "C:\\Program Files\\Velant\\QEB\\"},
        {"C:\\" + std::string(253, 'd') + "\\x.exe", "C:\\" + std::string(253, 'd') + "\\"},
        {"C:\\" + std::string(254, 'd') + "\\x.exe", ""},
        {"C:\\" + std::string(300, 'd') + "\\x.exe", ""},
    };
    for (const auto& [path, directory] : paths) EXPECT_EQ(directory, qeb::DirectoryOfPath(path.c_str())) << path;

    char self[MAX_PATH] = {};
    const std::string selfPath(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
    EXPECT_EQ(selfPath.substr(0, selfPath.rfind('\\') + 1), qeb::GetExeDirectory());

    EXPECT_EQ(L"", qeb::NarrowToWide("", CP_THREAD_ACP).value_or(L"<none>"));
    EXPECT_EQ(L"NotifyWinEvent5EventId1",
              qeb::NarrowToWide("NotifyWinEvent5EventId1", CP_THREAD_ACP).value_or(L"<none>"));
    EXPECT_FALSE(qeb::NarrowToWide(nullptr, CP_THREAD_ACP).has_value());
}
