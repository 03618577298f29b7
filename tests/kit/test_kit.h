#pragma once
// What the test programs share: private temporary folders, the log pointed
// at one of them and read back, polling with a deadline, starting programs.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "module_path.h"
#include "qebcore_log.h"
#include "qebcore_log_sink.h"
#include "service_log.h"

namespace kit {

// The folder of the running test program, with a trailing backslash.
inline std::wstring ExeDir() {
    const std::wstring full = qeb::ModulePath();
    return full.substr(0, full.rfind(L'\\') + 1);
}

inline std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs; !done(); ::Sleep(5))
        if (::GetTickCount64() > deadline) return false;
    return true;
}

// This process's open handles, found by value (GetProcessHandleCount
// gives 0 under Wine): the values a handle table hands out, in steps of 4.
inline std::vector<HANDLE> OpenHandles() {
    std::vector<HANDLE> open;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4)
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            open.push_back(reinterpret_cast<HANDLE>(value));
    return open;
}
inline size_t OpenHandleCount() { return OpenHandles().size(); }

// Starts `exe` (arguments after its name) with nothing inherited: its process
// id, 0 if it did not start; with exitCode, its exit code once it ended within
// waitMs.
inline DWORD StartProgram(const std::wstring& exe, const std::wstring& arguments = L"", DWORD* exitCode = nullptr,
                          DWORD waitMs = 30000, DWORD flags = CREATE_NO_WINDOW) {
    std::wstring commandLine = L"\"" + exe + L"\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                          &info))
        return 0;
    if (exitCode != nullptr && ::WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(info.hProcess, exitCode);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return info.dwProcessId;
}

// The access list of a file or folder in SDDL form; empty when unreadable.
inline std::wstring DaclText(const std::filesystem::path& object) {
    PSECURITY_DESCRIPTOR security = nullptr;
    LPWSTR text = nullptr;
    std::wstring dacl;
    if (::GetNamedSecurityInfoW(object.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &security) == ERROR_SUCCESS &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                               &text, nullptr))
        dacl = text;
    ::LocalFree(text);
    ::LocalFree(security);
    return dacl;
}

// SYSTEM has full control and no entry lets Everyone, Users, Authenticated
// or Interactive users in. Windows shows the list as set ("D:P(A;;FA;;;SY)
// (A;;FA;;;BA)"); Wine one made from the Unix mode (docs/wine-notes.md), so
// this is what both show.
inline bool OnlySystemAndAdministrators(const std::filesystem::path& object) {
    const std::wstring dacl = DaclText(object);
    if (dacl.find(L"FA;;;SY)") == std::wstring::npos) return false;
    for (const wchar_t* others : {L";WD)", L";BU)", L";AU)", L";IU)", L";S-1-5-32-545)"})
        if (dacl.find(others) != std::wstring::npos) return false;
    return true;
}

// A fresh folder under %TEMP%, removed with its contents at the end.
struct TempDir {
    explicit TempDir(const wchar_t* prefix)
        : path(std::filesystem::temp_directory_path() /
               (prefix + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++s_count))) {
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    inline static int s_count = 0;
    const std::filesystem::path path;
};

// This process's log in a private folder until the end of the scope.
class LogCapture : private TempDir, public LogFile {
public:
    explicit LogCapture(unsigned long long maxFileBytes = 64ULL << 20, int backups = 1)
        : TempDir(L"qeb_log"), LogFile(TempDir::path / L"QEBCoreService.log") {
        ShutdownQebLog();
        initQebLogAt(TempDir::path.c_str(), maxFileBytes, backups);
    }
    ~LogCapture() { ShutdownQebLog(); }

    // 0 the current file, 1 the newest rotated one.
    std::filesystem::path File(int index) const {
        return TempDir::path /
               (index == 0 ? L"QEBCoreService.log" : L"QEBCoreService." + std::to_wstring(index) + L".log");
    }
};

}  // namespace kit
