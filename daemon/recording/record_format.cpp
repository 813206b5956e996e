#include "recording/record_format.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "recording/record_fields.h"

namespace {

// " NAME=" of a header's or a tick's field, its value to follow.
template <typename Field, size_t N>
void append_key(std::string& out, const std::array<FieldName<Field>, N>& table, Field field)
{
    out += ' ';
    out += name_of(table, field);
    out += '=';
}

// " N" of a VM's field, its value to follow.
void append_vm_field(std::string& out, VmField field)
{
    out += ' ';
    out += name_of(vm_fields, field);
}

void append_record_kind(std::string& out, RecordKind kind)
{
    out += name_of(record_kinds, kind);
    out += ' ';
}

template <typename Number>
void append_number(std::string& out, Number value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

bool needs_escape(unsigned char c) { return c <= ' ' || c >= 0x7f || c == '%' || c == ';' || c == ','; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_knob(std::string& out, const KnobRead& knob)
{
    if (!knob.read)
        return;
    if (knob.ok)
        append_number(out, knob.value);
    else
        out += '?';
}

// A counter: the difference from a base that holds one, else whole with "=".
void append_counter(std::string& out, uint64_t value, const uint64_t* base)
{
    if (base != nullptr && value >= *base) {
        append_number(out, value - *base);
        return;
    }
    out += '=';
    append_number(out, value);
}

void append_cpu(std::string& out, const TickRow& tick, const TickRow* base)
{
    if (!tick.cpu_read)
        return;
    const CpuTimes& now = tick.cpu;
    const bool relative = base != nullptr && base->cpu_read && base->cpu.valid && now.valid;
    const CpuTimes& then = relative ? base->cpu : now;
    // Counters that stepped back are written whole, like any without a base.
    const bool forward = now.user >= then.user && now.nice >= then.nice && now.sys >= then.sys &&
                         now.intr >= then.intr && now.idle >= then.idle;
    const bool delta = relative && forward;
    append_key(out, tick_fields, delta ? TickField::cpu_delta : TickField::cpu_whole);
    if (!now.valid) {
        out += '?';
        return;
    }
    const uint64_t values[] = {now.user, now.nice, now.sys, now.intr, now.idle};
    const uint64_t bases[] = {then.user, then.nice, then.sys, then.intr, then.idle};
    for (size_t i = 0; i < 5; ++i) {
        if (i > 0)
            out += ',';
        append_number(out, delta ? values[i] - bases[i] : values[i]);
    }
}

void append_processes(std::string& out, const Recording& from, const TickRow& tick)
{
    if (!tick.rebuilt)
        return;
    append_key(out, tick_fields, TickField::rebuild);
    bool first = true;
    for (const ProcessRow& process : from.processes_of(tick)) {
        if (!first)
            out += ';';
        first = false;
        append_number(out, process.group);
        out += ':';
        append_number(out, process.pid);
        out += ':';
        append_escaped(out, from.text(process.name));
    }
}

bool same_vcpus(std::span<const VcpuRow> a, std::span<const VcpuRow> b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].number != b[i].number)
            return false;
    return true;
}

void append_throttle(std::string& out, const VcpuRow& vcpu, const VcpuRow* base)
{
    if (vcpu.throttle == ThrottleRead::not_read)
        return;
    out += '/';
    if (vcpu.throttle == ThrottleRead::unknown) {
        out += '?';
        return;
    }
    const bool known_base = base != nullptr && base->throttle == ThrottleRead::known;
    append_counter(out, vcpu.throttle_us, known_base ? &base->throttle_us : nullptr);
}

void append_threads(std::string& out, const Recording& from, const VmRow& vm, const Recording* base_from,
                    const VmRow* base)
{
    if (!vm.threads_read)
        return;
    const std::span<const VcpuRow> vcpus = from.vcpus_of(vm);
    const bool relative = base != nullptr && base->threads_read && !vcpus.empty() &&
                          same_vcpus(vcpus, base_from->vcpus_of(*base));
    append_vm_field(out, relative ? VmField::vcpus_delta : VmField::vcpus_whole);
    for (size_t i = 0; i < vcpus.size(); ++i) {
        if (i > 0)
            out += ',';
        const VcpuRow* then = relative ? &base_from->vcpus_of(*base)[i] : nullptr;
        if (relative) {
            append_counter(out, vcpus[i].run_us, &then->run_us);
            append_throttle(out, vcpus[i], then);
            continue;
        }
        append_number(out, vcpus[i].number);
        out += ':';
        append_number(out, vcpus[i].run_us);
        if (vcpus[i].throttle == ThrottleRead::known) {
            out += '/';
            append_number(out, vcpus[i].throttle_us);
        } else if (vcpus[i].throttle == ThrottleRead::unknown) {
            out += "/?";
        }
    }
}

void append_vm(std::string& out, const Recording& from, const VmRow& vm, const Recording* base_from,
               const VmRow* base)
{
    out += ' ';
    append_number(out, vm.pid);
    if (base == nullptr || base->group != vm.group || base_from->text(base->name) != from.text(vm.name)) {
        out += ':';
        append_number(out, vm.group);
        out += ':';
        append_escaped(out, from.text(vm.name));
    }
    switch (vm.outcome) {
    case VmOutcome::gone: append_vm_field(out, VmField::gone); return;
    case VmOutcome::unopenable: append_vm_field(out, VmField::unopenable); return;
    case VmOutcome::opened: break;
    }
    append_vm_field(out, VmField::cls);
    append_number(out, vm.cls);
    if (vm.set_to != 0) {
        append_vm_field(out, VmField::set);
        append_number(out, vm.set_to);
        out += ':';
        append_number(out, vm.set_result);
    }
    append_threads(out, from, vm, base_from, base);
}

}  // namespace

void append_escaped(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (needs_escape(byte)) {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
}

bool unescape(std::string_view text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

void append_header(std::string& out, const HeaderRow& header)
{
    const auto number_field = [&out](HeaderField field, int64_t value) {
        append_key(out, header_fields, field);
        append_number(out, value);
    };
    append_record_kind(out, RecordKind::header);
    append_number(out, header.format);
    append_key(out, header_fields, HeaderField::version);
    append_escaped(out, header.version);
    append_key(out, header_fields, HeaderField::reason);
    out += name_of(header_reasons, header.reason);
    number_field(HeaderField::cpus, header.cpus);
    number_field(HeaderField::pid, header.pid);
    number_field(HeaderField::update_time, header.update_time);
    number_field(HeaderField::steady, header.steady_ns);
    number_field(HeaderField::wall, header.wall_ns);
    append_key(out, header_fields, HeaderField::settings);
    append_escaped(out, header.settings);
}

void append_tick(std::string& out, const Recording& from, const TickRow& tick, const Recording* base_from,
                 const TickRow* base)
{
    if (!tick.host_open) {
        append_record_kind(out, RecordKind::error);
        append_number(out, tick.seq);
        out += ' ';
        append_number(out, tick.clock_ns);
        append_key(out, tick_fields, TickField::error);
        append_escaped(out, from.text(tick.error));
        return;
    }
    append_record_kind(out, base ? RecordKind::delta : RecordKind::keyframe);
    append_number(out, tick.seq);
    out += ' ';
    append_number(out, base ? tick.clock_ns - base->clock_ns : tick.clock_ns);
    if (!base) {
        append_key(out, tick_fields, TickField::wall);
        append_number(out, tick.wall_ns);
    }
    append_cpu(out, tick, base);
    if (tick.class1.read || tick.class2.read || tick.burst.read) {
        append_key(out, tick_fields, TickField::knobs);
        append_knob(out, tick.class1);
        out += ',';
        append_knob(out, tick.class2);
        out += ',';
        append_knob(out, tick.burst);
    }
    if (tick.class1_written) {
        append_key(out, tick_fields, TickField::written);
        append_number(out, tick.class1_write);
    }
    if (tick.class2_written) {
        append_key(out, tick_fields, TickField::class2_written);
        append_number(out, tick.class2_write);
    }
    append_processes(out, from, tick);
    size_t hint = 0;
    for (const VmRow& vm : from.vms_of(tick)) {
        const std::optional<size_t> then = base ? base_from->find_vm(*base, vm.pid, hint) : std::nullopt;
        append_vm(out, from, vm, base_from, then ? &base_from->vms[*then] : nullptr);
    }
}
