// Host controller, hub, volume and disk requests answered from the machine, in the byte layouts
// the Windows USB hub and storage drivers use (little-endian, packed), written field by field.
#include <algorithm>
#include <cstring>

#include "platform/le_fields.h"
#include "platform/model/families.h"
#include "text/text.h"

namespace platform::model {

namespace {

constexpr size_t node_information_size = 76;
constexpr size_t connection_information_size = 35; // USB_NODE_CONNECTION_INFORMATION_EX, no pipes
constexpr size_t pipe_info_size = 11;               // USB_PIPE_INFO
constexpr size_t descriptor_request_size = 12;      // USB_DESCRIPTOR_REQUEST before the data
constexpr uint32_t file_device_disk = 7;
constexpr uint32_t file_device_cd_rom = 2;

void put16(Bytes& b, size_t at, uint32_t v) { le::put(b.data() + at, 2, v); }
void put32(Bytes& b, size_t at, uint32_t v) { le::put_u32(b.data() + at, v); }
uint32_t get32(const Bytes& b, size_t at) { return le::get_u32(b.data() + at); }
uint32_t get16(const Bytes& b, size_t at) { return le::get_u16(b.data() + at); }

// The text of a REG_SZ property up to its NUL; false when the node lacks it.
bool text_property(const Machine& m, DevNode n, uint32_t property, std::u16string& out)
{
    if (!m.valid(n)) return false;
    const auto it = m.nodes[n].props.find(property);
    if (it == m.nodes[n].props.end()) return false;
    out = text::from_utf16le(it->second.data);
    if (const size_t z = out.find(u'\0'); z != std::u16string::npos) out.resize(z);
    return true;
}

// Places `reply` in the caller's buffer, cut to its size.
Error deliver(const Bytes& reply, void* output, uint32_t output_size, uint32_t& returned)
{
    const size_t n = std::min<size_t>(reply.size(), output_size);
    if (n) std::memcpy(output, reply.data(), n);
    returned = uint32_t(n);
    return err::success;
}

// A name record: `fixed` bytes (the connection index, if any, then ActualLength) and the name with
// its NUL. A buffer that holds the fixed part and one character gets the length (the probe);
// the whole name comes when the buffer holds it all.
Error name_reply(uint32_t connection, size_t fixed, std::u16string_view name, void* output, uint32_t output_size,
                 uint32_t& returned)
{
    if (output_size < fixed + 2) return err::insufficient_buffer;
    const size_t actual = fixed + (name.size() + 1) * 2;
    Bytes reply(actual, 0);
    if (fixed == 8) put32(reply, 0, connection);
    put32(reply, fixed - 4, uint32_t(actual));
    for (size_t i = 0; i < name.size(); ++i) put16(reply, fixed + 2 * i, name[i]);
    return deliver(reply, output, output_size, returned);
}

// Endpoint descriptors of the configuration whose bConfigurationValue is `value`: every endpoint
// (type 5) of the interfaces' first alternate setting, walking the set by each descriptor's length.
std::vector<Bytes> configured_endpoints(const Port& p)
{
    std::vector<Bytes> out;
    for (const Bytes& set : p.configs) {
        if (set.size() < 9 || set[5] != p.configuration) continue;
        bool alternate = false;
        for (size_t at = 0; at + 2 <= set.size();) {
            const size_t length = set[at];
            if (length < 2 || at + length > set.size()) break;
            const uint8_t type = set[at + 1];
            if (type == 4 && length >= 4) alternate = set[at + 3] != 0;
            if (type == 5 && length >= 7 && !alternate) out.emplace_back(set.begin() + long(at), set.begin() + long(at) + 7);
            at += length;
        }
        break;
    }
    return out;
}

// The bytes of a string descriptor, or the error of a failed request.
Error string_descriptor(const Port& p, uint32_t index, uint16_t language, Bytes& out)
{
    const auto it = p.strings.find(index);
    if (it == p.strings.end()) {
        if (index == 0) {
            out = {4, 3, 0x09, 0x04}; // the languages: English (United States)
            return err::success;
        }
        return err::gen_failure;
    }
    const StringAnswer* a = &it->second.all;
    if (it->second.per_language) {
        const auto lang = it->second.by_language.find(language);
        if (lang == it->second.by_language.end()) return err::gen_failure;
        a = &lang->second;
    }
    switch (a->kind) {
    case StringAnswer::Kind::fail:
        return a->error;
    case StringAnswer::Kind::raw:
        out = a->raw;
        return err::success;
    case StringAnswer::Kind::text:
        break;
    }
    // bLength is one byte: a longer text is cut to what it can state.
    const size_t chars = std::min<size_t>(a->text.size(), 126);
    out.assign(2 + 2 * chars, 0);
    out[0] = uint8_t(out.size());
    out[1] = 3;
    for (size_t i = 0; i < chars; ++i) put16(out, 2 + 2 * i, a->text[i]);
    return err::success;
}

struct Request {
    const Machine& m;
    Engine& engine;
    const Bytes& in;
    void* output;
    uint32_t output_size;
    uint32_t& returned;
};

Error controller_request(const Controller& c, uint32_t code, Request& r)
{
    if (code == usb_ioctl::get_hcd_driverkey_name) {
        std::u16string key;
        if (!text_property(r.m, c.node, 10, key)) return err::gen_failure;
        return name_reply(0, 4, key, r.output, r.output_size, r.returned);
    }
    if (code == usb_ioctl::get_root_hub_name) {
        if (c.root_hub < 0) return err::gen_failure;
        return name_reply(0, 4, r.m.hubs[size_t(c.root_hub)].name, r.output, r.output_size, r.returned);
    }
    return err::invalid_function;
}

Error connection_information(const Hub& h, int hub_index, uint32_t index, Request& r)
{
    if (r.output_size < connection_information_size) return err::insufficient_buffer;
    const Port* p = h.port(index);
    std::vector<Bytes> pipes;
    if (p) {
        pipes = p->pipes ? *p->pipes : configured_endpoints(*p);
        if (p->faults & fault::pipes_grow) {
            const uint32_t extra = r.engine.pipe_growth(hub_index, index) + 1;
            for (uint32_t k = 0; k < extra; ++k)
                pipes.push_back({7, 5, uint8_t(0x81 + k % 15), 2, 0x40, 0, 0});
        }
    }
    const size_t fit = (r.output_size - connection_information_size) / pipe_info_size;
    const size_t placed = std::min(fit, pipes.size());
    Bytes reply(connection_information_size + placed * pipe_info_size, 0);
    put32(reply, 0, index);
    if (p) {
        std::copy(p->device.begin(), p->device.end(), reply.begin() + 4);
        reply[22] = uint8_t(p->configuration);
        reply[23] = uint8_t(p->speed);
        reply[24] = p->hub >= 0 ? 1 : 0;
        put16(reply, 25, p->address);
        put32(reply, 27, uint32_t(pipes.size()));
        put32(reply, 31, p->status);
        for (size_t i = 0; i < placed; ++i)
            std::copy(pipes[i].begin(), pipes[i].end(), reply.begin() + long(connection_information_size + i * pipe_info_size));
    }
    return deliver(reply, r.output, r.output_size, r.returned);
}

Error hub_request(const Hub& h, int hub_index, uint32_t code, Request& r)
{
    if (code == usb_ioctl::get_node_information) {
        if (r.output_size < node_information_size) return err::insufficient_buffer;
        if (h.faults & fault::node_info_fails) return err::gen_failure;
        Bytes reply(node_information_size, 0);
        put32(reply, 0, h.node_type);
        if (h.node_type == 0) {
            reply[4] = 9;                                  // bDescriptorLength
            reply[5] = 0x29;                               // bDescriptorType: hub
            reply[6] = uint8_t(h.port_count);              // bNumberOfPorts
            put16(reply, 7, 0);                            // wHubCharacteristics
            reply[9] = 50;                                 // bPowerOnToPowerGood
            reply[10] = 0;                                 // bHubControlCurrent
        } else {
            put32(reply, 4, h.port_count);                 // NumberOfInterfaces of a composite parent
        }
        reply[75] = 0;                                     // HubIsBusPowered
        return deliver(reply, r.output, r.output_size, r.returned);
    }
    const bool per_port = code == usb_ioctl::get_node_connection_information_ex ||
                          code == usb_ioctl::get_node_connection_driverkey_name ||
                          code == usb_ioctl::get_node_connection_name ||
                          code == usb_ioctl::get_descriptor_from_node_connection;
    if (!per_port) return err::invalid_function;
    if (r.in.size() < 4) return err::invalid_parameter;
    const uint32_t index = get32(r.in, 0);
    if (index == 0 || index > h.port_count) return err::invalid_parameter;
    if (code == usb_ioctl::get_node_connection_information_ex) return connection_information(h, hub_index, index, r);

    const Port* p = h.port(index);
    if (!p || p->status == 0) return err::gen_failure;
    if (code == usb_ioctl::get_node_connection_driverkey_name) {
        std::u16string key;
        if ((p->faults & fault::driver_key_fails) || !text_property(r.m, p->node, 10, key)) return err::gen_failure;
        return name_reply(index, 8, key, r.output, r.output_size, r.returned);
    }
    if (code == usb_ioctl::get_node_connection_name) {
        if (p->faults & fault::connection_name_fails) return err::gen_failure;
        const std::u16string name = p->hub >= 0 ? r.m.hubs[size_t(p->hub)].name : std::u16string();
        return name_reply(index, 8, name, r.output, r.output_size, r.returned);
    }
    // A descriptor through the hub: the setup packet's wValue names it, wLength bounds it.
    if (r.in.size() < descriptor_request_size) return err::invalid_parameter;
    if (r.output_size < descriptor_request_size) return err::insufficient_buffer;
    const uint32_t value = get16(r.in, 6), language = get16(r.in, 8), length = get16(r.in, 10);
    const uint32_t type = value >> 8, descriptor_index = value & 0xFF;
    Bytes descriptor;
    if (type == 1) {
        descriptor = p->device;
    } else if (type == 2) {
        if (descriptor_index >= p->configs.size()) return err::gen_failure;
        descriptor = p->configs[descriptor_index];
    } else if (type == 3) {
        if (const Error e = string_descriptor(*p, descriptor_index, uint16_t(language), descriptor)) return e;
    } else {
        return err::gen_failure;
    }
    const size_t n = std::min<size_t>({descriptor.size(), length, r.output_size - descriptor_request_size});
    Bytes reply(r.in.begin(), r.in.begin() + long(descriptor_request_size));
    reply.insert(reply.end(), descriptor.begin(), descriptor.begin() + long(n));
    return deliver(reply, r.output, r.output_size, r.returned);
}

Error storage_number(uint32_t type, uint32_t number, uint32_t partition, Request& r)
{
    if (r.output_size < 12) return err::insufficient_buffer;
    Bytes reply(12, 0);
    put32(reply, 0, type);
    put32(reply, 4, number);
    put32(reply, 8, partition);
    return deliver(reply, r.output, r.output_size, r.returned);
}

} // namespace

Error ModelDevices::open(const std::u16string& path, uint32_t, uint32_t, uint32_t, Handle& device)
{
    std::u16string_view rest = path;
    if (rest.size() < 5 || !(rest.substr(0, 4) == u"\\\\.\\" || rest.substr(0, 4) == u"\\\\?\\")) return err::file_not_found;
    rest.remove_prefix(4);
    const View view = engine_.view();
    const Machine& m = *view.machine;
    const std::u16string lower = text::to_lower(rest);
    const bool controller = lower.size() > 3 && lower.size() <= 12 && lower.substr(0, 3) == u"hcd" &&
                            std::all_of(lower.begin() + 3, lower.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
    const bool volume = lower.size() == 2 && lower[1] == u':' && lower[0] >= u'a' && lower[0] <= u'z';
    // A broken machine says so for the paths that can only be its own; any other path (a driver's
    // control device that is not loaded, say) does not exist, as without a machine.
    if (view.error) return controller || volume ? view.error : err::file_not_found;
    Target t;
    if (controller) {
        uint64_t index = 0;
        for (size_t i = 3; i < lower.size(); ++i) index = index * 10 + uint64_t(lower[i] - u'0');
        if (index > 0xFFFFFFFF || !m.controllers.count(uint32_t(index))) return err::file_not_found;
        t.kind = Kind::controller;
        t.index = uint32_t(index);
    } else if (volume) {
        if (!m.volume(lower[0])) return err::file_not_found;
        t.kind = Kind::volume;
        t.letter = char16_t(lower[0] - u'a' + u'A');
    } else if (m.hub_by_name.count(lower)) {
        t.kind = Kind::hub;
        t.key = lower;
    } else if (m.disk_by_path.count(u"\\\\?\\" + lower)) {
        t.kind = Kind::disk;
        t.key = u"\\\\?\\" + lower;
    } else {
        return err::file_not_found;
    }
    device = handles_.add(std::move(t));
    return err::success;
}

Error ModelDevices::control(Handle device, uint32_t code, const void* input, uint32_t input_size, void* output,
                            uint32_t output_size, uint32_t& returned)
{
    returned = 0;
    const auto target = handles_.get(device);
    if (!target) return err::invalid_handle;
    if ((input_size && !input) || (output_size && !output)) return err::invalid_parameter;
    // The input is copied first: the caller may pass one buffer as input and output.
    const Bytes in(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + input_size);
    const View view = engine_.view();
    if (view.error) return device_not_connected;
    const Machine& m = *view.machine;
    Request r{m, engine_, in, output, output_size, returned};

    switch (target->kind) {
    case Kind::controller: {
        const auto c = m.controllers.find(target->index);
        if (c == m.controllers.end()) return device_not_connected;
        return controller_request(c->second, code, r);
    }
    case Kind::hub: {
        const auto h = m.hub_by_name.find(target->key);
        if (h == m.hub_by_name.end()) return device_not_connected;
        return hub_request(m.hubs[size_t(h->second)], h->second, code, r);
    }
    case Kind::disk: {
        const auto d = m.disk_by_path.find(target->key);
        if (d == m.disk_by_path.end()) return device_not_connected;
        const Disk& disk = m.disks[size_t(d->second)];
        if (code == usb_ioctl::storage_get_device_number)
            return storage_number(disk.cdrom ? file_device_cd_rom : file_device_disk, disk.number, 0, r);
        return err::invalid_function;
    }
    case Kind::volume:
        break;
    }

    const Volume* v = m.volume(target->letter);
    if (!v) return device_not_connected;
    const Disk& disk = m.disks[size_t(v->disk)];
    switch (code) {
    case usb_ioctl::storage_get_device_number:
        return storage_number(disk.cdrom ? file_device_cd_rom : file_device_disk, disk.number, v->partition, r);
    case ioctl::lock_volume:
        if (target->locked) return err::access_denied;
        if (const Error e = engine_.lock_volume(m, v->letter)) return e;
        handles_.update(device, [](Target& t) { t.locked = true; });
        return err::success;
    case ioctl::dismount_volume:
        return engine_.dismount_volume(v->letter);
    case ioctl::storage_media_removal:
        return in.empty() ? err::invalid_parameter : err::success;
    case ioctl::storage_eject_media:
        // A fixed disk has no media to eject.
        if (v->drive_type == 3) return err::invalid_function;
        if (const Error e = engine_.eject(v->letter)) return e == err::file_not_found ? device_not_connected : e;
        return err::success;
    default:
        return err::invalid_function;
    }
}

Error ModelDevices::close(Handle device)
{
    return handles_.take(device) ? err::success : err::invalid_handle;
}

} // namespace platform::model
