#include "startup/settings_text.h"

#include <string>
#include <vector>

#include "startup/settings.h"

namespace {

// The reader cuts lines into pieces of 199 characters.
constexpr size_t longest_line = 198;

class IniText {
public:
    void section(const char* name) { text_ += std::string("[") + name + "]\n"; }

    template <typename Number>
    void number(const char* key, Number value)
    {
        text_ += std::string(key) + " = " + std::to_string(value) + "\n";
    }

    // A value with newlines (from continuation lines) goes on over
    // continuation lines again; one that does not fit is left out.
    void text(const char* key, const std::string& value)
    {
        std::string lines = std::string(key) + " = ";
        size_t line_start = 0;
        for (const char c : value) {
            if (c == '\n') {
                lines += "\n ";
                line_start = lines.size() - 1;
            } else {
                lines += c;
            }
            if (lines.size() - line_start > longest_line)
                return;
        }
        text_ += lines + "\n";
    }

    // Items joined by commas, a line ending after a comma whenever the next
    // item would not fit; the reader takes the newline for a blank.
    void list(const char* key, const std::vector<std::string>& items)
    {
        std::string lines = std::string(key) + " =";
        size_t line_start = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string item = " " + items[i] + (i + 1 < items.size() ? "," : "");
            if (lines.size() - line_start + item.size() > longest_line) {
                lines += "\n";
                line_start = lines.size();
            }
            lines += item;
            if (lines.size() - line_start > longest_line)
                return;
        }
        text_ += lines + "\n";
    }

    const std::string& str() const { return text_; }

private:
    std::string text_;
};

}  // namespace

std::string settings_text(const Settings& s)
{
    IniText ini;
    ini.section("COMMON");
    ini.text("LogLevel", level_name(s.log_level));
    ini.number("UpdateVMList", s.update_vm_list);
    ini.number("UpdateTime", s.update_time);
    ini.number("AveragingTime", s.averaging_time);
    ini.text("MetricsFile", s.metrics_file);
    ini.text("DryRun", s.dry_run ? "true" : "false");
    ini.text("RecordFile", s.record_file);
    ini.section("RATE_LIMIT");
    ini.number("MaxCpuIdleLevel", s.max_cpu_idle_level);
    ini.number("MinCpuIdleLevel", s.min_cpu_idle_level);
    ini.number("RateLimitDelta", s.rate_limit_delta);
    ini.section("VCPU_CLASS");
    ini.number("CpuIdleLevel", s.cpu_idle_level);
    ini.number("OverloadBound", s.overload_bound);
    ini.number("VCPU", s.vcpu);
    ini.list("Exempt", s.exempt);
    return ini.str();
}
