#include "startup/settings_text.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "startup/configuration_keys.h"
#include "startup/settings.h"

namespace {

// The reader cuts lines into pieces of 199 characters.
constexpr size_t longest_line = 198;

class IniText {
public:
    void section(std::string_view name) { text_ += "[" + std::string(name) + "]\n"; }

    // A value with newlines (from continuation lines) goes on over
    // continuation lines again; one that does not fit is left out.
    void text(std::string_view key, const std::string& value)
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
    void list(std::string_view key, const std::vector<std::string>& items)
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
    // Each section once, its keys in the table's order.
    std::vector<std::string_view> sections;
    for (const ConfigurationKey& key : configuration_keys())
        if (std::find(sections.begin(), sections.end(), key.section) == sections.end())
            sections.push_back(key.section);
    IniText ini;
    for (const std::string_view section : sections) {
        ini.section(section);
        for (const ConfigurationKey& key : configuration_keys()) {
            if (key.section != section)
                continue;
            if (key.kind == KeyKind::name_list)
                ini.list(key.name, s.*std::get<std::vector<std::string> Settings::*>(key.field));
            else
                ini.text(key.name, key_value_text(key, s));
        }
    }
    return ini.str();
}
