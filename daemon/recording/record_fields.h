#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "recording/recording.h"

// The record format's names, each spelled once: the writer looks a name up
// by its field, the reader a field by its name (see record_format.h for
// what each holds).

template <typename Field>
struct FieldName {
    Field field;
    std::string_view name;
};

// A table lists its fields in their enumeration's order, from 0 up.
template <typename Field, size_t N>
constexpr bool in_field_order(const std::array<FieldName<Field>, N>& table)
{
    for (size_t i = 0; i < N; ++i)
        if (static_cast<size_t>(table[i].field) != i)
            return false;
    return true;
}

template <typename Field, size_t N>
constexpr std::string_view name_of(const std::array<FieldName<Field>, N>& table, Field field)
{
    return table[static_cast<size_t>(field)].name;
}

template <typename Field, size_t N>
constexpr std::optional<Field> field_named(const std::array<FieldName<Field>, N>& table,
                                           std::string_view name)
{
    for (const FieldName<Field>& entry : table)
        if (entry.name == name)
            return entry.field;
    return std::nullopt;
}

// The first word of a record.
enum class RecordKind : uint8_t { header, keyframe, delta, error };
inline constexpr std::array<FieldName<RecordKind>, 4> record_kinds{{
    {RecordKind::header, "H"},
    {RecordKind::keyframe, "K"},
    {RecordKind::delta, "T"},
    {RecordKind::error, "E"},
}};

inline constexpr std::array<FieldName<HeaderReason>, 4> header_reasons{{
    {HeaderReason::start, "start"},
    {HeaderReason::reload, "reload"},
    {HeaderReason::reopen, "reopen"},
    {HeaderReason::resume, "resume"},
}};

// A header's fields, NAME=VALUE.
enum class HeaderField : uint8_t { version, reason, cpus, pid, update_time, steady, wall, settings };
inline constexpr std::array<FieldName<HeaderField>, 8> header_fields{{
    {HeaderField::version, "version"},
    {HeaderField::reason, "reason"},
    {HeaderField::cpus, "cpus"},
    {HeaderField::pid, "pid"},
    {HeaderField::update_time, "update_time"},
    {HeaderField::steady, "steady"},
    {HeaderField::wall, "wall"},
    {HeaderField::settings, "settings"},
}};

// A tick's own fields, NAME=VALUE, before its VMs.
enum class TickField : uint8_t { cpu_whole, cpu_delta, knobs, written, rebuild, wall, error, class2_written };
inline constexpr std::array<FieldName<TickField>, 8> tick_fields{{
    {TickField::cpu_whole, "C"},
    {TickField::cpu_delta, "c"},
    {TickField::knobs, "k"},
    {TickField::written, "w"},
    {TickField::rebuild, "r"},
    {TickField::wall, "wall"},
    {TickField::error, "error"},
    {TickField::class2_written, "w2"},
}};

// A VM's fields after its pid: one character, then the value.
enum class VmField : uint8_t { gone, unopenable, cls, set, vcpus_whole, vcpus_delta };
inline constexpr std::array<FieldName<VmField>, 6> vm_fields{{
    {VmField::gone, "!"},
    {VmField::unopenable, "x"},
    {VmField::cls, "c"},
    {VmField::set, "s"},
    {VmField::vcpus_whole, "T"},
    {VmField::vcpus_delta, "t"},
}};

static_assert(in_field_order(record_kinds) && record_kinds.size() == size_t(RecordKind::error) + 1);
static_assert(in_field_order(header_reasons) && header_reasons.size() == size_t(HeaderReason::resume) + 1);
static_assert(in_field_order(header_fields) && header_fields.size() == size_t(HeaderField::settings) + 1);
static_assert(in_field_order(tick_fields) && tick_fields.size() == size_t(TickField::class2_written) + 1);
static_assert(in_field_order(vm_fields) && vm_fields.size() == size_t(VmField::vcpus_delta) + 1);
