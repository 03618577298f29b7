#include <windows.h>

#include <cwchar>
#include <optional>
#include <string>

#include "container_constants.h"
#include "log_line.h"
#include "path_utils.h"
#include "qeb_core_process.h"
#include "qebcore_memset_s.h"
#include "qebcore_security.h"
#include "unique_handle.h"

namespace {

constexpr char FUNC_NAME[] = "QEBCoreProcess::CreateContainerProcess";

void LogError(const char* text) noexcept { qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, FUNC_NAME, text); }

template <typename Value>
void LogError(const char* text, const Value& value) noexcept {
    qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, FUNC_NAME, text, value);
}

// Opened before the first check and held until the process exists: nobody can
// write, rename or delete the file in between, so the file that was checked
// is the file that runs. Reading stays shared, for the checks and the loader.
qeb::UniqueHandle HoldContainerFile(const std::wstring& path) noexcept {
    return qeb::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The container's only argument: the handle's value in 16 upper-case,
// zero-padded hexadecimal digits.
bool FormatCommandLine(wchar_t (&commandLine)[COMMAND_LINE_CHARS], HANDLE hSelf) noexcept {
    return swprintf_s(commandLine, COMMAND_LINE_CHARS, L"%p", hSelf) > 0;
}

HANDLE LaunchCheckedContainer(QEBCoreProcess& process) {
    if (!process.CreateContainerPipe()) return nullptr;  // its own line says why

    const DWORD selfProcessId = ::GetCurrentProcessId();
    const std::string path = qeb::GetExeDirectory() + CONTAINER_EXE_NAME;
    const std::optional<std::wstring> widePath = qeb::NarrowToWide(path.c_str(), CP_THREAD_ACP);
    if (!widePath) {
        LogError("ContainerProcess exe path cannot be converted. exepath = ", path);
        return nullptr;
    }
    // Without long-path support Windows neither opens nor starts a file at
    // MAX_PATH or beyond. Refused here, the outcome does not depend on how
    // far each check and the loader happen to get with such a path.
    if (widePath->size() >= MAX_PATH) {
        LogError("ContainerProcess exe path too long. exepath = ", path);
        return nullptr;
    }

    const qeb::UniqueHandle hContainerFile = HoldContainerFile(*widePath);
    if (!hContainerFile) {
        // Missing, or open for writing elsewhere: in either case it cannot be
        // verified, and the usual verdict follows the reason.
        LogError("ContainerProcess exe open failed. error = ", static_cast<unsigned long>(::GetLastError()));
        LogError("ContainerProcess exe verify failed. exepath = ", path);
        return nullptr;
    }

    if (!VerifyEmbeddedSignature(path.c_str())) {
        LogError("ContainerProcess exe verify failed. exepath = ", path);
        return nullptr;
    }
    if (!VerifyVelantDigitalSignature(widePath->c_str())) {
        LogError("ContainerProcess exe verify failed. Not Velant exe");
        return nullptr;
    }
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, FUNC_NAME, "ContainerProcess exe verify success");

    // Inheritable, so the container can watch the service by this value.
    const qeb::UniqueHandle hSelf(::OpenProcess(SELF_PROCESS_ACCESS, TRUE, selfProcessId));
    if (!hSelf) {
        LogError("OpenProcess failed.");
        return nullptr;
    }

    wchar_t commandLine[COMMAND_LINE_CHARS] = {};
    FormatCommandLine(commandLine, hSelf.get());

    STARTUPINFOW startup;
    memset_s(&startup, sizeof startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = process.m_hStdInRead;
    startup.hStdOutput = process.m_hStdOutWrite;
    startup.hStdError = reinterpret_cast<HANDLE>(STD_ERROR_DEVICE_NUMBER);

    PROCESS_INFORMATION created;
    memset_s(&created, sizeof created, 0, sizeof created);
    if (!::CreateProcessW(widePath->c_str(), commandLine, nullptr, nullptr, TRUE, CONTAINER_CREATION_FLAGS, nullptr,
                          nullptr, &startup, &created)) {
        LogError("create process fail ", static_cast<unsigned long>(::GetLastError()));
        return nullptr;
    }
    // Nothing uses the first thread; the container keeps its own copy of the
    // service's process handle, so ours goes with hSelf. Neither may pile up
    // across restarts.
    ::CloseHandle(created.hThread);
    g_hContainerHandle = created.hProcess;
    return g_hContainerHandle;
}

}  // namespace

HANDLE QEBCoreProcess::CreateContainerProcess() {
    try {
        if (g_hContainerHandle != nullptr) {
            qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, FUNC_NAME, "container is already exists.");
            return g_hContainerHandle;
        }
        return LaunchCheckedContainer(*this);
    } catch (...) {
        LogError("create container process fail ", static_cast<unsigned long>(::GetLastError()));
        return nullptr;
    }
}
