#include "plug.h"

#include <cstdio>
#include <optional>

#include "device_document.h"
#include "driver_client.h"
#include "platform/model/engine.h"
#include "platform/native.h"
#include "text/text.h"
#include "waiting.h"

namespace usbsim {

namespace {

using devicedoc::Arrival;
using driver_client::DriverClient;
using driver_client::RaiseHeader;
using driver_client::Verdict;
using driver_client::WaitNarrator;
using platform::model::PortPath;

int usage()
{
    std::fprintf(stderr, "usage: usbsim plug <port path> [--wait-ms N]\n"
                         "       usbsim unplug <port path>\n"
                         "a port path is <controller index>-<port>[.<port>...], e.g. 0-3 or 0-1.2\n");
    return 1;
}

int failed(const std::string& what, uint32_t e)
{
    std::fprintf(stderr, "usbsim: %s (error %u)\n", what.c_str(), e);
    return 2;
}

class Plugger {
public:
    Plugger(DriverClient& driver, platform::model::Engine& machine, std::optional<uint32_t> wait_ms)
        : driver_(driver), machine_(machine), wait_ms_(wait_ms)
    {
    }

    // Raises the device at `path` (connected already) and keeps or disconnects it by its verdict;
    // then the devices behind an admitted hub. 0, or 2 when something failed on the way.
    int admit(const PortPath& path)
    {
        const std::string where = platform::model::port_path_text(path);
        Arrival arrival;
        std::u16string status_text;
        if (const uint32_t r = devicedoc::arrival_of(path, arrival, status_text))
            return refuse(path, failed("the device at " + where + " cannot be read: " + text::to_utf8(status_text), r));
        uint64_t id = 0;
        if (const platform::Error e = driver_.raise(RaiseHeader{arrival.hub, arrival.vid, arrival.pid, arrival.rev}, arrival.document, id))
            return refuse(path, failed("the driver did not take the device at " + where, e));
        std::printf("%s request %llu\n", where.c_str(), static_cast<unsigned long long>(id));
        std::fflush(stdout);
        uint32_t bound = 0;
        if (wait_ms_) {
            bound = *wait_ms_;
        } else if (const platform::Error e = driver_.verdict_bound(bound)) {
            return refuse(path, failed("the driver's state cannot be read", e));
        }
        uint32_t driver_bound = 0;
        driver_.verdict_bound(driver_bound);
        WaitNarrator narrator(id, driver_bound > 5000 ? driver_bound - 5000 : 0, driver_client::menu_is_asking,
                              driver_client::say_on_stderr);
        Verdict v;
        if (const platform::Error e = driver_.await_verdict(id, bound, v, std::ref(narrator)))
            return refuse(path, e == platform::err::timeout
                                    ? failed("no verdict for the device at " + where + " within " + std::to_string(bound) + " ms", e)
                                    : failed("the verdict for the device at " + where + " cannot be read", e));
        std::printf("%s verdict %s\n", where.c_str(), driver_client::verdict_text(v).c_str());
        if (!v.allowed) return refuse(path, 0);
        std::printf("%s connected\n", where.c_str());
        std::fflush(stdout);
        int result = 0;
        for (const PortPath& below : arrival.behind)
            if (const int r = admit(below)) result = r;
        return result;
    }

private:
    // Disconnects the device again; `result` unless that fails.
    int refuse(const PortPath& path, int result)
    {
        std::string message;
        if (const platform::Error e = machine_.set_connected(path, false, message))
            return failed("the device at " + platform::model::port_path_text(path) + " cannot be disconnected: " + message, e);
        std::printf("%s disconnected\n", platform::model::port_path_text(path).c_str());
        std::fflush(stdout);
        return result;
    }

    DriverClient& driver_;
    platform::model::Engine& machine_;
    std::optional<uint32_t> wait_ms_;
};

platform::model::Engine* machine_or_complain()
{
    platform::model::Engine* machine = platform::backend::native_machine();
    if (!machine) std::fprintf(stderr, "usbsim: this system's USB devices are real; there is no machine model to plug into\n");
    return machine;
}

} // namespace

int plug_command(const std::vector<std::string>& args)
{
    std::optional<PortPath> path;
    std::optional<uint32_t> wait_ms;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--wait-ms" && i + 1 < args.size()) {
            const std::string& n = args[++i];
            if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) return usage();
            wait_ms = uint32_t(std::stoul(n));
        } else if (!path) {
            if (!(path = platform::model::parse_port_path(args[i]))) return usage();
        } else {
            return usage();
        }
    }
    if (!path) return usage();
    platform::model::Engine* machine = machine_or_complain();
    if (!machine) return 2;

    // No driver, no plug: the machine is left as it was.
    DriverClient driver;
    if (const platform::Error e = driver.open()) return failed("the driver is not running (\\\\.\\ZelmUsb cannot be opened)", e);
    std::string message;
    if (const platform::Error e = machine->set_connected(*path, true, message)) return failed(message, e);
    return Plugger(driver, *machine, wait_ms).admit(*path);
}

int unplug_command(const std::vector<std::string>& args)
{
    if (args.size() != 2) return usage();
    const std::optional<PortPath> path = platform::model::parse_port_path(args[1]);
    if (!path) return usage();
    platform::model::Engine* machine = machine_or_complain();
    if (!machine) return 2;
    std::string message;
    if (const platform::Error e = machine->set_connected(*path, false, message)) return failed(message, e);
    std::printf("%s disconnected\n", platform::model::port_path_text(*path).c_str());
    return 0;
}

} // namespace usbsim
