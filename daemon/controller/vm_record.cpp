#include "controller/vm_record.h"

#include <array>

std::string_view kind_name(int kind)
{
    static constexpr std::array<std::string_view, 3> names{"unjudged", "NORMAL", "MINER"};
    static_assert(names.size() == kind_miner + 1, "a name for every VmKind");
    if (kind < 0 || kind > kind_miner)
        return {};
    return names[static_cast<size_t>(kind)];
}
