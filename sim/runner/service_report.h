// What the VMs' vCPUs got, summed from the service rings in their shared
// state: the lines of `vmmsim stats --service` and of the runner's probe file.
#pragma once

#include <optional>
#include <string>

#include "common/service.h"

namespace vmmsim {

inline constexpr int default_service_window = 10;

// The service of VM `name` over the `window_secs` whole seconds before now;
// nullopt with a reason in `error` when the VM does not run.
std::optional<ServiceSummary> vm_service(const std::string& root, const std::string& name, int window_secs,
                                         std::string& error);

// "service NAME window S share P wake_p50_ms X wake_p99_ms Y wakeups N
// demand_ms D wanted_ms W received_ms R" and a newline; "-" for a share
// when nothing was wanted and for delays without slices.
std::string format_service(const std::string& name, const ServiceSummary& summary);

// The lines of every VM of the root, by name.
std::string service_report(const std::string& root, int window_secs);

}  // namespace vmmsim
