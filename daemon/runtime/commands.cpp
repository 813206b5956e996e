#include "runtime/commands.h"

#include <string>

#include <spdlog/spdlog.h>

#include "controller/rate_limit_class.h"
#include "controller/vm_context.h"
#include "startup/log_text.h"
#include "startup/settings.h"

namespace {

// Clearing alone would keep the buffer of a name of any length for good.
void stop_tracking(Settings& settings) { std::string().swap(settings.tracked_vm); }

}  // namespace

void track(const std::string& argument)
{
    Settings& settings = Settings::instance();
    if (argument.empty()) {
        if (settings.tracked_vm.empty())
            spdlog::info("[CLI] Reset tracking VM (nothing)");
        else
            spdlog::info("[CLI] Reset tracking VM id={}", settings.tracked_vm);
        stop_tracking(settings);
        return;
    }

    spdlog::info("[CLI] Set tracking VM id={}", escaped_for_log(argument));
    // Replaced before the checks: a refused VM also ends the previous tracking.
    settings.tracked_vm = argument;
    // A name that is no plain VM name is never opened (see VmContext).
    VmContext vm(argument);
    if (!vm.is_open()) {
        spdlog::info("VM id={} tracking is not possible", escaped_for_log(argument));
        stop_tracking(settings);
        return;
    }
    const int cls = vm.get_class();
    spdlog::info("Tracking VM id={} class={}", argument, static_cast<RateLimitClass>(cls));
    if (cls == normal_class || cls == miner_class)
        return;
    spdlog::info("VM id={} class={} tracking is not possible, class 1,2 only", argument,
                 static_cast<RateLimitClass>(cls));
    stop_tracking(settings);
}

bool loglevel(const std::string& name)
{
    Settings& settings = Settings::instance();
    if (!settings.set_log_level(name)) {
        spdlog::warn("[CLI] Unknown log level '{}'", name);
        return false;
    }
    spdlog::default_logger()->set_level(static_cast<spdlog::level::level_enum>(settings.log_level));
    spdlog::info("[CLI] Reset log level to '{}'", level_name(settings.log_level));
    return true;
}
