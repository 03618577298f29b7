#pragma once
// QEBCoreContainer.scenario beside the executable: what this container does
// besides journalling. See README.md for the lines it understands.

#include <string>
#include <vector>

struct ScenarioStep {
    enum class Kind { Ready, Send, SendHex, Exit, Crash, TinyWrites };
    Kind kind = Kind::Ready;
    unsigned long atMs = 0;  // since the container started; 0 for at once
    std::string text;        // Send: the message; SendHex: the hex digits
    unsigned long exitCode = 0;
    unsigned long count = 0;  // TinyWrites: how many
};

struct Scenario {
    bool bReadyNever = false;
    bool bNoRead = false;
    bool bReadyGiven = false;  // a ready_after_ms line replaced the default
    bool bLoaded = false;      // a scenario file was read
    unsigned long floodBytesPerSec = 0;
    bool bCloseStdout = false;  // standard output closed right after start
    std::vector<std::string> unknownLines;
    std::vector<ScenarioStep> steps;  // in file order
};

// Without a file: report ready at once, read standard input, run until killed.
// Writes nothing to the journal, so that readiness can go out first.
Scenario LoadScenario();
// The journal records of what LoadScenario read.
void JournalScenario(const Scenario& scenario);
