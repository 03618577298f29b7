// The notification listener, fed through the real pipe it reads: what each
// message makes it write and whether it signals readiness, and how it follows
// pipe replacements.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "container_support.h"
#include "qeb_core_process.h"
#include "unique_handle.h"

namespace {

using qebtest::Utf16Bytes;

const char LISTEN_FUNC[] = "QEBCoreProcess::Pipe_Listen";
const std::wstring SENTINEL = L"NotifyWorkStatus424242";
const std::string SENTINEL_LINE = "I container get container notify workStatus = 424242(QEBCoreProcess::Pipe_Listen)";
const std::string BEGIN_LINE = "QEBCoreProcess.Pipe_Listen begin.(QEBCoreProcess::Pipe_Listen)";
constexpr DWORD LINE_WAIT_MS = 5000;

QEBCoreProcess& Process() { return *QEBCoreProcess::GetInstance(); }

// The pipes and the listener, made once per process.
void EnsureChannel() {
    if (QEBCoreProcess::s_bListenStarted) return;
    qebtest::LogCursor cursor;
    ASSERT_TRUE(Process().CreateContainerPipe());
    ASSERT_TRUE(cursor.WaitFor(BEGIN_LINE, LINE_WAIT_MS));
}

bool WriteBytes(HANDLE pipe, const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// True once the listener has taken every byte out of the pipe.
bool WaitDrained(HANDLE readEnd) {
    return qebtest::WaitFor(
        [readEnd] {
            DWORD available = 1;
            return ::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available == 0;
        },
        LINE_WAIT_MS, 1);
}

// The listener's and the parser's lines as "<level> <tag> <message>".
std::vector<std::string> ListenerLines(const std::vector<qebtest::LogRecord>& records) {
    std::vector<std::string> lines = qebtest::Lines(records);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) {
                                   return line.find("(QEBCoreProcess::Pipe_Listen)") == std::string::npos &&
                                          line.find("(GetNotifyStatus)") == std::string::npos;
                               }),
                lines.end());
    return lines;
}

// Once the sentinel's line is there, everything written before it has been
// handled: the listener works one read at a time, and the sentinel is a read
// of its own because the pipe was drained before it was written.
std::vector<std::string> FinishWithSentinel(const qebtest::LogCursor& cursor) {
    EXPECT_TRUE(WaitDrained(Process().m_hStdOutRead));
    EXPECT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(SENTINEL)));
    EXPECT_TRUE(cursor.WaitFor(SENTINEL_LINE.substr(12), LINE_WAIT_MS)) << "sentinel never handled";
    std::vector<std::string> lines = ListenerLines(cursor.Since());
    EXPECT_FALSE(lines.empty());
    if (!lines.empty() && lines.back() == SENTINEL_LINE) lines.pop_back();
    return lines;
}

std::vector<std::string> LinesForWrite(const std::string& bytes) {
    qebtest::LogCursor cursor;
    EXPECT_TRUE(WriteBytes(Process().m_hStdOutWrite, bytes));  // a zero-byte write too
    EXPECT_TRUE(WaitDrained(Process().m_hStdOutRead));
    return FinishWithSentinel(cursor);
}

std::string Line(const std::string& level, const std::string& text) { return level + " container " + text; }

const std::string READY_1 = Line("I", "get container notify workStatus = 1(QEBCoreProcess::Pipe_Listen)");
const std::string INVALID = Line("I", "invalid notify(QEBCoreProcess::Pipe_Listen)");
const std::string BAD_NUMBER = Line("E", "RefreshSlientUpdatePeriod invalid_argument(GetNotifyStatus)");

std::string StatusLine(int status) {
    return Line("I", "get container notify workStatus = " + std::to_string(status) + "(QEBCoreProcess::Pipe_Listen)");
}

struct ListenCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
    bool ready;
};

std::vector<ListenCase> ListenCases() {
    const std::string leadingNull = std::string(2, '\0') + Utf16Bytes(L"NotifyWorkStatus1");
    const std::string afterNull = Utf16Bytes(L"NotifyWorkStatus3") + std::string(2, '\0') + Utf16Bytes(L"NotifyWorkStatus1");
    return {
        {"One", Utf16Bytes(L"NotifyWorkStatus1"), {READY_1}, true},
        {"Two", Utf16Bytes(L"NotifyWorkStatus2"), {StatusLine(2)}, false},
        {"Zero", Utf16Bytes(L"NotifyWorkStatus0"), {INVALID}, false},
        {"NoKey", Utf16Bytes(L"WorkStatus1 hello"), {}, false},
        {"NoDigits", Utf16Bytes(L"NotifyWorkStatus"), {BAD_NUMBER, INVALID}, false},
        {"LeadingNullIsEmptyText", leadingNull, {}, false},
        {"TextEndsAtFirstNull", afterNull, {StatusLine(3)}, false},
        {"ZeroByteWrite", std::string(), {}, false},
        // 4096 bytes per read: 2048 'x' fill the first, the key comes alone
        // in the second...
        {"KeyInSecondRead", Utf16Bytes(std::wstring(2048, L'x') + L"NotifyWorkStatus6"), {StatusLine(6)}, false},
        // ...and a key cut by the read boundary is found in neither half.
        {"KeySplitByReads", Utf16Bytes(std::wstring(2040, L'x') + L"NotifyWorkStatus1"), {}, false},
    };
}

class ListenerTable : public ::testing::TestWithParam<ListenCase> {};

TEST_P(ListenerTable, WritesItsLinesAndSignalsOnlyOnOne) {
    const ListenCase& c = GetParam();
    EnsureChannel();
    ::ResetEvent(qebtest::ReadyEvent());
    EXPECT_EQ(c.lines, LinesForWrite(c.bytes));
    EXPECT_EQ(c.ready, qebtest::IsSignalled(qebtest::ReadyEvent()));
}

INSTANTIATE_TEST_SUITE_P(Messages, ListenerTable, ::testing::ValuesIn(ListenCases()),
                         [](const ::testing::TestParamInfo<ListenCase>& info) { return std::string(info.param.name); });

TEST(Listener, TwoNotificationsInOneReadCountOnlyTheFirstKey) {
    EnsureChannel();
    ::ResetEvent(qebtest::ReadyEvent());
    qebtest::LogCursor cursor;
    // Hold the listener at its gate after one more message, so that the next
    // two writes wait in the pipe and arrive in a single read.
    ::ResetEvent(QEBCoreProcess::s_hPipeAvailableEvent);
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus5")));
    ASSERT_TRUE(cursor.WaitFor("get container notify workStatus = 5(QEBCoreProcess::Pipe_Listen)", LINE_WAIT_MS));
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus2")));
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus1")));
    ::SetEvent(QEBCoreProcess::s_hPipeAvailableEvent);
    EXPECT_EQ((std::vector<std::string>{StatusLine(5), StatusLine(2)}), FinishWithSentinel(cursor));
    EXPECT_FALSE(qebtest::IsSignalled(qebtest::ReadyEvent()));
}

TEST(Listener, LaterReplacementsStartNoSecondListener) {
    EnsureChannel();
    qebtest::LogCursor cursor;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Process().CreateContainerPipe());
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus1")));
    ASSERT_TRUE(cursor.WaitFor(READY_1.substr(12), LINE_WAIT_MS));
    const std::vector<std::string> messages = qebtest::Messages(cursor.Since(), LISTEN_FUNC);
    EXPECT_EQ(0, std::count(messages.begin(), messages.end(), BEGIN_LINE));
    EXPECT_EQ(1, std::count(messages.begin(), messages.end(), READY_1.substr(12))) << "one listener, one line";
    EXPECT_TRUE(qebtest::IsSignalled(QEBCoreProcess::s_hPipeAvailableEvent));
}

TEST(Listener, ReplacementUnderAWaitingListenerIsPickedUpAndClosesTheOldPair) {
    EnsureChannel();
    EXPECT_TRUE(FinishWithSentinel(qebtest::LogCursor()).empty());  // the listener now waits in its read
    ::SetEvent(qebtest::ReadyEvent());

    const HANDLE self = ::GetCurrentProcess();
    qeb::UniqueHandle oldInWrite, oldOutRead;
    ASSERT_TRUE(::DuplicateHandle(self, Process().m_hStdInWrite, self, oldInWrite.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(::DuplicateHandle(self, Process().m_hStdOutRead, self, oldOutRead.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));

    ASSERT_TRUE(Process().CreateContainerPipe());
    EXPECT_FALSE(qebtest::IsSignalled(qebtest::ReadyEvent())) << "readiness belongs to the next container";
    EXPECT_TRUE(qebtest::IsSignalled(QEBCoreProcess::s_hPipeAvailableEvent));

    // Every old end is closed: pipe 1 lost its reader, pipe 2 its writer.
    DWORD count = 0;
    char byte = 0;
    EXPECT_FALSE(::WriteFile(oldInWrite.get(), "x", 1, &count, nullptr));
    EXPECT_FALSE(::ReadFile(oldOutRead.get(), &byte, 1, &count, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), ::GetLastError());

    qebtest::LogCursor cursor;
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus1")));
    EXPECT_TRUE(cursor.WaitFor(READY_1.substr(12), LINE_WAIT_MS));
    EXPECT_TRUE(qebtest::IsSignalled(qebtest::ReadyEvent()));
}

// A child of the container that inherited its standard output keeps the old
// pipe's write end alive after the container is gone; the listener's read on
// that pipe would then never fail by itself. The holder here is a duplicate
// in this process: the pipe sees one more writer either way.
TEST(Listener, ReplacementMovesTheListenerOnWhileAnotherHolderKeepsTheOldPipeOpen) {
    EnsureChannel();
    EXPECT_TRUE(FinishWithSentinel(qebtest::LogCursor()).empty());
    ::ResetEvent(qebtest::ReadyEvent());

    const HANDLE self = ::GetCurrentProcess();
    qeb::UniqueHandle strayWriter;
    ASSERT_TRUE(
        ::DuplicateHandle(self, Process().m_hStdOutWrite, self, strayWriter.put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
    ::Sleep(50);  // the listener is back in its read on this pipe
    ASSERT_TRUE(Process().CreateContainerPipe());

    qebtest::LogCursor cursor;
    ASSERT_TRUE(WriteBytes(Process().m_hStdOutWrite, Utf16Bytes(L"NotifyWorkStatus1")));
    EXPECT_TRUE(cursor.WaitFor(READY_1.substr(12), LINE_WAIT_MS)) << "listener stuck on the old pipe";
    EXPECT_TRUE(qebtest::IsSignalled(qebtest::ReadyEvent()));

    // Nobody reads the old pipe any more: the listener let go of it too.
    DWORD written = 0;
    EXPECT_FALSE(::WriteFile(strayWriter.get(), "x", 1, &written, nullptr));
}

TEST(Listener, NoReadyEventMeansStatusOneIsLoggedAndSignalsNothing) {
    EnsureChannel();
    ::ResetEvent(qebtest::ReadyEvent());
    QEBCoreProcess::SetContainerReadyEvent(nullptr);
    const std::vector<std::string> lines = LinesForWrite(Utf16Bytes(L"NotifyWorkStatus1"));
    QEBCoreProcess::SetContainerReadyEvent(qebtest::ReadyEvent());
    EXPECT_EQ(std::vector<std::string>{READY_1}, lines);
    EXPECT_FALSE(qebtest::IsSignalled(qebtest::ReadyEvent()));
}

}  // namespace
