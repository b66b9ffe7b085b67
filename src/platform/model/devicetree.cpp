// The device tree, device interfaces, drive types and uptime answered from the machine.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/model/families.h"
#include "text/text.h"

namespace platform::model {

namespace {
constexpr uint32_t max_property = devnode_property::max;
constexpr uint32_t spint_active = 1;     // SP_DEVICE_INTERFACE_DATA.Flags
constexpr uint32_t digcf_allclasses = 0x4;
constexpr uint32_t drp_class_guid = devnode_property::class_guid;

Guid class_guid_of(const Machine& m, DevNode n)
{
    Guid g;
    const auto it = m.nodes[n].props.find(drp_class_guid);
    if (it == m.nodes[n].props.end() || it->second.type != reg::sz) return g;
    std::u16string s = text::from_utf16le(it->second.data);
    if (const size_t z = s.find(u'\0'); z != std::u16string::npos) s.resize(z);
    if (!parse_guid(s, g)) g = Guid{};
    return g;
}
} // namespace

uint32_t ModelDeviceTree::locate_root(DevNode& root)
{
    const View view = engine_.view();
    if (view.error) return cr::failure;
    root = 1;
    return cr::success;
}

uint32_t ModelDeviceTree::relative(DevNode node, DevNode Node::*which, DevNode& result)
{
    const View view = engine_.view();
    if (view.error) return cr::failure;
    const Machine& m = *view.machine;
    if (!m.valid(node)) return cr::invalid_devnode;
    const DevNode r = m.nodes[node].*which;
    if (!r) return cr::no_such_devnode;
    result = r;
    return cr::success;
}

uint32_t ModelDeviceTree::child(DevNode node, DevNode& result) { return relative(node, &Node::child, result); }
uint32_t ModelDeviceTree::sibling(DevNode node, DevNode& result) { return relative(node, &Node::sibling, result); }
uint32_t ModelDeviceTree::parent(DevNode node, DevNode& result) { return relative(node, &Node::parent, result); }

uint32_t ModelDeviceTree::device_id_size(DevNode node, uint32_t& length)
{
    const View view = engine_.view();
    if (view.error) return cr::failure;
    if (!view.machine->valid(node)) return cr::invalid_devnode;
    length = uint32_t(view.machine->nodes[node].id.size());
    return cr::success;
}

uint32_t ModelDeviceTree::device_id(DevNode node, uint32_t buffer_length, std::u16string& id)
{
    const View view = engine_.view();
    if (view.error) return cr::failure;
    if (!view.machine->valid(node)) return cr::invalid_devnode;
    const std::u16string& full = view.machine->nodes[node].id;
    // As CM_Get_Device_IDW: a buffer of exactly the identifier's length takes it without its
    // terminator; a shorter one gets what fits and CR_BUFFER_SMALL.
    if (buffer_length < full.size()) {
        id = full.substr(0, buffer_length);
        return cr::buffer_small;
    }
    id = full;
    return cr::success;
}

uint32_t ModelDeviceTree::registry_property(DevNode node, uint32_t property, uint32_t& type,
                                            std::span<uint8_t> buffer, uint32_t& length)
{
    const View view = engine_.view();
    if (view.error) return cr::failure;
    const Machine& m = *view.machine;
    if (!m.valid(node)) return cr::invalid_devnode;
    if (property == 0 || property > max_property) return cr::invalid_property;
    if (length > buffer.size()) return cr::invalid_pointer;
    const auto it = m.nodes[node].props.find(property);
    if (it == m.nodes[node].props.end()) return cr::no_such_value;
    const Property& p = it->second;
    type = p.type;
    if (p.data.size() > length) {
        length = uint32_t(p.data.size());
        return cr::buffer_small;
    }
    if (!p.data.empty()) std::memcpy(buffer.data(), p.data.data(), p.data.size());
    length = uint32_t(p.data.size());
    return cr::success;
}

Error ModelDeviceTree::get_class_devs(const Guid& guid, uint32_t flags, Handle& set)
{
    const View view = engine_.view();
    if (view.error) return view.error;
    Set s;
    s.machine = view.machine;
    s.guid = guid;
    s.interfaces = (flags & digcf::device_interface) != 0;
    const Machine& m = *view.machine;
    if (s.interfaces) {
        // Disks in node order: the pre-order numbering is the enumeration order.
        for (const Disk& d : m.disks)
            if ((d.cdrom ? cdrom_interface : disk_interface) == guid) s.nodes.push_back(d.node);
        std::sort(s.nodes.begin(), s.nodes.end());
    } else {
        for (DevNode n = 1; n < m.nodes.size(); ++n)
            if ((flags & digcf_allclasses) || class_guid_of(m, n) == guid) s.nodes.push_back(n);
    }
    set = sets_.add(std::move(s));
    return err::success;
}

Error ModelDeviceTree::enum_device_info(Handle set, uint32_t index, DeviceInfo& info)
{
    const auto s = sets_.get(set);
    if (!s) return err::invalid_handle;
    if (index >= s->nodes.size()) return err::no_more_items;
    info.devinst = s->nodes[index];
    info.class_guid = class_guid_of(*s->machine, info.devinst);
    return err::success;
}

Error ModelDeviceTree::enum_device_interfaces(Handle set, const Guid& guid, uint32_t index, DeviceInterface& iface)
{
    const auto s = sets_.get(set);
    if (!s) return err::invalid_handle;
    if (!s->interfaces || !(guid == s->guid) || index >= s->nodes.size()) return err::no_more_items;
    iface.interface_class_guid = guid;
    iface.flags = spint_active;
    iface.reserved = uint64_t(index) + 1;
    return err::success;
}

Error ModelDeviceTree::interface_detail(Handle set, const DeviceInterface& iface, uint32_t buffer_size,
                                        uint32_t& required_size, std::u16string& device_path)
{
    const auto s = sets_.get(set);
    if (!s) return err::invalid_handle;
    if (!s->interfaces || iface.reserved == 0 || iface.reserved > s->nodes.size()) return err::invalid_parameter;
    const Machine& m = *s->machine;
    const Node& node = m.nodes[s->nodes[size_t(iface.reserved - 1)]];
    if (node.disk < 0) return err::invalid_parameter;
    const std::u16string& path = m.disks[size_t(node.disk)].interface_path;
    required_size = uint32_t(4 + (path.size() + 1) * 2);
    if (buffer_size < required_size) return err::insufficient_buffer;
    device_path = path;
    return err::success;
}

Error ModelDeviceTree::destroy_info_list(Handle set)
{
    return sets_.take(set) ? err::success : err::invalid_handle;
}

uint32_t drive_type_of(const View& view, std::u16string_view root)
{
    if (view.error) return drive::no_root_dir;
    if (!(root.size() == 2 || (root.size() == 3 && (root[2] == u'\\' || root[2] == u'/'))) || root[1] != u':')
        return drive::no_root_dir;
    const Volume* v = view.machine->volume(root[0]);
    return v ? v->drive_type : drive::no_root_dir;
}

uint32_t ModelFiles::drive_type(const std::u16string& root)
{
    return drive_type_of(engine_.view(), root);
}

std::optional<uint64_t> uptime_of(const Machine& m, int64_t now_unix_ms)
{
    if (!m.booted_at) return std::nullopt;
    return now_unix_ms > *m.booted_at ? uint64_t(now_unix_ms - *m.booted_at) : 0;
}

uint64_t ModelSystem::tick_count64()
{
    const View view = engine_.view();
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    if (const auto up = uptime_of(*view.machine, now)) return *up;
    return inner_.tick_count64();
}

} // namespace platform::model
