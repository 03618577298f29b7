#include "report_capture.h"

#include <mutex>

#include "service_status.h"

namespace qebtest {

namespace {

std::mutex s_mutex;
std::vector<SERVICE_STATUS> s_reports;
DWORD s_failWith = 0;
ServiceStatusReporter s_previous = nullptr;

BOOL WINAPI CaptureReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_reports.push_back(*status);
    if (s_failWith != 0) {
        ::SetLastError(s_failWith);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

ReportCapture::ReportCapture() {
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_reports.clear();
        s_failWith = 0;
    }
    s_previous = SetServiceStatusReporter(&CaptureReport);
}

ReportCapture::~ReportCapture() { SetServiceStatusReporter(s_previous); }

std::vector<SERVICE_STATUS> ReportCapture::Reports() const {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_reports;
}

size_t ReportCapture::Count() const {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_reports.size();
}

void ReportCapture::FailWith(DWORD error) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_failWith = error;
}

}  // namespace qebtest
