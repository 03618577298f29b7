#include <windows.h>

#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "background_call.h"
#include "container_constants.h"
#include "container_creation.h"
#include "container_events.h"
#include "log_line.h"
#include "path_utils.h"
#include "qeb_core_process.h"
#include "qebcore_security.h"
#include "thread_manager.h"
#include "unique_handle.h"

namespace {

constexpr char LAUNCH_FUNC_NAME[] = "QEBCoreProcess::CreateContainerProcess";

void LogError(const char* text) noexcept {
    qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, LAUNCH_FUNC_NAME, text);
}

template <typename Value>
void LogError(const char* text, const Value& value) noexcept {
    qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, LAUNCH_FUNC_NAME, text, value);
}

// Opened before the first check and held until the process exists: nobody can
// write, rename or delete the file in between, so the file that was checked
// is the file that runs. Both checks read it through this handle; reading
// stays shared for the loader.
qeb::UniqueHandle HoldContainerFile(const std::wstring& path) noexcept {
    return qeb::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A stop ends the launch at the next step: nothing is started after it, and
// the calling thread is never held inside a check or a process creation that
// a stop would otherwise have to terminate.
HANDLE AbandonForStop() noexcept {
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, LAUNCH_FUNC_NAME,
                 "ContainerProcess launch abandoned, exit signal received");
    return nullptr;
}

// The pool refused the work: a failed launch, which the caller retries as any
// other, rather than a check on the caller's own thread that a stop could
// not leave.
HANDLE FailForRefusedWork(const char* job) noexcept {
    LogError("ContainerProcess launch failed, background work refused: ", job);
    return nullptr;
}

void TellRefused(const std::string& path, const char* check) noexcept {
    const ContainerEventSink* sink = GetContainerEventSink();
    if (sink != nullptr) sink->containerRefused(path.c_str(), check);
}

// The outcome of one piece of the launch on the pool thread, with the stop's
// part in it.
enum class StepOutcome { Passed, Failed, Stopped, Refused };

// A check's verdict on the pool thread. The verdict is shared with the pool
// thread because a check left behind outlives the caller.
StepOutcome CheckUnlessStopped(const char* job, std::function<bool()> check, HANDLE hExitEvent) {
    const auto verdict = std::make_shared<bool>(false);
    switch (VelantThread::RunUnlessStopped(
        job, [verdict, check = std::move(check)] { *verdict = check(); }, hExitEvent)) {
    case VelantThread::BackgroundOutcome::Finished: return *verdict ? StepOutcome::Passed : StepOutcome::Failed;
    case VelantThread::BackgroundOutcome::Stopped: return StepOutcome::Stopped;
    default: return StepOutcome::Refused;
    }
}

// What the process creation leaves behind. Owned jointly with the pool thread
// that creates the process, so that a creation the launch walked away from
// still closes its handles when it ends.
struct CreatedContainer {
    qeb::UniqueHandle hFile;  // the checked file, held until the process exists and while a check reads it
    qeb::UniqueHandle hSelf;  // must stay open until the container has inherited it
    CreationResult result;
    qeb::security::SignatureEvaluation evaluation;  // the first check's, for the second
};

// The container's only argument: the handle's value in 16 upper-case,
// zero-padded hexadecimal digits.
std::wstring FormatCommandLine(HANDLE hSelf) {
    wchar_t commandLine[COMMAND_LINE_CHARS] = {};
    swprintf_s(commandLine, COMMAND_LINE_CHARS, L"%p", hSelf);
    return commandLine;
}

HANDLE LaunchCheckedContainer(QEBCoreProcess& process) {
    const HANDLE hExitEvent = VelantThread::ThreadManager::GetInstance()->GetExitEvent();
    if (!process.CreateContainerPipe()) return nullptr;  // its own line says why

    const DWORD selfProcessId = ::GetCurrentProcessId();
    const std::string directory = qeb::GetExeDirectory();
    if (directory.empty()) {
        // A bare file name would be looked up in the working directory.
        LogError("ContainerProcess exe directory unknown, launch refused");
        return nullptr;
    }
    const std::string path = directory + CONTAINER_EXE_NAME;
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

    const auto created = std::make_shared<CreatedContainer>();
    created->hFile = HoldContainerFile(*widePath);
    if (!created->hFile) {
        // Missing, or open for writing elsewhere: in either case it cannot be
        // verified, and the usual verdict follows the reason.
        LogError("ContainerProcess exe open failed. error = ", static_cast<unsigned long>(::GetLastError()));
        LogError("ContainerProcess exe verify failed. exepath = ", path);
        return nullptr;
    }

    const StepOutcome embedded = CheckUnlessStopped(
        EMBEDDED_CHECK_JOB,
        [path, created] { return VerifyEmbeddedSignature(path.c_str(), created->hFile.get(), created->evaluation); },
        hExitEvent);
    if (embedded == StepOutcome::Stopped) return AbandonForStop();
    if (embedded == StepOutcome::Refused) return FailForRefusedWork(EMBEDDED_CHECK_JOB);
    if (embedded == StepOutcome::Failed) {
        LogError("ContainerProcess exe verify failed. exepath = ", path);
        TellRefused(path, "embedded signature");
        return nullptr;
    }
    const StepOutcome velant = CheckUnlessStopped(
        VELANT_CHECK_JOB,
        [wide = *widePath, created] {
            return VerifyVelantDigitalSignature(wide.c_str(), created->hFile.get(), created->evaluation);
        },
        hExitEvent);
    if (velant == StepOutcome::Stopped) return AbandonForStop();
    if (velant == StepOutcome::Refused) return FailForRefusedWork(VELANT_CHECK_JOB);
    if (velant == StepOutcome::Failed) {
        LogError("ContainerProcess exe verify failed. Not Velant exe");
        TellRefused(path, "publisher signature");
        return nullptr;
    }
    qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, LAUNCH_FUNC_NAME, "ContainerProcess exe verify success");

    // Inheritable, so the container can watch the service by this value.
    created->hSelf.reset(::OpenProcess(SELF_PROCESS_ACCESS, TRUE, selfProcessId));
    if (!created->hSelf) {
        LogError("OpenProcess failed.");
        return nullptr;
    }
    const PipeEndValues pipes = process.PipeEndsForLaunch();
    const InheritedHandles inherited = {pipes.hStdInRead, pipes.hStdOutWrite, pipes.hStdInWrite, pipes.hStdOutRead,
                                        created->hSelf.get()};
    const VelantThread::BackgroundOutcome creation = VelantThread::RunUnlessStopped(
        CREATE_PROCESS_JOB,
        [created, wide = *widePath, commandLine = FormatCommandLine(created->hSelf.get()), inherited, hExitEvent] {
            CreateContainerUnlessStopped(created->result, wide, commandLine, inherited, hExitEvent);
        },
        hExitEvent);
    if (creation == VelantThread::BackgroundOutcome::Refused) return FailForRefusedWork(CREATE_PROCESS_JOB);
    if (creation == VelantThread::BackgroundOutcome::Stopped || created->result.outcome == CreationOutcome::Stopped) {
        return AbandonForStop();
    }
    if (created->result.outcome != CreationOutcome::Created) {
        LogError("create process fail ", static_cast<unsigned long>(created->result.error));
        return nullptr;
    }
    // The container keeps its own copy of the service's process handle;
    // ours goes with the shared record.
    const HANDLE hContainer = created->result.hProcess.release();
    g_hContainerHandle.Reset(hContainer);
    return hContainer;
}

}  // namespace

HANDLE QEBCoreProcess::CreateContainerProcess() {
    try {
        const HANDLE hRunning = g_hContainerHandle.With([](HANDLE hHeld) noexcept { return hHeld; });
        if (hRunning != nullptr) {
            qeb::LogLine(qeb::LogLevel::Info, qeb::kTagService, LAUNCH_FUNC_NAME, "container is already exists.");
            return hRunning;
        }
        return LaunchCheckedContainer(*this);
    } catch (...) {
        LogError("create container process fail ", static_cast<unsigned long>(::GetLastError()));
        return nullptr;
    }
}
