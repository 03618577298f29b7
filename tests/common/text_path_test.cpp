// The executable's directory and path, and the strict text conversions.
#include <windows.h>
#include <gtest/gtest.h>

#include "module_path.h"
#include "path_utils.h"
#include "strict_text.h"

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

    wchar_t self[MAX_PATH] = {};
    const std::wstring selfPath(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    EXPECT_EQ(selfPath, qeb::ModulePath(nullptr, 1)) << "one unit first: the buffer must grow, not cut the path";
    EXPECT_EQ(std::string(selfPath.begin(), selfPath.begin() + selfPath.rfind(L'\\') + 1), qeb::GetExeDirectory());

    // A byte sequence the code page does not define, or a character it has no
    // exact form for, is refused: a replaced one would name another file.
    EXPECT_EQ(L"", qeb::NarrowToWide("", CP_THREAD_ACP).value_or(L"<none>"));
    EXPECT_EQ(L"5", qeb::NarrowToWide("5", CP_THREAD_ACP).value_or(L"<none>")) << "one character is a text too";
    EXPECT_FALSE(qeb::NarrowToWide(nullptr, CP_THREAD_ACP).has_value());
    EXPECT_FALSE(qeb::NarrowToWide("C:\\caf\xc3(", CP_UTF8).has_value());
    EXPECT_FALSE(qeb::StrictNarrow(1252, L"C:\\\u4e00", 4).has_value());
}
