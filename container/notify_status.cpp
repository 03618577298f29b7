#include <cstdint>

#include "log_line.h"
#include "qeb_core_process.h"
#include "work_status_parse.h"

bool GetNotifyStatus(wchar_t* message, int32_t* workStatus) {
    const WorkStatusParse parsed = ParseWorkStatus(message);
    *workStatus = parsed.workStatus;
    switch (parsed.conversion) {
    case WorkStatusConversion::NoDigits:
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, "GetNotifyStatus",
                     "RefreshSlientUpdatePeriod invalid_argument");
        break;
    case WorkStatusConversion::OutOfRange:
        qeb::LogLine(qeb::LogLevel::Error, qeb::kTagContainer, "GetNotifyStatus",
                     "RefreshSlientUpdatePeriod out_of_range");
        break;
    case WorkStatusConversion::NoKey:
    case WorkStatusConversion::Ok: break;
    }
    return *workStatus >= 0;
}
