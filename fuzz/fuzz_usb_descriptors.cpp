// Descriptor sets and hub replies from a device that may say anything: the configuration walk, the
// connection record, and the string and configuration requests of a hub whose replies are the
// input. Nothing may be read outside the bytes returned, nothing may hang, and what is read must
// turn into JSON.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "scripted_devices.h"
#include "usbinventory/dhmanager.h"

using namespace ZelmUsbVardoManager;

namespace {
// Every reply is the fuzz input after the first byte, copied into the caller's buffer as far as it
// fits; the number of bytes claimed returned comes from the first byte, so short, exact and
// overlong claims are all tried.
struct Replies {
    std::vector<uint8_t> bytes;
    uint8_t claim = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    Replies replies{std::vector<uint8_t>(data + 1, data + size), data[0]};

    // The configuration walk over the bytes as a set.
    UsbConfigurationDescriptor config;
    config.assign(replies.bytes);
    JsonHolder json;
    config.ToJsonHolder(json);
    if (config.Interfaces.size() > config.bNumInterfaces) std::abort();
    for (const auto& i : config.Interfaces)
        if (i.EndPoints.size() > i.bNumEndpoints) std::abort();

    // The bytes as a connection record.
    UsbNodeConnectionInformationEx record;
    record.assign(replies.bytes, nullptr);
    record.ToJsonHolder(json);

    // The bytes as the hub's reply to every request.
    inventory_test::ScriptedDevices devices([&](const inventory_test::Request& r, std::vector<uint8_t>& out,
                                                uint32_t& returned) -> platform::Error {
        const size_t n = std::min(out.size(), replies.bytes.size());
        std::memcpy(out.data(), replies.bytes.data(), n);
        switch (replies.claim % 4) {
        case 0: returned = uint32_t(n); break;
        case 1: returned = uint32_t(out.size()); break;
        case 2: returned = uint32_t(out.size()) + replies.claim; break; // more than the buffer
        default: returned = uint32_t(n / 2); break;
        }
        return (replies.claim & 0x80) && r.code == usb_ioctl::get_node_connection_information_ex ? 234 : 0;
    });
    platform::Override<platform::Devices> o(&platform::Platform::devices, devices);
    DHManager hub;
    std::u16string text, error;
    if (hub.Open(u"\\\\.\\HUB", error) != 0) std::abort();
    hub.GetConnectionStringDescriptor(1, 2, text, error);
    if (text.size() > 127) std::abort(); // a string descriptor holds at most 127 characters
    UsbConfigurationDescriptor fetched;
    hub.GetConnectionConfigDescriptor(1, 0, fetched, error);
    std::u16string name;
    hub.GetConnectionName(1, name, error);
    UsbNodeInformation info;
    hub.GetNodeInfoForHub(info, error);
    StorageDeviceNumber number;
    hub.GetStorageDeviceNumber(number, error);
    return 0;
}
