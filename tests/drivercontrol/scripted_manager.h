// The fixture of the Manager tests: a Manager of a service name no other test uses, on a fresh
// machine, against the scripted service manager and driver, every sleep in virtual time.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "drivercontrol/manager.h"
#include "platform/platform.h"
#include "text/text.h"
#include "../support/fresh_machine.h"
#include "../support/scripted_driver.h"
#include "../support/virtual_clock.h"

namespace dc_test {

class ScriptedManagerTest : public ::testing::Test {
protected:
    // Install reaches the registry: a machine of its own.
    platform_test::FreshMachine machine;
    const std::u16string name = text::u16(platform_test::unique_name("ZelmUsbTest"));
    platform_test::ScriptedServices services;
    platform_test::ScriptedDriver driver;
    platform_test::VirtualClock clock;
    platform::Override<platform::Services> use_services{&platform::Platform::services, services};
    platform::Override<platform::Devices> use_devices{&platform::Platform::devices, driver};
    platform::Override<platform::Sync> use_clock{&platform::Platform::sync, clock};
    ZelmUsbVardoManager::Manager manager{name, name, u"\\\\.\\ZelmUsb"};
    std::u16string status;

    void SetUp() override { services.service = name; }
};

} // namespace dc_test
