// The rule set that bench_policy gives both to the program's matching and to USBGuard's rule engine:
// `count` rules naming a device by its product name and its serial number, exact in both. With
// `matching_last`, the last rule names the device that is looked up; otherwise no rule does.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

namespace peer {

// Numbers of a fixed width, so that every rule and both devices have texts of the same lengths:
// no rule is passed over for its length alone.
inline std::string number(size_t i, int width)
{
    std::string digits = std::to_string(i);
    return std::string(digits.size() < size_t(width) ? size_t(width) - digits.size() : 0, '0') + digits;
}
inline std::string rule_name(size_t i) { return "Flash Stick " + number(i, 6); }
inline std::string rule_serial(size_t i) { return "SN" + number(i, 10); }

// The device looked up: the last rule's name and serial when it is to match; otherwise texts of
// the same shape that no rule names (there are never a million rules here).
inline std::string device_name(size_t count, bool matching_last)
{
    return rule_name(matching_last ? count - 1 : 999999);
}
inline std::string device_serial(size_t count, bool matching_last)
{
    return rule_serial(matching_last ? count - 1 : 999999);
}

// The sizes both sides are measured at: 10, 1,000 and 100,000 rules, the device named by the last
// rule (match_last:1) or by none (match_last:0).
inline void sizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"rules", "match_last"});
    for (int64_t rules : {10, 1000, 100000})
        for (int64_t last : {1, 0}) b->Args({rules, last});
}

// The time per rule looked at (every rule is, either way), and the number of rules.
inline void count_rules(benchmark::State& state, size_t count)
{
    state.counters["rules"] = double(count);
    state.counters["ns_per_rule"] = benchmark::Counter(double(count) * double(state.iterations()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace peer
