// The notification listener on its own thread, fed through the real pipe it
// reads. Every message goes over a pair of pipes made anew just before it,
// as at each container launch, so every row also proves that the listener
// follows a replacement, even while the old pipe still has a writer.
#include <gtest/gtest.h>

#include "call_faults.h"
#include "qeb_core_process.h"
#include "test_kit.h"
#include "unique_handle.h"

namespace {

const std::string LISTEN = "(QEBCoreProcess::Pipe_Listen)";
const std::string INVALID = "I container invalid notify" + LISTEN;
const std::string NO_NUMBER = "E container RefreshSlientUpdatePeriod invalid_argument(GetNotifyStatus)";
const std::string OUT_OF_RANGE = "E container RefreshSlientUpdatePeriod out_of_range(GetNotifyStatus)";

std::string Status(int value) {
    return "I container get container notify workStatus = " + std::to_string(value) + LISTEN;
}

bool Write(HANDLE pipe, const std::wstring& text) {
    DWORD written = 0;
    return ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
}

struct Row {
    std::wstring text;  // written as UTF-16LE without a terminator, in one write
    std::vector<std::string> lines;
    bool bReady;
};

}  // namespace

TEST(Listener, EachMessageOverFreshPipes) {
    const Row rows[] = {
        {L"NotifyWorkStatus1", {Status(1)}, true},
        {L"NotifyWorkStatus2", {Status(2)}, false},
        {L"NotifyWorkStatus0", {INVALID}, false},
        {L"NotifyWorkStatus-1", {}, false},
        {L"WorkStatus1", {}, false},
        {L"", {}, false},
        {L"NotifyWorkStatus", {NO_NUMBER, INVALID}, false},
        {L"NotifyWorkStatus99999999999", {OUT_OF_RANGE, INVALID}, false},
        {L"NotifyWorkStatus 7", {Status(7)}, false},
        {L"NotifyWorkStatus:1", {NO_NUMBER, INVALID}, false},
        {L"NotifyWorkStatus=1", {NO_NUMBER, INVALID}, false},
        {L"NotifyWorkStatus\"1", {NO_NUMBER, INVALID}, false},
        {L"state=on NotifyWorkStatus3", {Status(3)}, false},
        {L"NotifyWorkStatus2NotifyWorkStatus1", {Status(2)}, false},  // two read together: the first counts
        // 4096 bytes a read: the key alone in the second read, or cut in two.
        {std::wstring(2048, L'x') + L"NotifyWorkStatus6", {Status(6)}, false},
        {std::wstring(2040, L'x') + L"NotifyWorkStatus1", {}, false},
    };
    kit::LogCapture log;
    const qeb::UniqueHandle hReady(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    QEBCoreProcess::SetContainerReadyEvent(hReady.get());
    QEBCoreProcess& process = *QEBCoreProcess::GetInstance();
    // A pipe the system refuses: no pair, and the line that says which.
    qeb::FailNextCall(qeb::FaultableCall::CreatePipe, ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_FALSE(process.CreateContainerPipe());
    EXPECT_TRUE(log.Has("E container create anonymous pipe1 failed(QEBCoreProcess::CreateContainerPipe)"))
        << log.Tail();
    // The listener is running (started here or by an earlier launch) and its start-up line is out of the way.
    ASSERT_TRUE(process.CreateContainerPipe() &&
                Write(process.DuplicatePipeEnd(PipeEnd::StdOutWrite).get(), L"NotifyWorkStatus424242"));
    ASSERT_TRUE(log.Has(Status(424242), 0, 5000)) << log.Tail();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text.begin(), row.text.begin() + std::min<size_t>(row.text.size(), 40)));
        // The old pipe keeps a writer, as in a child the last container left
        // behind: only the replacement itself can end the listener's read.
        const qeb::UniqueHandle oldWriter = process.DuplicatePipeEnd(PipeEnd::StdOutWrite);
        ASSERT_TRUE(oldWriter);
        ASSERT_TRUE(process.CreateContainerPipe());
        const size_t mark = kit::ReadAll(log.File(0)).size();
        ASSERT_TRUE(Write(process.DuplicatePipeEnd(PipeEnd::StdOutWrite).get(), row.text));
        // Once the pipe is empty, a marker is a read of its own; its line
        // follows everything the row's reads led to.
        ASSERT_TRUE(kit::WaitFor(
            [&] {
                DWORD available = 1;
                return ::PeekNamedPipe(process.DuplicatePipeEnd(PipeEnd::StdOutRead).get(), nullptr, 0, nullptr,
                                       &available, nullptr) &&
                       available == 0;
            },
            5000));
        ASSERT_TRUE(Write(process.DuplicatePipeEnd(PipeEnd::StdOutWrite).get(), L"NotifyWorkStatus424242"));
        ASSERT_TRUE(log.Has(Status(424242), mark, 5000)) << "the listener did not follow the new pipe" << log.Tail();
        std::vector<std::string> lines = log.Lines(mark);
        lines.pop_back();
        EXPECT_EQ(row.lines, lines) << log.Tail();
        EXPECT_EQ(row.bReady, ::WaitForSingleObject(hReady.get(), 0) == WAIT_OBJECT_0);
    }
    QEBCoreProcess::SetContainerReadyEvent(nullptr);
}
