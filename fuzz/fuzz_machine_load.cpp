// Machine files of any content: loading never crashes or hangs, and a machine that loads answers
// every request of the inventory (names, node and connection information, descriptors, strings,
// the tree walk, properties, disk interfaces, ejection) inside the caller's buffers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/model/families.h"

using namespace platform;

namespace {

class MemoryStore final : public model::Store {
public:
    explicit MemoryStore(std::string text) : text_(std::move(text)) {}
    Error stamp(model::Stamp& s, bool& settled) override
    {
        s.size = text_.size();
        s.modified_ns = version_;
        settled = true;
        return 0;
    }
    Error read(std::string& bytes, size_t limit) override
    {
        if (text_.size() > limit) return err::not_enough_memory;
        bytes = text_;
        return 0;
    }
    Error replace(std::string_view bytes) override
    {
        text_ = bytes;
        ++version_;
        return 0;
    }

private:
    std::string text_;
    int64_t version_ = 1;
};

// One request with a buffer of `size` bytes; the reply must fit it.
void ask(Devices& d, Handle h, uint32_t code, std::vector<uint8_t> in, uint32_t size)
{
    std::vector<uint8_t> out(size, 0);
    in.resize(std::max<size_t>(in.size(), 12), 0);
    uint32_t returned = 0;
    d.control(h, code, in.data(), uint32_t(in.size()), out.data(), size, returned);
    if (returned > size) std::abort();
}

std::vector<uint8_t> request(uint32_t port, uint32_t type, uint32_t index, uint32_t language, uint32_t length)
{
    std::vector<uint8_t> in(12 + length, 0);
    in[0] = uint8_t(port);
    in[4] = 0x80;
    in[5] = 6;
    in[6] = uint8_t(index);
    in[7] = uint8_t(type);
    in[8] = uint8_t(language);
    in[9] = uint8_t(language >> 8);
    in[10] = uint8_t(length);
    in[11] = uint8_t(length >> 8);
    return in;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    model::Engine engine(std::make_unique<MemoryStore>(std::string(reinterpret_cast<const char*>(data), size)));
    const model::View view = engine.view();
    if (view.error) {
        if (view.message.empty()) std::abort(); // a refusal always says why
        return 0;
    }
    const model::Machine& m = *view.machine;
    model::ModelDevices devices(engine);
    model::ModelDeviceTree tree(engine);

    for (const auto& [index, controller] : m.controllers) {
        Handle h = 0;
        if (devices.open(u"\\\\.\\HCD" + text::format(u"%u", index), 0, 7, 0, h)) std::abort();
        for (uint32_t code : {model::usb_ioctl::get_hcd_driverkey_name, model::usb_ioctl::get_root_hub_name})
            for (uint32_t room : {0u, 6u, 600u}) ask(devices, h, code, {}, room);
        devices.close(h);
    }
    for (const model::Hub& hub : m.hubs) {
        Handle h = 0;
        if (devices.open(u"\\\\.\\" + hub.name, 0, 7, 0, h)) std::abort();
        ask(devices, h, model::usb_ioctl::get_node_information, {}, 76);
        for (uint32_t port = 0; port <= hub.port_count + 1 && port < 8; ++port) {
            for (uint32_t room : {35u, 35u + 11u, 200u})
                ask(devices, h, model::usb_ioctl::get_node_connection_information_ex, {uint8_t(port)}, room);
            for (uint32_t code : {model::usb_ioctl::get_node_connection_driverkey_name,
                                  model::usb_ioctl::get_node_connection_name})
                for (uint32_t room : {10u, 300u}) ask(devices, h, code, {uint8_t(port)}, room);
            for (uint32_t type : {1u, 2u, 3u})
                for (uint32_t index : {0u, 1u, 2u, 3u})
                    for (uint32_t length : {9u, 255u}) {
                        auto in = request(port, type, index, 0x0409, length);
                        ask(devices, h, model::usb_ioctl::get_descriptor_from_node_connection, in, uint32_t(in.size()));
                        ask(devices, h, model::usb_ioctl::get_descriptor_from_node_connection, in, 14);
                    }
        }
        devices.close(h);
    }

    // The whole tree, every property through its size protocol.
    for (DevNode n = 1; n < m.nodes.size(); ++n) {
        DevNode r = 0;
        tree.child(n, r);
        tree.sibling(n, r);
        tree.parent(n, r);
        uint32_t length = 0;
        std::u16string id;
        tree.device_id_size(n, length);
        tree.device_id(n, length, id);
        for (uint32_t p = 0; p <= 0x26; ++p) {
            uint32_t type = 0, need = 0;
            if (tree.registry_property(n, p, type, {}, need) != cr::buffer_small) continue;
            std::vector<uint8_t> buffer(need);
            uint32_t got = need;
            if (tree.registry_property(n, p, type, buffer, got) != cr::success || got != need) std::abort();
        }
    }
    for (const Guid& g : {model::disk_interface, model::cdrom_interface}) {
        Handle set = 0;
        if (tree.get_class_devs(g, digcf::present | digcf::device_interface, set)) std::abort();
        for (uint32_t i = 0;; ++i) {
            DeviceInterface iface;
            if (tree.enum_device_interfaces(set, g, i, iface)) break;
            uint32_t required = 0;
            std::u16string path;
            if (tree.interface_detail(set, iface, 0, required, path) != err::insufficient_buffer) std::abort();
            if (tree.interface_detail(set, iface, required, required, path)) std::abort();
            Handle disk = 0;
            if (devices.open(path, 0, 7, 0, disk)) std::abort();
            ask(devices, disk, model::usb_ioctl::storage_get_device_number, {}, 12);
            devices.close(disk);
        }
        tree.destroy_info_list(set);
    }

    // Ejecting every volume edits the text; the edited machine must still load.
    for (const model::Volume& v : m.volumes) {
        Handle h = 0;
        if (devices.open(std::u16string(u"\\\\.\\") + v.letter + u":", 0, 7, 0, h)) continue;
        uint32_t returned = 0;
        devices.control(h, ioctl::storage_eject_media, nullptr, 0, nullptr, 0, returned);
        devices.close(h);
        if (engine.view().error) std::abort();
    }
    return 0;
}
