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

    wchar_t self[4 * MAX_PATH] = {};
    const std::wstring selfPath(self, ::GetModuleFileNameW(nullptr, self, 4 * MAX_PATH));
    // Started one unit long, the reader must grow its buffer, not cut the path.
    for (const DWORD firstChars : {1ul, 2ul, static_cast<DWORD>(MAX_PATH)})
        EXPECT_EQ(selfPath, qeb::ModulePath(nullptr, firstChars));
    EXPECT_EQ(std::string(selfPath.begin(), selfPath.begin() + selfPath.rfind(L'\\') + 1), qeb::GetExeDirectory());

    // A byte sequence the code page does not define is refused, never replaced.
    EXPECT_EQ(L"", qeb::NarrowToWide("", CP_THREAD_ACP).value_or(L"<none>"));
    EXPECT_EQ(L"NotifyWinEvent5EventId1",
              qeb::NarrowToWide("NotifyWinEvent5EventId1", CP_THREAD_ACP).value_or(L"<none>"));
    EXPECT_FALSE(qeb::NarrowToWide(nullptr, CP_THREAD_ACP).has_value());
    EXPECT_EQ(L"C:\\caf\u00e9", qeb::NarrowToWide("C:\\caf\xc3\xa9", CP_UTF8).value_or(L"<none>"));
    EXPECT_FALSE(qeb::NarrowToWide("C:\\caf\xc3(", CP_UTF8).has_value());
    EXPECT_EQ("caf\xc3\xa9", qeb::StrictNarrow(CP_UTF8, L"caf\u00e9", 4).value_or("<none>"));
    EXPECT_FALSE(qeb::StrictNarrow(CP_UTF8, L"caf\xd800", 4).has_value());
    EXPECT_FALSE(qeb::StrictNarrow(1252, L"\u4e00", 1).has_value()) << "a replaced character names another file";
}
