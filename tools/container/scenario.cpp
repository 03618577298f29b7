#include "scenario.h"

#include <windows.h>

#include <cstdlib>
#include <sstream>

#include "journal.h"

namespace {

// The whole file as text; false when there is none.
bool ReadWholeFile(const std::wstring& path, std::string& content) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
    ::CloseHandle(file);
    return true;
}

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    return rest;
}

}  // namespace

Scenario LoadScenario() {
    Scenario scenario;
    std::string content;
    if (!ReadWholeFile(SiblingPath(L"QEBCoreContainer.scenario"), content)) {
        scenario.steps.push_back(ScenarioStep{});  // ready at once
        return scenario;
    }
    scenario.bLoaded = true;
    std::istringstream file(content);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream in(line);
        std::string key;
        if (!(in >> key) || key[0] == '#') continue;
        ScenarioStep step;
        if (key == "ready_after_ms") {
            in >> step.atMs;
            step.kind = ScenarioStep::Kind::Ready;
            scenario.bReadyGiven = true;
            scenario.steps.push_back(step);
        } else if (key == "ready") {
            if (Rest(in) == "never") scenario.bReadyNever = true;
        } else if (key == "send") {
            step.kind = ScenarioStep::Kind::Send;
            step.text = Rest(in);
            scenario.steps.push_back(step);
        } else if (key == "send_hex") {
            step.kind = ScenarioStep::Kind::SendHex;
            step.text = Rest(in);
            scenario.steps.push_back(step);
        } else if (key == "exit_after_ms") {
            std::string codeWord;
            in >> step.atMs >> codeWord >> step.exitCode;
            step.kind = ScenarioStep::Kind::Exit;
            scenario.steps.push_back(step);
        } else if (key == "crash_after_ms") {
            in >> step.atMs;
            step.kind = ScenarioStep::Kind::Crash;
            scenario.steps.push_back(step);
        } else if (key == "no_read") {
            scenario.bNoRead = true;
        } else if (key == "flood_bytes_per_sec") {
            in >> scenario.floodBytesPerSec;
        } else if (key == "tiny_writes") {
            in >> step.count;
            step.kind = ScenarioStep::Kind::TinyWrites;
            scenario.steps.push_back(step);
        } else if (key == "close_stdout") {
            scenario.bCloseStdout = true;
        } else {
            scenario.unknownLines.push_back(line);
        }
    }
    // The default readiness report comes first unless a line placed it.
    if (!scenario.bReadyGiven && !scenario.bReadyNever) scenario.steps.insert(scenario.steps.begin(), ScenarioStep{});
    return scenario;
}

void JournalScenario(const Scenario& scenario) {
    if (scenario.bLoaded) JournalRecord("scenario", "loaded");
    for (const std::string& line : scenario.unknownLines) JournalRecord("scenario-unknown", line);
}
