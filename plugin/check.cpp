#include "check.h"

CheckResult run_check(const CheckOptions& options, const CheckEnvironment& env)
{
    CheckResult result;
    result.warning = options.warning;
    result.critical = options.critical;
    result.text = validate_check_options(options);

    CpTimeSample first{};
    CpTimeSample second{};
    if (result.text.empty())
        result.text = read_cp_time(env.sysctl, first);
    if (result.text.empty()) {
        env.sleep(options.period);
        result.text = read_cp_time(env.sysctl, second);
    }
    if (result.text.empty()) {
        if (auto share = idle_share(first, second))
            result.idle = *share;
        else
            result.text = "No 'kern.cp_time' changes between samples";
    }
    result.status = status_for(result.idle, result.warning, result.critical);
    return result;
}

int cpuslack_main(int argc, char* argv[], const CheckEnvironment& env)
{
    const ParsedCommandLine parsed = parse_check_options(argc, argv);
    if (parsed.usage_requested) {
        *env.out << usage_text() << std::flush;
        return status_ok;
    }
    const CheckResult result = run_check(parsed.options, env);
    *env.out << format_result(result) << '\n' << std::flush;
    return result.status;
}
