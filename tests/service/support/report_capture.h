#pragma once
// Captures every status report the service host makes, through the host's
// reporter seam, for as long as an instance lives.

#include <windows.h>

#include <vector>

namespace qebtest {

class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;

    std::vector<SERVICE_STATUS> Reports() const;
    size_t Count() const;
    // From now on every report is refused with this error (0: accepted again).
    void FailWith(DWORD error);
};

}  // namespace qebtest
