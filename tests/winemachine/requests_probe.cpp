// Sends a fixed table of device requests through the platform's devices family and prints each
// outcome (error code, bytes returned, the bytes), so that the Linux build (answered by the machine
// model directly) and the Windows build under Wine (CreateFileW and DeviceIoControl through Wine's
// I/O manager, the relay driver and the same model) can be compared line for line: the buffer
// sizes and "too small" probes, the error codes as Wine turns them back from the driver's status,
// and a device that leaves the machine while a handle to it is open.
//
//   requests_probe <machine.json>
//
// Made for the example machine of the model's documentation; it rewrites the file (the external
// hub unplugged) half way.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/platform.h"
#include "text/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

namespace usb = platform::usb_ioctl;

const std::u16string root_hub = u"\\\\.\\USB#ROOT_HUB30#4&1b8d6c0&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::u16string external_hub = u"\\\\.\\USB#VID_1111&PID_2222#5&2f2e1c3b&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::u16string stick_disk =
    u"\\\\?\\usbstor#disk&ven_globex&prod_stick&rev_1.00#4c530001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

void sleep_ms(unsigned ms)
{
#ifdef _WIN32
    ::Sleep(ms);
#else
    ::usleep(ms * 1000);
#endif
}

platform::Handle open(const char* label, const std::u16string& path)
{
    platform::Handle h = 0;
    const platform::Error e = platform::devices().open(path, 0xC0000000u, 3, 0, h);
    std::printf("open %s: error %u\n", label, e);
    return e ? 0 : h;
}

// One request: its input is a buffer of `size` bytes beginning with `head` (a port number, a setup
// packet), used as input and output as the inventory does.
void request(const char* label, platform::Handle h, uint32_t code, uint32_t size, std::vector<uint8_t> head = {},
             uint32_t input_size = ~0u)
{
    std::vector<uint8_t> buffer(size + 1, 0xEE);
    for (size_t i = 0; i < head.size() && i < size; ++i) buffer[i] = head[i];
    uint32_t returned = 0xDEAD;
    const uint32_t in = input_size == ~0u ? uint32_t(head.empty() ? 0 : size) : input_size;
    const platform::Error e = platform::devices().control(h, code, buffer.data(), in, buffer.data(), size, returned);
    std::printf("%s: error %u returned %u bytes", label, e, e ? 0 : returned);
    if (!e)
        for (uint32_t i = 0; i < returned && i < size; ++i) std::printf(" %02x", buffer[i]);
    // The byte past the buffer is never written.
    if (buffer[size] != 0xEE) std::printf(" OVERRUN");
    std::printf("\n");
}

std::vector<uint8_t> port(uint32_t n)
{
    return {uint8_t(n), uint8_t(n >> 8), 0, 0};
}

// USB_DESCRIPTOR_REQUEST for a descriptor of `type`/`index` in `language`, `length` bytes.
std::vector<uint8_t> descriptor(uint32_t n, uint8_t type, uint8_t index, uint16_t language, uint16_t length)
{
    return {uint8_t(n), 0, 0, 0, 0x80, 6, index, type, uint8_t(language), uint8_t(language >> 8), uint8_t(length),
            uint8_t(length >> 8)};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: requests_probe <machine.json>\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const platform::Handle hcd = open("HCD0", u"\\\\.\\HCD0");
    request("driver key, no room", hcd, usb::get_hcd_driverkey_name, 4);
    request("driver key, probe", hcd, usb::get_hcd_driverkey_name, 6);
    request("driver key, short", hcd, usb::get_hcd_driverkey_name, 40);
    request("driver key", hcd, usb::get_hcd_driverkey_name, 200);
    request("root hub name", hcd, usb::get_root_hub_name, 300);
    request("unknown code", hcd, 0x220000, 16);
    platform::devices().close(hcd);
    open("HCD7", u"\\\\.\\HCD7");
    open("Q:", u"\\\\.\\Q:");

    const platform::Handle hub = open("root hub", root_hub);
    request("node information, short", hub, usb::get_node_information, 10, {0});
    request("node information", hub, usb::get_node_information, 76, {0});
    request("connection, port 0", hub, usb::get_node_connection_information_ex, 68, port(0));
    request("connection, port 9", hub, usb::get_node_connection_information_ex, 68, port(9));
    request("connection, no input", hub, usb::get_node_connection_information_ex, 68, port(1), 0);
    request("connection, port 2 (empty)", hub, usb::get_node_connection_information_ex, 68, port(2));
    request("connection, port 3, no pipe room", hub, usb::get_node_connection_information_ex, 35, port(3));
    request("connection, port 3, one pipe", hub, usb::get_node_connection_information_ex, 46, port(3));
    request("connection, port 3", hub, usb::get_node_connection_information_ex, 68, port(3));
    request("connection, port 3, too small", hub, usb::get_node_connection_information_ex, 20, port(3));
    request("driver key, port 3, probe", hub, usb::get_node_connection_driverkey_name, 10, port(3));
    request("driver key, port 3", hub, usb::get_node_connection_driverkey_name, 200, port(3));
    request("driver key, port 2 (empty)", hub, usb::get_node_connection_driverkey_name, 200, port(2));
    request("connection name, port 1", hub, usb::get_node_connection_name, 200, port(1));
    request("device descriptor, port 3", hub, usb::get_descriptor_from_node_connection, 30, descriptor(3, 1, 0, 0, 18));
    request("configuration, port 3, cut", hub, usb::get_descriptor_from_node_connection, 21, descriptor(3, 2, 0, 0, 9));
    request("configuration 1, port 3 (none)", hub, usb::get_descriptor_from_node_connection, 60, descriptor(3, 2, 1, 0, 40));
    request("string 2, port 3", hub, usb::get_descriptor_from_node_connection, 269, descriptor(3, 3, 2, 0x409, 255));
    request("string 3, port 3 (fails)", hub, usb::get_descriptor_from_node_connection, 269, descriptor(3, 3, 3, 0x409, 255));
    request("string 0, port 3", hub, usb::get_descriptor_from_node_connection, 269, descriptor(3, 3, 0, 0, 255));
    request("descriptor, short input", hub, usb::get_descriptor_from_node_connection, 40, descriptor(3, 1, 0, 0, 18), 8);
    request("descriptor, output below the header", hub, usb::get_descriptor_from_node_connection, 11,
            descriptor(3, 1, 0, 0, 18));

    const platform::Handle disk = open("stick's disk", stick_disk);
    request("disk number", disk, usb::storage_get_device_number, 12);
    request("disk number, short", disk, usb::storage_get_device_number, 8);
    const platform::Handle e = open("E:", u"\\\\.\\E:");
    request("volume number", e, usb::storage_get_device_number, 12);
    request("media removal, no input", e, platform::ioctl::storage_media_removal, 0);
    request("media removal", e, platform::ioctl::storage_media_removal, 1, {0});

    // The external hub leaves the machine while a handle to it is open.
    const platform::Handle external = open("external hub", external_hub);
    request("external hub, node information", external, usb::get_node_information, 76, {0});
    std::string text;
    {
        std::ifstream in(argv[1], std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    const std::string plugged = "{\"port\": 1, \"device\": \"12 01 00 02 09";
    const size_t at = text.find(plugged);
    if (at == std::string::npos) {
        std::printf("not the example machine\n");
        return 1;
    }
    text.insert(at + 1, "\"status\": 0, ");
    {
        const std::string temporary = std::string(argv[1]) + ".new";
        std::ofstream(temporary, std::ios::binary) << text;
#ifdef _WIN32
        ::MoveFileExA(temporary.c_str(), argv[1], MOVEFILE_REPLACE_EXISTING);
#else
        std::rename(temporary.c_str(), argv[1]);
#endif
    }
    // (The Wine machine follows a change it did not make within a tenth of a second.)
    sleep_ms(500);
    request("external hub gone, node information", external, usb::get_node_information, 76, {0});
    request("root hub, port 1 now empty", hub, usb::get_node_connection_information_ex, 68, port(1));
    open("external hub again", external_hub);
    platform::devices().close(external);
    platform::devices().close(e);
    platform::devices().close(disk);
    platform::devices().close(hub);
    return 0;
}
