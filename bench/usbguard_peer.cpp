// USBGuard's rule engine on the rule sets of peer_rules.h: `allow name "..." serial "..."` rules
// in a MemoryRuleSet, and the first one that applies to a device rule with the device's name and
// serial, as the daemon looks up a device that arrives. Built only when libusbguard is found.
#include <benchmark/benchmark.h>

#include <memory>

#include <usbguard/MemoryRuleSet.hpp>
#include <usbguard/Rule.hpp>

#include "peer_rules.h"

namespace {

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// The first argument is the number of rules, the second 1 when the last rule names the device.
void usbguard_first_match(benchmark::State& state)
{
    const size_t count = size_t(state.range(0));
    const bool matching_last = state.range(1) != 0;
    usbguard::MemoryRuleSet rules(nullptr);
    rules.setDefaultTarget(usbguard::Rule::Target::Block);
    for (size_t i = 0; i < count; ++i)
        rules.appendRule(usbguard::Rule::fromString("allow name " + quoted(peer::rule_name(i)) + " serial " +
                                                    quoted(peer::rule_serial(i))));
    const auto device = std::make_shared<const usbguard::Rule>(
        usbguard::Rule::fromString("allow name " + quoted(peer::device_name(count, matching_last)) + " serial " +
                                   quoted(peer::device_serial(count, matching_last))));
    for (auto _ : state) {
        std::shared_ptr<usbguard::Rule> first = rules.getFirstMatchingRule(device);
        // A set with no applying rule answers with an implicit rule of the default target.
        const bool found = first->getTarget() == usbguard::Rule::Target::Allow;
        if (found != matching_last) state.SkipWithError("unexpected rule");
        benchmark::DoNotOptimize(first);
    }
    peer::count_rules(state, count);
}
BENCHMARK(usbguard_first_match)->Apply(peer::sizes);

} // namespace
