#include "recording/record_parse.h"

#include <cstdint>
#include <optional>
#include <string>

#include "recording/record_fields.h"
#include "recording/record_format.h"
#include "recording/record_scan.h"

using namespace record_scan;

namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

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
            if (const std::optional<HeaderField> field = field_named(header_fields, key))
                header_field(header, *field, value);
            else
                result_.unknown.emplace_back(key);
        }
        into_.headers.push_back(std::move(header));
    }

    // False when a T record's base is not the last tick read.
    bool tick(RecordKind kind, Tokens& tokens)
    {
        TickRow tick;
        tick.header = static_cast<uint32_t>(into_.headers.size() - 1);
        tick.seq = need(number<uint64_t>(tokens.next().value_or("")), "sequence number");
        const std::string_view clock_text = tokens.next().value_or("");
        if (kind == RecordKind::delta) {
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
                throw RecordFailure("bad clock step");
            base_ = into_.ticks.size() - 1;
            tick.clock_ns = last.clock_ns + step;
            tick.wall_ns = clamped_sum(last.wall_ns, step);
        } else {
            tick.clock_ns = need(clock_value(clock_text), "clock");
            tick.wall_ns = anchored_wall(tick.clock_ns, tick.header);
        }
        tick.host_open = kind != RecordKind::error;
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
    static void header_field(HeaderRow& header, HeaderField field, std::string_view value)
    {
        switch (field) {
        case HeaderField::version: header.version = unescaped(value, "version"); break;
        case HeaderField::reason: header.reason = need(field_named(header_reasons, value), "reason"); break;
        case HeaderField::cpus: header.cpus = need(number<int32_t>(value), "cpus"); break;
        case HeaderField::pid: header.pid = need(number<int32_t>(value), "pid"); break;
        case HeaderField::update_time:
            header.update_time = need(number<int64_t>(value), "update_time");
            break;
        case HeaderField::steady: header.steady_ns = need(clock_value(value), "steady"); break;
        case HeaderField::wall: header.wall_ns = need(clock_value(value), "wall"); break;
        case HeaderField::settings: header.settings = unescaped(value, "settings"); break;
        }
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

    // A tick's own fields come first, its VMs after them: once a VM's pid
    // has come, every field belongs to a VM.
    void field(std::string_view token)
    {
        if (is_digit(token.front()))
            vm_identity(token);
        else if (into_.vms.size() > tick_->first_vm)
            vm_level(token);
        else
            tick_level(token);
    }

    void tick_level(std::string_view token)
    {
        std::string_view value = token;
        const std::string_view name = cut(value, '=');
        const bool has_value = name.size() < token.size();
        const std::optional<TickField> field = has_value ? field_named(tick_fields, name) : std::nullopt;
        if (!field)
            return unknown(token);
        switch (*field) {
        case TickField::cpu_whole: cpu(value, false); break;
        case TickField::cpu_delta: cpu(value, true); break;
        case TickField::knobs: knobs(value); break;
        case TickField::written:
            tick_->class1_written = true;
            tick_->class1_write = need(number<int32_t>(value), "written limit");
            break;
        case TickField::class2_written:
            tick_->class2_written = true;
            tick_->class2_write = need(number<int32_t>(value), "written class-2 limit");
            break;
        case TickField::rebuild: rebuild(value); break;
        case TickField::wall: tick_->wall_ns = need(clock_value(value), "wall clock"); break;
        case TickField::error: tick_->error = into_.intern(unescaped(value, "error")); break;
        }
    }

    // One character names a VM's field; a letter after it makes a longer
    // name, of a newer format.
    void vm_level(std::string_view token)
    {
        const bool longer = token.size() > 1 && is_letter(token[1]);
        const std::optional<VmField> field =
            longer ? std::nullopt : field_named(vm_fields, token.substr(0, 1));
        if (!field)
            return unknown(token);
        vm_field(*field, token.substr(1));
    }

    void unknown(std::string_view token)
    {
        const std::string_view name = token.substr(0, token.find_first_of(":=/,"));
        result_.unknown.emplace_back(name.empty() ? token : name);
    }

    void cpu(std::string_view value, bool relative)
    {
        tick_->cpu_read = true;
        if (value == "?")
            return;  // read, not valid
        const TickRow* then = base();
        if (relative && (then == nullptr || !then->cpu_read || !then->cpu.valid))
            throw RecordFailure("cp_time has no base");
        uint64_t* fields[] = {&tick_->cpu.user, &tick_->cpu.nice, &tick_->cpu.sys, &tick_->cpu.intr,
                              &tick_->cpu.idle};
        const CpuTimes none;
        const CpuTimes& from = relative ? then->cpu : none;
        const uint64_t bases[] = {from.user, from.nice, from.sys, from.intr, from.idle};
        for (size_t i = 0; i < 5; ++i)
            *fields[i] = bases[i] + need(number<uint64_t>(cut(value, ',')), "cp_time");
        if (!value.empty())
            throw RecordFailure("bad cp_time");
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

    // The VM whose fields are being read: VM fields come after its pid.
    VmRow& vm() { return into_.vms.back(); }

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
            throw RecordFailure("VM " + std::to_string(row.pid) + " has no name");
        }
        into_.vms.push_back(row);
    }

    void vm_field(VmField field, std::string_view value)
    {
        VmRow& row = vm();
        switch (field) {
        case VmField::gone:
        case VmField::unopenable:
            if (!value.empty())
                throw RecordFailure("bad field " + std::string(name_of(vm_fields, field)));
            row.outcome = field == VmField::gone ? VmOutcome::gone : VmOutcome::unopenable;
            break;
        case VmField::cls:
            row.outcome = VmOutcome::opened;
            row.cls = need(number<int32_t>(value), "class");
            break;
        case VmField::set:
            row.set_to = need(number<int32_t>(cut(value, ':')), "class asked for");
            row.set_result = need(number<int32_t>(value), "set result");
            break;
        case VmField::vcpus_whole: explicit_threads(value); break;
        case VmField::vcpus_delta: relative_threads(value); break;
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
            throw RecordFailure("vCPUs given twice");
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
            throw RecordFailure("vCPUs have no base");
        begin_threads();
        const VmRow then = into_.vms[*vm_base_];
        for (uint32_t i = 0; i < then.vcpu_count; ++i) {
            if (list.empty())
                throw RecordFailure("fewer vCPUs than the base");
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
            throw RecordFailure("more vCPUs than the base");
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
    const std::optional<RecordKind> kind = field_named(record_kinds, tokens.next().value_or(""));
    const size_t vms = into.vms.size();
    const size_t vcpus = into.vcpus.size();
    const size_t processes = into.processes.size();
    try {
        RecordDecoder decoder(into, result);
        if (!kind) {
            result.why = "not a record";
        } else if (*kind == RecordKind::header) {
            decoder.header(tokens);
            result.kind = Parsed::header;
        } else if (into.headers.empty()) {
            result.kind = Parsed::no_header;
        } else {
            result.kind = decoder.tick(*kind, tokens) ? Parsed::tick : Parsed::no_base;
        }
    } catch (const RecordFailure& failure) {
        result.kind = Parsed::bad;
        result.why = failure.why;
        into.vms.resize(vms);
        into.vcpus.resize(vcpus);
        into.processes.resize(processes);
    }
    return result;
}
