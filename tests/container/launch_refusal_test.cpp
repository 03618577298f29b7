// Launches run by launch_probe.exe in a staging folder of their own, beside a
// chosen container file: refused files, a file that others try to change
// while it is checked, and a container that outlives its launcher.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "container_support.h"
#include "unique_handle.h"

namespace {

const char LAUNCH_FUNC[] = "(QEBCoreProcess::CreateContainerProcess)";

class Staging {
public:
    Staging() : m_temp(L"qeb_container_stage"), m_dir(m_temp.path()) { Put(L"launch_probe.exe", L"launch_probe.exe"); }

    const std::wstring& dir() const { return m_dir; }
    std::string ContainerPathA() const { return qebtest::ToAnsi(m_dir + L"\\QEBCoreContainer.exe").value_or("?"); }

    bool Put(const std::wstring& fromBin, const std::wstring& as) {
        return ::CopyFileW((qebtest::ExeDirectory() + fromBin).c_str(), (m_dir + L"\\" + as).c_str(), FALSE) != FALSE;
    }

    // Runs the probe to its end; returns its exit code.
    DWORD RunProbe(const std::wstring& args, DWORD* probePid = nullptr) {
        const qeb::UniqueHandle probe =
            qebtest::StartProgram(m_dir + L"\\launch_probe.exe", L"launch_probe.exe " + args, probePid);
        EXPECT_TRUE(probe) << ::GetLastError();
        if (!probe) return 255;
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(probe.get(), 120000));
        DWORD code = 255;
        ::GetExitCodeProcess(probe.get(), &code);
        return code;
    }

    // The launch's own lines, as "<level> <tag> <message>".
    std::vector<std::string> LaunchLines() const {
        return qebtest::Lines(qebtest::ReadLogRecords(m_dir + L"\\logs\\QEBCoreService.log"),
                              "QEBCoreProcess::CreateContainerProcess");
    }

    std::vector<std::string> Result(const std::string& key) const {
        std::vector<std::string> values;
        std::istringstream lines(qebtest::ReadFileShared(m_dir + L"\\probe_result.txt"));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line == key) values.push_back("");
            if (line.compare(0, key.size() + 1, key + " ") == 0) values.push_back(line.substr(key.size() + 1));
        }
        return values;
    }

    bool JournalExists() const { return qebtest::FileExists(m_dir + L"\\QEBCoreContainer.journal"); }

private:
    qebtest::TempDir m_temp;
    std::wstring m_dir;
};

std::string Error(const std::string& text) { return "E container " + text + LAUNCH_FUNC; }

TEST(LaunchRefusal, AnUnsignedContainerFailsTheFirstCheckAndIsNotStarted) {
    Staging stage;
    ASSERT_TRUE(stage.Put(L"QEBCoreContainerUnsigned.exe", L"QEBCoreContainer.exe"));
    EXPECT_EQ(1u, stage.RunProbe(L"launch"));
    EXPECT_EQ(std::vector<std::string>{Error("ContainerProcess exe verify failed. exepath = " + stage.ContainerPathA())},
              stage.LaunchLines());
    EXPECT_EQ(std::vector<std::string>{""}, stage.Result("refused"));
    EXPECT_FALSE(stage.JournalExists()) << "the container ran";
}

TEST(LaunchRefusal, AContainerOfAnotherPublisherFailsTheSecondCheckAndIsNotStarted) {
    Staging stage;
    if (!qebtest::FileExists(qebtest::ExeDirectory() + L"QEBCoreContainerOtherPublisher.exe"))
        GTEST_SKIP() << "no other-publisher variant in this build (release signing identity)";
    ASSERT_TRUE(stage.Put(L"QEBCoreContainerOtherPublisher.exe", L"QEBCoreContainer.exe"));
    EXPECT_EQ(1u, stage.RunProbe(L"launch"));
    EXPECT_EQ(std::vector<std::string>{Error("ContainerProcess exe verify failed. Not Velant exe")},
              stage.LaunchLines());
    EXPECT_FALSE(stage.JournalExists()) << "the container ran";
}

TEST(LaunchRefusal, AMissingContainerCannotBeVerified) {
    Staging stage;
    EXPECT_EQ(1u, stage.RunProbe(L"launch"));
    EXPECT_EQ((std::vector<std::string>{Error("ContainerProcess exe open failed. error = 2"),
                                        Error("ContainerProcess exe verify failed. exepath = " + stage.ContainerPathA())}),
              stage.LaunchLines());
}

struct Attempt {
    std::string op;
    unsigned long long start = 0, end = 0;
    bool ok = false;
    unsigned long error = 0;
};

std::vector<Attempt> Attempts(const Staging& stage) {
    std::vector<Attempt> attempts;
    for (const std::string& text : stage.Result("attempt")) {
        std::istringstream in(text);
        Attempt a;
        int ok = 0;
        in >> a.op >> a.start >> a.end >> ok >> a.error;
        a.ok = ok != 0;
        attempts.push_back(a);
    }
    return attempts;
}

// From just after the launch opened the file until the container process
// existed, another thread tried again and again to open the file for writing,
// rename it, delete it and replace it with a program that is not the
// container. Every try must fail, and the process that ran must be the
// checked container.
TEST(LaunchFileHold, TheCheckedFileCannotBeChangedBeforeItRuns) {
    Staging stage;
    ASSERT_TRUE(stage.Put(L"QEBCoreContainer.exe", L"QEBCoreContainer.exe"));
    ASSERT_TRUE(stage.Put(L"swap_marker.exe", L"swap_marker.exe"));
    ASSERT_EQ(0u, stage.RunProbe(L"swap swap_marker.exe"));
    ASSERT_EQ(1u, stage.Result("launched").size());
    const unsigned long pid = std::stoul(stage.Result("launched")[0]);
    EXPECT_TRUE(qebtest::WaitForJournal(stage.dir(), pid, "cmdline", 5000)) << "what ran was not the container";

    const unsigned long long launchStart = std::stoull(stage.Result("launch-start")[0]);
    const unsigned long long created = std::stoull(stage.Result("created")[0]);
    std::map<std::string, int> refused;
    unsigned long long firstTry = 0;
    for (const Attempt& a : Attempts(stage)) {
        if (a.end >= created) continue;  // the container exists from here on
        if (firstTry == 0) firstTry = a.start;
        EXPECT_FALSE(a.ok) << a.op << " succeeded " << (a.end - launchStart) / 10000 << " ms into the launch";
        EXPECT_TRUE(a.error == ERROR_SHARING_VIOLATION || a.error == ERROR_ACCESS_DENIED) << a.op << " " << a.error;
        ++refused[a.op];
    }
    for (const char* op : {"open-write", "rename", "delete", "replace"}) {
        EXPECT_GE(refused[op], 3) << op << " was hardly tried while the launch held the file";
    }
    std::printf("[ figures ] file held for >= %llu ms before the container existed; refused tries: open-write %d, "
                "rename %d, delete %d, replace %d\n",
                firstTry != 0 ? (created - firstTry) / 10000 : 0ull, refused["open-write"], refused["rename"],
                refused["delete"], refused["replace"]);
}

TEST(LaunchContract, TheContainerKeepsRunningWhenItsLauncherEnds) {
    Staging stage;
    ASSERT_TRUE(stage.Put(L"QEBCoreContainer.exe", L"QEBCoreContainer.exe"));
    DWORD probePid = 0;
    ASSERT_EQ(0u, stage.RunProbe(L"orphan", &probePid));
    // The signed container passes both checks from any folder.
    EXPECT_EQ(std::vector<std::string>{"I service ContainerProcess exe verify success" + std::string(LAUNCH_FUNC)},
              stage.LaunchLines());
    ASSERT_EQ(1u, stage.Result("launched").size());
    const unsigned long pid = std::stoul(stage.Result("launched")[0]);
    const qeb::UniqueHandle container(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    ASSERT_TRUE(container);
    EXPECT_TRUE(qebtest::WaitForJournal(stage.dir(), pid, "parent-exited", 5000));
    const std::vector<qebtest::JournalEntry> journal = qebtest::LatestJournal(stage.dir(), pid);
    EXPECT_EQ("valid pid=" + std::to_string(probePid), qebtest::JournalText(journal, "parent-handle"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(container.get(), 300)) << "container ended";
    ::TerminateProcess(container.get(), 0);
    ::WaitForSingleObject(container.get(), 5000);
}

}  // namespace
