// GetNotifyStatus on its own: the parsed status, the result and the error
// lines of the two unusable-number cases.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "container_support.h"
#include "qeb_core_process.h"

namespace {

const char INVALID_ARGUMENT[] = "RefreshSlientUpdatePeriod invalid_argument(GetNotifyStatus)";
const char OUT_OF_RANGE[] = "RefreshSlientUpdatePeriod out_of_range(GetNotifyStatus)";

struct ParseCase {
    const char* name;
    const wchar_t* message;
    bool result;
    int32_t status;
    const char* errorLine;  // null: none
};

const ParseCase PARSE_CASES[] = {
    {"Empty", L"", false, -1, nullptr},
    {"ShorterThanKey", L"NotifyWorkStatu", false, -1, nullptr},
    {"KeyInOtherCase", L"notifyworkstatus1", false, -1, nullptr},
    {"NoKey", L"WorkStatus1", false, -1, nullptr},
    {"One", L"NotifyWorkStatus1", true, 1, nullptr},
    {"Two", L"NotifyWorkStatus2", true, 2, nullptr},
    {"Zero", L"NotifyWorkStatus0", true, 0, nullptr},
    {"MinusOne", L"NotifyWorkStatus-1", false, -1, nullptr},
    {"MinusFive", L"NotifyWorkStatus-5", false, -5, nullptr},
    {"PlusSign", L"NotifyWorkStatus+4", true, 4, nullptr},
    {"KeyAlone", L"NotifyWorkStatus", true, 0, INVALID_ARGUMENT},
    {"Blank", L"NotifyWorkStatus 7", true, 7, nullptr},
    {"TabsAndNewlines", L"NotifyWorkStatus\t\r\n 3", true, 3, nullptr},
    {"Colon", L"NotifyWorkStatus:1", true, 0, INVALID_ARGUMENT},
    {"EqualsSign", L"NotifyWorkStatus=1", true, 0, INVALID_ARGUMENT},
    {"Quote", L"NotifyWorkStatus\"1\"", true, 0, INVALID_ARGUMENT},
    {"DigitsThenText", L"NotifyWorkStatus12abc", true, 12, nullptr},
    {"LargestInt32", L"NotifyWorkStatus2147483647", true, INT32_MAX, nullptr},
    {"AboveInt32", L"NotifyWorkStatus2147483648", true, 0, OUT_OF_RANGE},
    {"FarAboveInt32", L"NotifyWorkStatus99999999999", true, 0, OUT_OF_RANGE},
    {"SmallestInt32", L"NotifyWorkStatus-2147483648", false, INT32_MIN, nullptr},
    {"BelowInt32", L"NotifyWorkStatus-2147483649", true, 0, OUT_OF_RANGE},
    {"TextBeforeKey", L"{\"event\":\"NotifyWorkStatus1\"}", true, 1, nullptr},
    {"FirstKeyCounts", L"NotifyWorkStatus5NotifyWorkStatus1", true, 5, nullptr},
    {"FirstKeyWithoutNumber", L"NotifyWorkStatusNotifyWorkStatus1", true, 0, INVALID_ARGUMENT},
};

class GetNotifyStatusTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(GetNotifyStatusTable, ParsesStatusAndWritesOnlyItsErrorLine) {
    const ParseCase& c = GetParam();
    std::wstring message = c.message;
    qebtest::LogCursor cursor;
    int32_t status = 12345;
    EXPECT_EQ(c.result, GetNotifyStatus(message.data(), &status));
    EXPECT_EQ(c.status, status);

    std::vector<std::string> expected;
    if (c.errorLine != nullptr) expected.push_back(c.errorLine);
    const std::vector<qebtest::LogRecord> records = cursor.Since();
    EXPECT_EQ(expected, qebtest::Messages(records));
    for (const qebtest::LogRecord& record : records) {
        EXPECT_EQ('E', record.level);
        EXPECT_EQ("container", record.tag);
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, GetNotifyStatusTable, ::testing::ValuesIn(PARSE_CASES),
                         [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

}  // namespace
