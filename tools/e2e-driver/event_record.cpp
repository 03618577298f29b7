#include "event_record.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace qeb::scm {

std::string DescribeEvent(DWORD eventId, unsigned type, unsigned category, const std::vector<std::string>& inserts) {
    char head[48] = {};
    std::snprintf(head, sizeof head, "0x%08lx %u %u:", static_cast<unsigned long>(eventId), type, category);
    std::string text = head;
    for (size_t i = 0; i < inserts.size(); ++i) text += (i == 0 ? " " : " | ") + inserts[i];
    return text;
}

std::wstring WineServicesLog() {
    wchar_t prefix[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, ARRAYSIZE(prefix));
    if (length == 0 || length >= ARRAYSIZE(prefix)) return {};
    return L"Z:" + std::wstring(prefix, length) + L".services.log";
}

std::vector<std::string> ReadWineEvents(const std::wstring& path, size_t from) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    struct Call {
        unsigned long id = 0;
        unsigned type = 0, category = 0;
        std::vector<std::string> inserts;
    };
    std::vector<Call> calls;
    std::map<std::string, size_t> last;  // thread -> its latest call
    size_t begin = from, end = 0;
    for (; begin < all.size(); begin = end + 1) {
        end = all.find('\n', begin);
        if (end == std::string::npos) break;  // a line still being written
        const std::string line = all.substr(begin, end - begin), thread = line.substr(0, line.find(':'));
        const size_t call = line.find(":fixme:advapi:ReportEventW ("), text = line.find(":eventlog:ReportEventW L\"");
        // "(handle,0xTYPE,0xCATEGORY,0xIDENTIFIER,...": hexadecimal fields, each ended by a comma.
        unsigned long long fields[4] = {};
        const char* at = call != std::string::npos ? line.c_str() + call + 28 : nullptr;
        for (unsigned long long& field : fields) {
            char* next = nullptr;
            field = at != nullptr ? std::strtoull(at, &next, 16) : 0;
            at = at != nullptr && next != at && *next == ',' ? next + 1 : nullptr;
        }
        Call c{static_cast<unsigned long>(fields[3]),
               static_cast<unsigned>(fields[1]),
               static_cast<unsigned>(fields[2]),
               {}};
        if (at != nullptr) {
            last[thread] = calls.size();
            calls.push_back(c);
        } else if (text != std::string::npos && last.count(thread) == 1) {
            std::string insert;  // debugstr_w's escapes; paths only need the backslash's
            for (size_t i = text + 25; i < line.size() && line[i] != '"'; ++i)
                insert += line[i] == '\\' ? line[++i] : line[i];
            calls[last[thread]].inserts.push_back(insert);
        }
    }
    std::vector<std::string> events;
    events.reserve(calls.size());
    for (const Call& c : calls) events.push_back(DescribeEvent(c.id, c.type, c.category, c.inserts));
    return events;
}

}  // namespace qeb::scm
