#include "test_support.h"

#include <atomic>

#include "qebcore_log_sink.h"
#include "unique_handle.h"

namespace qebtest {

namespace {
std::atomic<unsigned> s_dirCounter{0};
}

TempDir::TempDir(const wchar_t* prefix) {
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, base);
    // Programs of several builds share %TEMP%: pid, tick and a counter keep
    // the names apart.
    m_path = std::wstring(base) + prefix + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(::GetTickCount64()) + L"_" + std::to_wstring(++s_dirCounter);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

TempDir::~TempDir() {
    // Two levels are enough for every test here (a "logs" folder inside).
    for (const std::wstring& sub : ListFiles(m_path, L"*")) {
        const std::wstring full = m_path + L"\\" + sub;
        if (::GetFileAttributesW(full.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            for (const std::wstring& inner : ListFiles(full, L"*")) ::DeleteFileW((full + L"\\" + inner).c_str());
            ::RemoveDirectoryW(full.c_str());
        } else {
            ::DeleteFileW(full.c_str());
        }
    }
    ::RemoveDirectoryW(m_path.c_str());
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadWholeFile(const std::wstring& path) {
    qeb::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
    return content;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start) + "<torn>");
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::wstring> ListFiles(const std::wstring& directory, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    const HANDLE find = ::FindFirstFileW((directory + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/"));
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Pattern of the timestamp with 'd' for a digit.
bool MatchesTimestamp(const std::string& text) {
    static const char shape[] = "dddd-dd-dd dd:dd:dd.dddZ";
    if (text.size() != sizeof shape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
    }
    return true;
}

}  // namespace

// Taken apart by hand: std::regex recurses per character and overflows the
// stack on long messages.
bool ParseLogRecord(const std::string& line, LogRecord& record) {
    constexpr size_t TIMESTAMP_CHARS = 24;
    if (line.size() < TIMESTAMP_CHARS + 1 || line[TIMESTAMP_CHARS] != ' ') return false;
    record.timestamp = line.substr(0, TIMESTAMP_CHARS);
    if (!MatchesTimestamp(record.timestamp)) return false;

    size_t at = TIMESTAMP_CHARS + 1;
    auto nextField = [&](std::string& field) {
        const size_t blank = line.find(' ', at);
        if (blank == std::string::npos) return false;
        field = line.substr(at, blank - at);
        at = blank + 1;
        return true;
    };
    std::string processId, threadId, level;
    if (!nextField(processId) || !nextField(threadId) || !nextField(level) || !nextField(record.tag)) return false;
    if (!AllDigits(processId) || !AllDigits(threadId) || record.tag.empty()) return false;
    if (level.size() != 1 || std::string("IWE").find(level[0]) == std::string::npos) return false;
    record.processId = std::stoul(processId);
    record.threadId = std::stoul(threadId);
    record.level = level[0];
    record.message = line.substr(at);
    return true;
}

LogCapture::LogCapture(unsigned long long maxFileBytes, int maxBackupFiles)
    : m_dir(L"qeb_log"), m_bOpened(false) {
    ShutdownQebLog();  // whatever an earlier test left open
    m_bOpened = initQebLogAt(m_dir.path().c_str(), maxFileBytes, maxBackupFiles);
}

LogCapture::~LogCapture() { ShutdownQebLog(); }

std::vector<LogRecord> LogCapture::Records() const {
    std::vector<LogRecord> records;
    for (const std::string& line : SplitLines(ReadWholeFile(CurrentFile()))) {
        LogRecord record;
        if (ParseLogRecord(line, record)) records.push_back(record);
    }
    return records;
}

std::vector<LogRecord> LogCapture::Find(char level, const std::string& text) const {
    std::vector<LogRecord> found;
    for (const LogRecord& record : Records())
        if (record.level == level && record.message.compare(0, text.size(), text) == 0) found.push_back(record);
    return found;
}

ChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs) {
    ChildResult result;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info))
        return result;
    qeb::UniqueHandle process(info.hProcess);
    qeb::UniqueHandle thread(info.hThread);
    result.bStarted = true;
    result.processId = info.dwProcessId;
    if (::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0) {
        result.bEnded = true;
        ::GetExitCodeProcess(process.get(), &result.exitCode);
    } else {
        ::TerminateProcess(process.get(), 1);
    }
    return result;
}

}  // namespace qebtest
