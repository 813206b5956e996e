#include "recording/record_parse.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>

#include "recording/record_format.h"

namespace {

// Splits at blanks, skipping runs of them.
class Tokens {
public:
    explicit Tokens(std::string_view line) : rest_(line) {}
    std::optional<std::string_view> next()
    {
        while (!rest_.empty() && rest_.front() == ' ')
            rest_.remove_prefix(1);
        if (rest_.empty())
            return std::nullopt;
        const size_t end = rest_.find(' ');
        const std::string_view token = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
        return token;
    }

private:
    std::string_view rest_;
};

// Reads a whole decimal number; none when anything else is there.
template <typename Number>
std::optional<Number> number(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Cuts `text` at the first `separator`: the part before it; `text` keeps the
// rest (empty when there was none).
std::string_view cut(std::string_view& text, char separator)
{
    const size_t at = text.find(separator);
    const std::string_view head = text.substr(0, at);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
    return head;
}

// Clocks beyond this are no clocks: the controller's arithmetic on them
// must not overflow (about 146 years of nanoseconds).
constexpr int64_t latest_clock = int64_t{1} << 62;

std::optional<int64_t> clock_value(std::string_view text)
{
    const std::optional<int64_t> value = number<int64_t>(text);
    if (!value || *value < 0 || *value > latest_clock)
        return std::nullopt;
    return value;
}

// a + b, kept within 0..latest_clock: a wall clock only stamps log lines.
int64_t clamped_sum(int64_t a, int64_t b)
{
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? latest_clock : 0;
    return std::clamp<int64_t>(sum, 0, latest_clock);
}

class Failure {
public:
    explicit Failure(std::string why) : why(std::move(why)) {}
    std::string why;
};

template <typename Number>
Number need(std::optional<Number> value, const char* what)
{
    if (!value)
        throw Failure(std::string("bad ") + what);
    return *value;
}

std::string unescaped(std::string_view text, const char* what)
{
    std::string out;
    if (!unescape(text, out))
        throw Failure(std::string("bad escape in ") + what);
    return out;
}

// A counter: a difference from `base`, or whole after "=".
uint64_t counter(std::string_view text, const uint64_t* base, const char* what)
{
    if (!text.empty() && text.front() == '=')
        return need(number<uint64_t>(text.substr(1)), what);
    if (base == nullptr)
        throw Failure(std::string(what) + " has no base");
    return *base + need(number<uint64_t>(text), what);
}

class RecordDecoder {
public:
    RecordDecoder(Recording& into, ParseResult& result) : into_(into), result_(result) {}

    void header(Tokens& tokens)
    {
        HeaderRow header;
        header.format = need(number<int>(tokens.next().value_or("")), "format");
        while (const auto token = tokens.next()) {
            std::string_view value = *token;
            const std::string_view key = cut(value, '=');
            if (key == "version")
                header.version = unescaped(value, "version");
            else if (key == "reason")
                header.reason = reason(value);
            else if (key == "cpus")
                header.cpus = need(number<int32_t>(value), "cpus");
            else if (key == "pid")
                header.pid = need(number<int32_t>(value), "pid");
            else if (key == "update_time")
                header.update_time = need(number<int64_t>(value), "update_time");
            else if (key == "steady")
                header.steady_ns = need(clock_value(value), "steady");
            else if (key == "wall")
                header.wall_ns = need(clock_value(value), "wall");
            else if (key == "settings")
                header.settings = unescaped(value, "settings");
            else
                result_.unknown.emplace_back(key);
        }
        into_.headers.push_back(std::move(header));
    }

    // False when a T record's base is not the last tick read.
    bool tick(char kind, Tokens& tokens)
    {
        TickRow tick;
        tick.header = static_cast<uint32_t>(into_.headers.size() - 1);
        tick.seq = need(number<uint64_t>(tokens.next().value_or("")), "sequence number");
        const std::string_view clock_text = tokens.next().value_or("");
        if (kind == 'T') {
            // A step, which may be negative: the reader tells of a clock
            // that steps back.
            const int64_t step = need(number<int64_t>(clock_text), "clock step");
            if (into_.ticks.empty())
                return false;
            const TickRow& last = into_.ticks.back();
            if (last.seq + 1 != tick.seq || !last.host_open || last.header != tick.header)
                return false;
            if (step < -latest_clock || step > latest_clock || last.clock_ns + step < 0 ||
                last.clock_ns + step > latest_clock)
                throw Failure("bad clock step");
            base_ = into_.ticks.size() - 1;
            tick.clock_ns = last.clock_ns + step;
            tick.wall_ns = clamped_sum(last.wall_ns, step);
        } else {
            tick.clock_ns = need(clock_value(clock_text), "clock");
            tick.wall_ns = anchored_wall(tick.clock_ns, tick.header);
        }
        tick.host_open = kind != 'E';
        tick.first_vm = static_cast<uint32_t>(into_.vms.size());
        tick.first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
        tick.first_process = static_cast<uint32_t>(into_.processes.size());
        tick_ = &tick;
        while (const auto token = tokens.next())
            field(*token);
        tick.vm_count = static_cast<uint32_t>(into_.vms.size()) - tick.first_vm;
        into_.ticks.push_back(tick);
        return true;
    }

private:
    static HeaderReason reason(std::string_view name)
    {
        for (const HeaderReason reason :
             {HeaderReason::start, HeaderReason::reload, HeaderReason::reopen, HeaderReason::resume})
            if (reason_name(reason) == name)
                return reason;
        throw Failure("bad reason");
    }

    // The wall clock of a record that states only the steady one: from the
    // last tick of the same header, else from the header.
    int64_t anchored_wall(int64_t clock, uint32_t header) const
    {
        if (!into_.ticks.empty() && into_.ticks.back().header == header)
            return clamped_sum(into_.ticks.back().wall_ns, clock - into_.ticks.back().clock_ns);
        const HeaderRow& row = into_.headers[header];
        return clamped_sum(row.wall_ns, clock - row.steady_ns);
    }

    const TickRow* base() const { return base_ ? &into_.ticks[*base_] : nullptr; }

    void field(std::string_view token)
    {
        const char first = token.front();
        if (first >= '0' && first <= '9') {
            vm_identity(token);
            return;
        }
        // A VM field is one letter and its value; a letter after it marks a
        // field of a newer format.
        const bool vm_kind = first == '!' || first == 'x' || first == 's' || first == 't' || first == 'T' ||
                             (first == 'c' && token.substr(1, 1) != "=");
        const bool letter_follows = token.size() > 1 && ((token[1] >= 'a' && token[1] <= 'z') ||
                                                         (token[1] >= 'A' && token[1] <= 'Z'));
        if (vm_kind && !letter_follows) {
            vm_field(token);
            return;
        }
        const size_t equals = token.find('=');
        if (equals != std::string_view::npos && equals > 0) {
            record_field(token.substr(0, equals), token.substr(equals + 1));
            return;
        }
        result_.unknown.emplace_back(token.substr(0, token.find_first_of(":=/,")));
    }

    void record_field(std::string_view key, std::string_view value)
    {
        if (key == "c" || key == "C")
            cpu(value, key == "c");
        else if (key == "k")
            knobs(value);
        else if (key == "w") {
            tick_->class1_written = true;
            tick_->class1_write = need(number<int32_t>(value), "written limit");
        } else if (key == "r")
            rebuild(value);
        else if (key == "wall")
            tick_->wall_ns = need(clock_value(value), "wall clock");
        else if (key == "error")
            tick_->error = into_.intern(unescaped(value, "error"));
        else
            result_.unknown.emplace_back(key);
    }

    void cpu(std::string_view value, bool relative)
    {
        tick_->cpu_read = true;
        if (value == "?")
            return;  // read, not valid
        const TickRow* then = base();
        if (relative && (then == nullptr || !then->cpu_read || !then->cpu.valid))
            throw Failure("cp_time has no base");
        uint64_t* fields[] = {&tick_->cpu.user, &tick_->cpu.nice, &tick_->cpu.sys, &tick_->cpu.intr,
                              &tick_->cpu.idle};
        const CpuTimes none;
        const CpuTimes& from = relative ? then->cpu : none;
        const uint64_t bases[] = {from.user, from.nice, from.sys, from.intr, from.idle};
        for (size_t i = 0; i < 5; ++i)
            *fields[i] = bases[i] + need(number<uint64_t>(cut(value, ',')), "cp_time");
        if (!value.empty())
            throw Failure("bad cp_time");
        tick_->cpu.valid = true;
    }

    static KnobRead knob(std::string_view text)
    {
        if (text.empty())
            return {};
        if (text == "?")
            return {true, false, 0};
        return {true, true, need(number<int32_t>(text), "knob")};
    }

    void knobs(std::string_view value)
    {
        tick_->class1 = knob(cut(value, ','));
        tick_->class2 = knob(cut(value, ','));
        tick_->burst = knob(value);
    }

    void rebuild(std::string_view value)
    {
        tick_->rebuilt = true;
        while (!value.empty()) {
            std::string_view entry = cut(value, ';');
            ProcessRow process;
            process.group = need(number<int32_t>(cut(entry, ':')), "process group");
            process.pid = need(number<int32_t>(cut(entry, ':')), "pid");
            process.name = into_.intern(unescaped(entry, "VM name"));
            into_.processes.push_back(process);
        }
        tick_->process_count = static_cast<uint32_t>(into_.processes.size()) - tick_->first_process;
    }

    // The base's row for `pid`, as an index: the rows may move as ours are
    // added.
    std::optional<size_t> base_vm(int32_t pid)
    {
        const TickRow* then = base();
        return then ? into_.find_vm(*then, pid, hint_) : std::nullopt;
    }

    VmRow& vm()
    {
        if (into_.vms.size() == tick_->first_vm)
            throw Failure("VM field before any VM");
        return into_.vms.back();
    }

    void vm_identity(std::string_view token)
    {
        VmRow row;
        row.pid = need(number<int32_t>(cut(token, ':')), "pid");
        vm_base_ = base_vm(row.pid);
        if (!token.empty()) {
            row.group = need(number<int32_t>(cut(token, ':')), "process group");
            row.name = into_.intern(unescaped(token, "VM name"));
        } else if (vm_base_) {
            row.group = into_.vms[*vm_base_].group;
            row.name = into_.vms[*vm_base_].name;
        } else {
            throw Failure("VM " + std::to_string(row.pid) + " has no name");
        }
        into_.vms.push_back(row);
    }

    void vm_field(std::string_view token)
    {
        const char kind = token.front();
        token.remove_prefix(1);
        if (kind == '!' && token.empty()) {
            vm().outcome = VmOutcome::gone;
        } else if (kind == 'x' && token.empty()) {
            vm().outcome = VmOutcome::unopenable;
        } else if (kind == 'c') {
            vm().outcome = VmOutcome::opened;
            vm().cls = need(number<int32_t>(token), "class");
        } else if (kind == 's') {
            vm().set_to = need(number<int32_t>(cut(token, ':')), "class asked for");
            vm().set_result = need(number<int32_t>(token), "set result");
        } else if (kind == 'T') {
            explicit_threads(token);
        } else if (kind == 't') {
            relative_threads(token);
        } else {
            throw Failure(std::string("bad field ") + kind);
        }
    }

    // "?", or the time whole, or (with a base) a difference from the base's.
    static void throttle(std::string_view text, VcpuRow& vcpu, const VcpuRow* base, bool whole)
    {
        if (text == "?") {
            vcpu.throttle = ThrottleRead::unknown;
            return;
        }
        if (whole) {
            vcpu.throttle_us = need(number<uint64_t>(text), "throttle time");
        } else {
            const bool known_base = base != nullptr && base->throttle == ThrottleRead::known;
            vcpu.throttle_us = counter(text, known_base ? &base->throttle_us : nullptr, "throttle time");
        }
        vcpu.throttle = ThrottleRead::known;
    }

    void begin_threads()
    {
        VmRow& row = vm();
        if (row.threads_read)
            throw Failure("vCPUs given twice");
        row.threads_read = true;
        row.first_vcpu = static_cast<uint32_t>(into_.vcpus.size());
    }

    void explicit_threads(std::string_view list)
    {
        begin_threads();
        while (!list.empty()) {
            std::string_view item = cut(list, ',');
            VcpuRow vcpu;
            vcpu.number = need(number<int32_t>(cut(item, ':')), "vCPU number");
            const size_t slash = item.find('/');
            vcpu.run_us = need(number<uint64_t>(item.substr(0, slash)), "run time");
            if (slash != std::string_view::npos)
                throttle(item.substr(slash + 1), vcpu, nullptr, true);
            into_.vcpus.push_back(vcpu);
        }
        vm().vcpu_count = static_cast<uint32_t>(into_.vcpus.size()) - vm().first_vcpu;
    }

    void relative_threads(std::string_view list)
    {
        if (!vm_base_ || !into_.vms[*vm_base_].threads_read)
            throw Failure("vCPUs have no base");
        begin_threads();
        const VmRow then = into_.vms[*vm_base_];
        for (uint32_t i = 0; i < then.vcpu_count; ++i) {
            if (list.empty())
                throw Failure("fewer vCPUs than the base");
            std::string_view item = cut(list, ',');
            const VcpuRow before = into_.vcpus[then.first_vcpu + i];
            VcpuRow vcpu;
            vcpu.number = before.number;
            const size_t slash = item.find('/');
            vcpu.run_us = counter(item.substr(0, slash), &before.run_us, "run time");
            if (slash != std::string_view::npos)
                throttle(item.substr(slash + 1), vcpu, &before, false);
            into_.vcpus.push_back(vcpu);
        }
        if (!list.empty())
            throw Failure("more vCPUs than the base");
        vm().vcpu_count = then.vcpu_count;
    }

    Recording& into_;
    ParseResult& result_;
    TickRow* tick_ = nullptr;
    std::optional<size_t> base_;
    std::optional<size_t> vm_base_;
    size_t hint_ = 0;
};

}  // namespace

ParseResult parse_record(std::string_view line, Recording& into)
{
    ParseResult result;
    Tokens tokens(line);
    const std::string_view kind = tokens.next().value_or("");
    const size_t vms = into.vms.size();
    const size_t vcpus = into.vcpus.size();
    const size_t processes = into.processes.size();
    try {
        RecordDecoder decoder(into, result);
        if (kind == "H") {
            decoder.header(tokens);
            result.kind = Parsed::header;
        } else if (kind == "K" || kind == "T" || kind == "E") {
            if (into.headers.empty())
                result.kind = Parsed::no_header;
            else
                result.kind = decoder.tick(kind.front(), tokens) ? Parsed::tick : Parsed::no_base;
        } else {
            result.why = "not a record";
        }
    } catch (const Failure& failure) {
        result.kind = Parsed::bad;
        result.why = failure.why;
        into.vms.resize(vms);
        into.vcpus.resize(vcpus);
        into.processes.resize(processes);
    }
    return result;
}
