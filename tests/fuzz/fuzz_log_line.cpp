// Log-line composition and the stored record on any text: the composed line
// is exactly text, value, "(", function name, ")"; the stored record is one
// line, ended by CR LF, whatever the tag and message hold (CR, LF, nulls,
// bytes that are not text), and carries the message's other bytes unchanged.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz_expect.h"
#include "log_line.h"
#include "log_record.h"

namespace {

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // C strings stop at their first null, as a caller's text would.
    const std::string text = provider.ConsumeRandomLengthString(512).c_str();
    const std::string funcName = provider.ConsumeRandomLengthString(64).c_str();
    const int32_t signedValue = provider.ConsumeIntegral<int32_t>();
    const std::string textValue = provider.ConsumeRandomLengthString(256);

    Expect(qeb::ComposeLogLine(text.c_str(), funcName.c_str()) == text + "(" + funcName + ")");
    Expect(qeb::ComposeLogLine(text.c_str(), signedValue, funcName.c_str()) ==
           text + std::to_string(signedValue) + "(" + funcName + ")");
    const std::string composed = qeb::ComposeLogLine(text.c_str(), textValue, funcName.c_str());
    Expect(composed == text + textValue + "(" + funcName + ")");

    qeblog::LogStamp utc = {};  // any field values, however out of range
    provider.ConsumeData(&utc, sizeof utc);
    const uint32_t processId = provider.ConsumeIntegral<uint32_t>();
    const uint32_t threadId = provider.ConsumeIntegral<uint32_t>();
    const char level = provider.PickValueInArray({'I', 'W', 'E'});
    const std::string tag = provider.ConsumeRandomLengthString(32);

    const std::string record = qeblog::FormatLogRecord(utc, processId, threadId, level, tag, composed);
    Expect(record.size() >= 2 && record.compare(record.size() - 2, 2, "\r\n") == 0);
    Expect(record.find('\n') == record.size() - 1);
    Expect(record.find('\r') == record.size() - 2);
    const std::string tail = OneLine(tag) + " " + OneLine(composed) + "\r\n";
    Expect(record.size() > tail.size() && record.compare(record.size() - tail.size(), tail.size(), tail) == 0);
    return 0;
}
