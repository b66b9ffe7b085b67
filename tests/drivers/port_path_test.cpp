// The port path of a sysfs USB device name, the controller being the rank of its bus.
#include <gtest/gtest.h>

#include "device_document.h"

namespace {

TEST(PortPathOfSysfsName, NamesAndBuses)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> buses;
        bool found;
        uint32_t controller;
        std::vector<uint32_t> ports;
    };
    const Case cases[] = {
        {"1-1.2", {1, 3}, true, 0, {1, 2}},
        {"3-4", {3, 1}, true, 1, {4}},          // buses in any order: the lowest is controller 0
        {"3-4.1.7", {3, 1, 3}, true, 1, {4, 1, 7}},
        {"usb1", {1}, false, 0, {}},            // a root hub has no port
        {"1-1:1.0", {1}, false, 0, {}},         // an interface
        {"2-1", {1, 3}, false, 0, {}},          // no such bus
        {"1-0", {1}, false, 0, {}},
        {"1-", {1}, false, 0, {}},
        {"1-1..2", {1}, false, 0, {}},
        {"x-1", {1}, false, 0, {}},
        {"1-99999999999", {1}, false, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = devicedoc::port_path_of(c.name, c.buses);
        ASSERT_EQ(path.has_value(), c.found);
        if (!path) continue;
        EXPECT_EQ(path->controller, c.controller);
        EXPECT_EQ(path->ports, c.ports);
    }
}

} // namespace
