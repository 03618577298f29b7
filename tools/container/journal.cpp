#include "journal.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "module_path.h"
#include "strict_text.h"

namespace {

HANDLE s_hJournal = INVALID_HANDLE_VALUE;

}  // namespace

std::wstring SiblingPath(const wchar_t* name) {
    const std::wstring self = qeb::ModulePath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + name;
}

void OpenJournal() {
    // FILE_APPEND_DATA alone makes every write land at the end, whole.
    s_hJournal = ::CreateFileW(SiblingPath(L"QEBCoreContainer.journal").c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
}

void JournalRecord(const char* key, const std::string& text) {
    SYSTEMTIME utc = {};
    ::GetSystemTime(&utc);
    JournalRecordAt(utc, key, text);
}

void JournalRecordAt(const SYSTEMTIME& utc, const char* key, const std::string& text) {
    if (s_hJournal == INVALID_HANDLE_VALUE) return;
    char prefix[80] = {};
    std::snprintf(prefix, sizeof prefix, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ %lu ", utc.wYear, utc.wMonth, utc.wDay,
                  utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds,
                  static_cast<unsigned long>(::GetCurrentProcessId()));
    std::string line = prefix;
    line += key;
    if (!text.empty()) {
        line += ' ';
        line += text;
    }
    line += "\r\n";
    DWORD written = 0;
    ::WriteFile(s_hJournal, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::FlushFileBuffers(s_hJournal);
}

std::string HexBytes(const void* data, unsigned long size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    hex.reserve(static_cast<size_t>(size) * 2);
    for (unsigned long i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0F];
    }
    return hex;
}

std::string Utf16BytesToUtf8(const void* data, unsigned long size) {
    std::wstring wide(size / 2, L'\0');
    if (!wide.empty()) std::memcpy(wide.data(), data, wide.size() * sizeof(wchar_t));
    for (wchar_t& unit : wide) {
        if (unit < 0x20 || unit == 0x7F) unit = L'.';
    }
    return qeb::StrictNarrow(CP_UTF8, wide.data(), wide.size()).value_or(std::string());
}
