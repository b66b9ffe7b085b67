// A client of the filter driver's control device, through platform::devices(): the codes of
// driver/core/driver_interface.h beyond the program's own (raise a device, read a verdict, read
// the state and journal, cap the wait) and plain requests. Used by zelmusbctl, usbsim, the tests
// and the benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver_interface.h"
#include "platform/errors.h"

namespace driver_client {

struct Verdict {
    uint8_t state = 0; // ZD_VERDICT_*
    bool allowed = false;
    bool fetched = false;
};

struct JournalEntry {
    uint32_t sequence = 0, code = 0, result = 0;
    uint8_t verdict = 0;
    bool allowed = false;
    uint64_t request_id = 0;
};

struct DriverState {
    bool registered = false, zero_wait = false, default_accept = false, hubs_accepted = false;
    uint64_t wait_time = 0;
    uint32_t wait_cap_ms = 0, files_cache_mode = 0;
    bool capture = false, filter = false, notify_handle = false, config_read = false;
    uint32_t pending = 0, journal_total = 0;
    uint64_t next_request_id = 0;
    std::vector<JournalEntry> journal; // oldest first
};

// One USB device of a running machine as the driver sees it (ZD_IOCTL_DEVICES).
struct SeenDevice {
    std::string name;   // sysfs name
    int authorized = -1; // -1: unreadable
    uint8_t held = 0;    // ZD_HELD_*
    uint8_t decided = 0; // ZD_DECIDED_*
    uint64_t request_id = 0;
};
struct SeenDevices {
    bool holding = false;
    uint32_t hubs_held = 0;
    std::vector<SeenDevice> devices;
};

struct RaiseHeader {
    bool hub = false;
    uint16_t vid = 0, pid = 0, rev = 0;
};

class DriverClient {
public:
    DriverClient() = default;
    ~DriverClient();
    DriverClient(const DriverClient&) = delete;
    DriverClient& operator=(const DriverClient&) = delete;

    // CreateFileW(path, 0x1F01FF, no sharing, OPEN_EXISTING), as the program opens the device.
    platform::Error open(const std::u16string& path = u"\\\\.\\ZelmUsb");
    platform::Error close();
    bool is_open() const { return device_ != platform::null_handle; }

    // DeviceIoControl with `output` sized beforehand; it is cut to the bytes returned.
    platform::Error control(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output);

    platform::Error raise(const RaiseHeader& header, const std::u16string& document, uint64_t& id);
    platform::Error verdict(uint64_t id, Verdict& out);
    platform::Error state(DriverState& out);
    platform::Error cap_wait(uint32_t ms);
    // The administrator's questions: the machine's devices, and a verdict on one of them now.
    platform::Error devices(SeenDevices& out);
    platform::Error admit(const std::string& name, bool allowed);

    // How long a verdict may take: the driver's own wait for an answer (its cap included; ten
    // minutes when it waits without limit) and five seconds more.
    platform::Error verdict_bound(uint32_t& ms);
    // Polls the verdict of `id` every 50 ms (through the platform's sleep) until it is no longer
    // pending or `bound_ms` have passed; 1460 (ERROR_TIMEOUT) with `out` still pending then.
    // `progress` sees every poll and the time waited so far.
    platform::Error await_verdict(uint64_t id, uint32_t bound_ms, Verdict& out,
                                  const std::function<void(const Verdict&, uint32_t)>& progress = {});

private:
    platform::Handle device_ = platform::null_handle;
};

// "pending", "allowed (answered)", "blocked (time-out default)", ...
std::string verdict_text(const Verdict& v);
// The name of a control code ("USER_TEST_ON") or its hexadecimal value.
std::string code_name(uint32_t code);
// The journal and the state as lines of text.
std::vector<std::string> state_lines(const DriverState& s);

} // namespace driver_client
