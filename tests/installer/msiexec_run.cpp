#include "msiexec_run.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "unique_handle.h"

namespace qebtest {

std::wstring BuildPathToWindows(const char* path) {
    std::wstring out(path, path + strlen(path));
    if (!out.empty() && out[0] == L'/') {
        for (auto& c : out) {
            if (c == L'/') c = L'\\';
        }
        out = L"Z:" + out;
    }
    return out;
}

std::optional<DWORD> RunMsiexec(const std::wstring& arguments, const std::wstring& logPath, DWORD timeoutMs) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    const std::wstring exe = std::wstring(system) + L"\\msiexec.exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments + L" /l*v \"" + logPath + L"\"";

    // msiexec and what it starts (custom actions, the installer's helpers)
    // get NUL as their standard handles: under Wine they would otherwise
    // keep the caller's output pipe open long after the install.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const qeb::UniqueHandle hNul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!hNul) return std::nullopt;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = hNul.get();
    startup.hStdOutput = hNul.get();
    startup.hStdError = hNul.get();
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process)) {
        return std::nullopt;
    }
    const qeb::UniqueHandle hProcess(process.hProcess);
    const qeb::UniqueHandle hThread(process.hThread);
    if (::WaitForSingleObject(hProcess.get(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(hProcess.get(), &exitCode)) return std::nullopt;
    return exitCode;
}

std::string FileTail(const std::wstring& path, size_t maxChars) {
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
            text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
    } else {
        text.assign(bytes.begin(), bytes.end());
    }
    return text.size() > maxChars ? text.substr(text.size() - maxChars) : text;
}

}  // namespace qebtest
