// How many device entries a device-list text holds (each entry has one "PortNumberOfBus"): the
// inventory benchmarks' check that a list is whole.
#pragma once

#include <string>

namespace bench_inventory {

inline int listed(const std::u16string& text)
{
    int n = 0;
    for (size_t at = text.find(u"\"PortNumberOfBus\""); at != std::u16string::npos;
         at = text.find(u"\"PortNumberOfBus\"", at + 1))
        ++n;
    return n;
}

} // namespace bench_inventory
