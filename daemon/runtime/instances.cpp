#include "runtime/instances.h"

#include "startup/identity.h"

std::string daemon_title() { return program_description() + " (daemon)"; }
std::string monitor_title() { return program_description() + " (monitor)"; }

RunningInstances classify_instances(const std::vector<ProcessInfo>& processes)
{
    RunningInstances found;
    for (const ProcessInfo& process : processes) {
        const std::string& first = process.first_argument;
        const std::string prefix = process.command + ": ";
        if (first == daemon_title() || first == program_description() || first == prefix + daemon_title())
            found.daemon = process.pid;
        else if (first == monitor_title() || first == prefix + monitor_title())
            found.monitor = process.pid;
    }
    return found;
}

RunningInstances find_running_instances()
{
    return classify_instances(find_processes({program_name(), program_name() + ".debug"}));
}
