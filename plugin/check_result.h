#pragma once

#include <cstdint>
#include <string>

enum CheckStatus : int { status_ok = 0, status_warning = 1, status_critical = 2, status_unknown = 3 };

// What one run found, ready to be printed.
struct CheckResult {
    int status = status_unknown;  // a CheckStatus, also the exit status
    double idle = -1.0;           // percent idle; -1.0 when none was computed
    std::int32_t warning = 0;
    std::int32_t critical = 0;
    std::string text;  // the error; empty when the measurement worked
};

// Status for an idle share; thresholds trip only when the share is strictly
// below them. A negative share means the measurement failed.
int status_for(double idle, std::int32_t warning, std::int32_t critical);

// The status line without its newline.
std::string format_result(const CheckResult& result);
