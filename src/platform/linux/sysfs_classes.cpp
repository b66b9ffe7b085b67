// The Windows setup class of a USB device or interface, by the USB class codes: the class Windows'
// in-box drivers put such a function in. One table; a class not in it is "USB" (a vendor-specific
// device stays below the USB bus driver's class until its own driver is installed).
#include <cstddef>

#include "platform/linux/sysfs_machine.h"

namespace platform::posix::sysfs {

namespace {

constexpr int any = -1;

struct Row {
    int cls, subclass, protocol;
    SetupClass setup;
};

constexpr SetupClass usb{"USB", "{36fc9e60-c465-11cf-8056-444553540000}"};
constexpr SetupClass net{"Net", "{4d36e972-e325-11ce-bfc1-08002be10318}"};
constexpr SetupClass media{"MEDIA", "{4d36e96c-e325-11ce-bfc1-08002be10318}"};

// First match wins: the narrower rows of a class come before its catch-all.
constexpr Row table[] = {
    {0x01, any, any, media},                                                          // audio
    {0x02, 0x06, any, net},                                                           // CDC Ethernet (ECM)
    {0x02, 0x0c, any, net},                                                           // CDC EEM
    {0x02, 0x0d, any, net},                                                           // CDC NCM
    {0x02, 0x02, 0xff, net},                                                          // RNDIS
    {0x02, any, any, {"Ports", "{4d36e978-e325-11ce-bfc1-08002be10318}"}},            // CDC ACM, serial
    {0x03, any, any, {"HIDClass", "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"}},         // keyboards, mice
    {0x06, any, any, {"Image", "{6bdd1fc6-810f-11d0-bec7-08002be2092f}"}},            // still image (PTP)
    {0x07, any, any, {"Printer", "{4d36e979-e325-11ce-bfc1-08002be10318}"}},          // printers
    {0x08, any, any, usb},                                                            // mass storage (its disks: DiskDrive)
    {0x09, any, any, usb},                                                            // hubs
    {0x0b, any, any, {"SmartCardReader", "{50dd5230-ba8a-11d1-bf5d-0000f805f530}"}},  // smart card readers
    {0x0e, any, any, {"Camera", "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}"}},           // video
    {0x10, any, any, media},                                                          // audio/video
    {0xe0, 0x01, 0x01, {"Bluetooth", "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}"}},      // Bluetooth radio
    {0xe0, 0x01, 0x03, net},                                                          // RNDIS
    {0xef, 0x04, 0x01, net},                                                          // RNDIS
};

bool is_composite_triple(uint8_t c, uint8_t s, uint8_t p) { return c == 0xef && s == 0x02 && p == 0x01; }

} // namespace

SetupClass interface_class(uint8_t cls, uint8_t subclass, uint8_t protocol)
{
    for (const Row& r : table)
        if (r.cls == cls && (r.subclass == any || r.subclass == subclass) && (r.protocol == any || r.protocol == protocol))
            return r.setup;
    return usb;
}

SetupClass disk_class(bool cdrom)
{
    return cdrom ? SetupClass{"CDROM", "{4d36e965-e325-11ce-bfc1-08002be10318}"}
                 : SetupClass{"DiskDrive", "{4d36e967-e325-11ce-bfc1-08002be10318}"};
}

SetupClass device_class(const std::string& device, const std::string& configuration, bool& composite)
{
    composite = false;
    if (device.size() < 18) return usb;
    const auto c = uint8_t(device[4]), s = uint8_t(device[5]), p = uint8_t(device[6]);
    const bool from_interfaces = c == 0 || is_composite_triple(c, s, p);
    if (!from_interfaces) return interface_class(c, s, p);
    // The interfaces (alternate setting 0) of the configuration, walked by each descriptor's
    // length and never past the set's bytes.
    int interfaces = 0;
    SetupClass first = usb;
    for (size_t at = 0; at + 2 <= configuration.size();) {
        const size_t length = uint8_t(configuration[at]);
        if (length < 2 || at + length > configuration.size()) break;
        if (uint8_t(configuration[at + 1]) == 4 && length >= 9 && configuration[at + 3] == 0) {
            if (interfaces++ == 0)
                first = interface_class(uint8_t(configuration[at + 5]), uint8_t(configuration[at + 6]),
                                        uint8_t(configuration[at + 7]));
        }
        at += length;
    }
    if (interfaces > 1) {
        composite = true;
        return usb;
    }
    return first;
}

} // namespace platform::posix::sysfs
