// The filter driver loaded on this machine for the length of a test: on Linux the daemon
// zelmusb.sys through the emulated service manager (in a fresh platform root), on Windows the
// kernel driver zelmusb.sys through the real service manager (Wine's in the tests).
//
// Cleanup is certain: the destructor stops the service, deletes it and waits (bounded) until the
// control device is gone, and the constructor first removes a ZelmUsb service that a failed run
// left behind, so no driver stays loaded and the next test can load it again.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/errors.h"

namespace driver_test {

class LoadedDriver {
public:
    // `config_json`: when not empty, written as UTF-16LE to a file that the service key's
    // "ConfigFilePath" names, before the driver starts. `before_start`, when given, runs on the
    // fresh machine just before the service starts (to lay out what the driver will meet).
    explicit LoadedDriver(const std::string& config_json = "", const std::function<void()>& before_start = {});
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // 0 when the driver runs and serves \\.\ZelmUsb; else the first failing step's error.
    platform::Error error() const { return error_; }
    const std::string& failed_step() const { return step_; }

    // Stops and deletes the service; 0 when the control device is gone afterwards.
    platform::Error unload();

private:
    struct Leg;
    std::unique_ptr<Leg> leg_;
    platform::Error error_ = 0;
    std::string step_;
};

// The image built beside the tests.
std::u16string driver_image();
// Bounded: polls until \\.\ZelmUsb opens (true) or gives 2 (`gone`), for at most `ms`.
bool wait_device(bool gone, unsigned ms);

} // namespace driver_test
