// The fixture of the tests of zelmusb.sys on a running machine (a umockdev testbed): the driver
// started as a process of its own inside the testbed (the fixture checks that /sys is the testbed
// before anything starts), devices plugged as the kernel announces them, the user test registered
// as the program registers it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../sysfs/testbed.h"
#include "driver_client.h"
#include "drivercontrol/device_tester.h"

namespace enforce_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using ZelmUsbVardoManager::DeviceTester;

// A full-speed device with one HID interface; its product string is its name in the tests.
constexpr const char* device_descriptors =
    "12 01 10 01 00 00 00 08 33 33 44 44 00 01 01 02 00 01 09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 "
    "21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a";
constexpr const char* hub_descriptors =
    "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01 09 02 19 00 01 01 00 e0 00 09 04 00 00 01 09 00 00 00 07 "
    "05 81 03 01 00 0c";

// The user test of the tests: a product naming "Allowed" is admitted, "Blocked" refused, "Silent"
// not answered within the driver's wait.
inline uint8_t decide(const char16_t* json, void* context)
{
    auto* asked = static_cast<std::atomic<int>*>(context);
    ++*asked;
    std::u16string text(json);
    if (text.find(u"Silent") != std::u16string::npos) {
        std::this_thread::sleep_for(600ms);
        return 0;
    }
    return text.find(u"Allowed") != std::u16string::npos ? 1 : 0;
}

class Holder : public sysfs_test::Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        if (HasFatalFailure()) return;
        root_ = fs::path(testbed_dir_).parent_path() / ("zelmusb-root-" + std::to_string(::getpid()));
        fs::create_directories(root_);
        ::setenv("ZELMUSB_PLATFORM_ROOT", root_.c_str(), 1);
        controller();
        usb({"usb1", sysfs_test::example_devices()[0].descriptors, {{"maxchild", "127"}, {"speed", "480"},
             {"authorized_default", "1"}}, {}}, 1);
        add("P: " + std::string(sysfs_test::pci) + "/usb2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=2\n"
            "A: devnum=1\nA: speed=480\nA: maxchild=4\nA: authorized=1\nA: authorized_default=2\nH: descriptors=" +
            hex(sysfs_test::example_devices()[0].descriptors) + "\n");
        // Present before the driver starts: it keeps its state.
        plug("1-2", "Blocked present", device_descriptors, "1");
    }

    void TearDown() override
    {
        tester_.reset();
        if (driver_ > 0) {
            ::kill(driver_, SIGKILL);
            ::waitpid(driver_, nullptr, 0);
        }
        ::unsetenv("ZELMUSB_PLATFORM_ROOT");
        std::error_code ec;
        fs::remove_all(root_, ec);
        Testbed::TearDown();
    }

    // A device added to the testbed with `authorized` as given; the testbed announces it with an
    // "add" event as the kernel does.
    void plug(const std::string& name, const std::string& product, const char* descriptors = device_descriptors,
              const char* authorized = "0")
    {
        const std::string h = hex(descriptors);
        add("P: " + path_of(name) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=" +
            name.substr(0, name.find('-')) + "\nA: devnum=" + std::to_string(next_devnum_++) + "\nH: descriptors=" + h +
            "\nA: authorized=" + authorized + "\nA: speed=12\nA: bConfigurationValue=1\nA: product=" + product +
            "\nA: idVendor=" + h.substr(18, 2) + h.substr(16, 2) + "\nA: idProduct=" + h.substr(22, 2) + h.substr(20, 2) +
            "\nA: bDeviceClass=" + h.substr(8, 2) + "\n");
    }

    static std::string hub_default(const std::string& hub) { return read(sys(hub) + "/authorized_default"); }

    // Starts zelmusb.sys and waits for its ready byte.
    void start_driver()
    {
        ASSERT_TRUE(in_testbed_);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        driver_ = ::fork();
        ASSERT_GE(driver_, 0);
        if (driver_ == 0) {
            ::close(ready[0]);
            ::setenv("ZELMUSB_READY_FD", std::to_string(ready[1]).c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            if (!std::getenv("ZELMUSB_TEST_DRIVER_TRACE")) ::dup2(null, 2);
            ::execl(ZELMUSB_LINUX_DRIVER, ZELMUSB_LINUX_DRIVER, nullptr);
            ::_exit(127);
        }
        ::close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char b = 0;
        const bool up = ::poll(&p, 1, 20000) == 1 && ::read(ready[0], &b, 1) == 1;
        ::close(ready[0]);
        ASSERT_TRUE(up) << "zelmusb.sys did not become ready";
    }

    int stop_driver(int signal)
    {
        int status = 0;
        ::kill(driver_, signal);
        ::waitpid(driver_, &status, 0);
        driver_ = -1;
        return status;
    }

    // The user test, registered as the program registers it.
    void register_user_test(uint64_t wait_100ns, bool default_accept)
    {
        tester_ = std::make_unique<DeviceTester>(u"\\\\.\\ZelmUsb", decide, wait_100ns, default_accept, &asked_);
        ASSERT_EQ(tester_->Start(), 0u);
    }

    static bool registered_within(std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        do {
            driver_client::DriverClient client;
            driver_client::DriverState state;
            if (client.open() == 0 && client.state(state) == 0 && state.registered) return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    static bool hubs_accept(bool on)
    {
        driver_client::DriverClient client;
        std::vector<uint8_t> none;
        return client.open() == 0 &&
               client.control(on ? ZD_IOCTL_HUBS_ACCEPT_ON : ZD_IOCTL_HUBS_ACCEPT_OFF, {}, none) == 0;
    }

    fs::path root_;
    pid_t driver_ = -1;
    uint32_t next_devnum_ = 2;
    std::atomic<int> asked_{0};
    std::unique_ptr<DeviceTester> tester_;
};

} // namespace enforce_test
