// The device tree side of the inventory: the node getters of DHManager, SetupManager, and the
// volume scan that gives devices their drive letters.
#include "usbinventory/devnode.h"

#include <algorithm>
#include <new>

#include "platform/devicetree.h"
#include "platform/platform.h"
#include "text/text.h"
#include "usbinventory/dhmanager.h"

namespace ZelmUsbVardoManager {

namespace {
// A real device tree holds a few thousand nodes; a walk that takes more steps than this is going
// round a broken tree.
constexpr uint32_t max_walk_steps = 1u << 22;
// No registry property of a device node comes near this; a larger claimed size is not allocated.
constexpr uint32_t max_property_bytes = 1u << 20;
// More interfaces than this in one class means the enumeration does not end.
constexpr uint32_t max_interfaces = 1u << 16;

std::u16string text_of(const std::vector<uint8_t>& bytes)
{
    std::u16string result = text::from_utf16le(bytes);
    result.resize(std::min(result.find(u'\0'), result.size()));
    return result;
}

// Visits every node in depth-first pre-order; `visit` returns false to stop. False when the root
// cannot be located (its code in `code`).
template <class Visit>
bool walk_tree(uint32_t& code, Visit visit)
{
    auto& tree = platform::devicetree();
    platform::DevNode node = 0;
    code = tree.locate_root(node);
    if (code != platform::cr::success) return false;
    if (!visit(node)) return true;
    uint32_t steps = 0;
    while (steps++ < max_walk_steps) {
        platform::DevNode next = 0;
        if (tree.child(node, next) == platform::cr::success && next != node && next != 0) {
            node = next;
            if (!visit(node)) return true;
            continue;
        }
        platform::DevNode at = node;
        bool moved = false;
        while (steps++ < max_walk_steps) {
            if (tree.sibling(at, next) == platform::cr::success && next != at && next != 0) {
                node = next;
                moved = true;
                break;
            }
            platform::DevNode up = 0;
            if (tree.parent(at, up) != platform::cr::success || up == at || up == 0) return true;
            at = up;
        }
        if (!moved) return true;
        if (!visit(node)) return true;
    }
    return true;
}

// The driver key of a node, read into a buffer of 200 bytes; false when it cannot be read.
bool driver_key(platform::DevNode node, std::u16string& key)
{
    std::vector<uint8_t> buffer(200, 0);
    uint32_t type = 0, length = uint32_t(buffer.size());
    if (platform::devicetree().registry_property(node, platform::devnode_property::driver, type, buffer, length) !=
        platform::cr::success)
        return false;
    buffer.resize(std::min<size_t>(length, buffer.size()));
    key = text_of(buffer);
    return true;
}

uint32_t text_property(uint32_t devinst, uint32_t property, std::u16string& text)
{
    std::vector<uint8_t> buffer(402, 0);
    uint32_t type = 0, length = uint32_t(buffer.size());
    const uint32_t r = platform::devicetree().registry_property(devinst, property, type, buffer, length);
    if (r != platform::cr::success) return r;
    buffer.resize(std::min<size_t>(length, buffer.size()));
    text = text_of(buffer);
    return 0;
}
} // namespace

// --- DHManager's device-node getters ---------------------------------------------------------------

uint32_t DHManager::GetDeviceInstancesMap(DriverKeyMap& map, std::u16string& status_text)
{
    DriverKeyMap result;
    uint32_t code = 0;
    const bool walked = walk_tree(code, [&](platform::DevNode node) {
        std::u16string key;
        if (driver_key(node, key)) result.emplace(key, node);
        return true;
    });
    if (!walked) {
        status_text = u"GetDeviceInstancesMap: Nie udało uzyskać węzła-korzenia";
        return code;
    }
    map = std::move(result);
    return 0;
}

uint32_t DHManager::GetDevInst(const std::u16string& driver_key_name, uint32_t& devinst, std::u16string& status_text)
{
    const std::u16string wanted = text::to_lower(driver_key_name);
    uint32_t code = 0;
    bool found = false;
    platform::DevNode result = 0;
    const bool walked = walk_tree(code, [&](platform::DevNode node) {
        std::u16string key;
        if (!driver_key(node, key)) key.clear();
        if (text::to_lower(key) == wanted) {
            found = true;
            result = node;
            return false;
        }
        return true;
    });
    if (!walked) {
        status_text = u"GetDevInst: Nie udało uzyskać węzła-korzenia";
        return code;
    }
    if (!found) {
        status_text = u"GetDevInst: Nie znaleziono wezła: " + driver_key_name;
        return platform::err::not_found;
    }
    devinst = result;
    return 0;
}

uint32_t DHManager::GetDeviceDesc(uint32_t devinst, std::u16string& text, std::u16string& status_text)
{
    const uint32_t r = text_property(devinst, platform::devnode_property::device_desc, text);
    if (r != 0) status_text = u"GetDeviceDesc: Nie udało się uzyskać właściwości: CM_DRP_DEVICEDESC";
    return r;
}

uint32_t DHManager::GetDeviceLocation(uint32_t devinst, std::u16string& text, std::u16string& status_text)
{
    const uint32_t r = text_property(devinst, platform::devnode_property::location_information, text);
    if (r != 0) status_text = u"GetDeviceLocation: Nie udało się uzyskać właściwości: CM_DRP_LOCATION_INFORMATION";
    return r;
}

uint32_t DHManager::GetDeviceRegProp(uint32_t devinst, uint32_t property, std::u16string& text,
                                     std::u16string& status_text)
{
    const uint32_t r = text_property(devinst, property, text);
    if (r != 0) status_text = u"GetDeviceRegProp: Nie udało się uzyskać właściwości";
    return r;
}

uint32_t DHManager::GetDeviceRegProp(uint32_t devinst, uint32_t property, std::vector<uint8_t>& bytes,
                                     std::u16string& status_text)
{
    auto& tree = platform::devicetree();
    uint32_t type = 0, length = 0;
    uint32_t r = tree.registry_property(devinst, property, type, {}, length);
    if (r == platform::cr::success || r == platform::cr::buffer_small) {
        if (length == 0) {
            bytes.clear();
            return 0;
        }
        if (length > max_property_bytes) {
            r = platform::cr::failure;
        } else {
            std::vector<uint8_t> buffer(length, 0);
            uint32_t filled = length;
            r = tree.registry_property(devinst, property, type, buffer, filled);
            if (r == platform::cr::success) {
                buffer.resize(std::min(filled, length));
                bytes = std::move(buffer);
                return 0;
            }
        }
    }
    status_text = u"GetDeviceRegProp: Nie udało się uzyskać właściwości";
    return r;
}

uint32_t DHManager::GetDeviceID(uint32_t devinst, std::u16string& text, std::u16string& status_text)
{
    auto& tree = platform::devicetree();
    uint32_t length = 0;
    if (const uint32_t r = tree.device_id_size(devinst, length)) {
        status_text = u"GetDeviceID: Nie udało się uzyskać rozmiaru identyfikatora instancji";
        return r;
    }
    std::u16string id;
    if (const uint32_t r = tree.device_id(devinst, length + 1, id)) {
        status_text = u"GetDeviceID: Nie udało się uzyskać identyfikatora instancji";
        return r;
    }
    if (id.size() > length) id.resize(length);
    if (const size_t nul = id.find(u'\0'); nul != std::u16string::npos) id.resize(nul);
    text = std::move(id);
    return 0;
}

// --- SetupManager ------------------------------------------------------------------------------------

SetupManager::~SetupManager()
{
    Close();
}

uint32_t SetupManager::OpenForClass(const platform::Guid& guid, std::u16string& status_text, uint32_t flags)
{
    if (open_) {
        status_text = u"SetupManager::OpenForClass() uchwyt jest już otwarty";
        return platform::err::set_already_open;
    }
    platform::Handle set = 0;
    const platform::Error e = platform::devicetree().get_class_devs(guid, flags, set);
    if (e == 0) {
        set_ = set;
        open_ = true;
        return 0;
    }
    status_text = u"SetupManager::OpenForClass() nieudane";
    return e;
}

uint32_t SetupManager::EnumDeviceInterfacesDetails(const platform::Guid& guid, std::vector<SetupFullDetails>& list,
                                                   std::u16string& status_text)
{
    if (!open_) {
        status_text = u"SetupManager::EnumDeviceInterfacesDetails() uchwyt nie jest otwarty";
        return platform::err::set_not_open;
    }
    auto& tree = platform::devicetree();
    std::vector<SetupFullDetails> result;
    for (uint32_t i = 0;; ++i) {
        if (i >= max_interfaces) return platform::err::internal_error;
        platform::DeviceInfo info;
        platform::DeviceInterface iface;
        platform::Error e = tree.enum_device_info(set_, i, info);
        if (e == 0) e = tree.enum_device_interfaces(set_, guid, i, iface);
        if (e == platform::err::no_more_items) break;
        if (e != 0) return e;
        uint32_t required = 0;
        std::u16string path;
        e = tree.interface_detail(set_, iface, 0, required, path);
        if (e == 0) return platform::err::internal_error;
        if (e != platform::err::insufficient_buffer) return error_or_internal(e);
        e = tree.interface_detail(set_, iface, required, required, path);
        if (e != 0) return e;
        SetupFullDetails details;
        details.ClassGuid = info.class_guid;
        details.DevInst = info.devinst;
        details.Flags = iface.flags;
        details.InterfaceClassGuid = iface.interface_class_guid;
        details.DevicePath = path;
        details.MemberIndex = i;
        result.push_back(std::move(details));
    }
    list = std::move(result);
    return 0;
}

uint32_t SetupManager::Close()
{
    if (!open_) return platform::err::set_not_open;
    const platform::Error e = platform::devicetree().destroy_info_list(set_);
    if (e != 0) return e;
    open_ = false;
    set_ = 0;
    return 0;
}

// --- volumes and drive letters -----------------------------------------------------------------------

namespace {
// The node whose physical device object name owns a disk's letters: the disk's parent, or the
// device above it when the parent is one function of a composite device.
bool owner_of_disk(platform::DevNode disk, platform::DevNode& owner)
{
    auto& tree = platform::devicetree();
    platform::DevNode parent = 0;
    if (tree.parent(disk, parent) != platform::cr::success || parent == disk) return false;
    std::u16string id, error;
    if (DHManager::GetDeviceID(parent, id, error) == 0 && text::to_lower(id).find(u"&mi_") != std::u16string::npos) {
        platform::DevNode device = 0;
        if (tree.parent(parent, device) == platform::cr::success && device != parent) parent = device;
    }
    owner = parent;
    return true;
}
} // namespace

uint32_t DevNode::GetVolumesInfo(DriveLettersMap& letters, std::u16string& status_text)
{
    std::map<DevNum, std::u16string> volumes;
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
        DHManager volume;
        std::u16string error;
        if (volume.Open(text::format(u"\\\\.\\%c:", letter), error) != 0) continue;
        StorageDeviceNumber number;
        if (volume.GetStorageDeviceNumber(number, error) == 0) volumes[{number.DeviceType, number.DeviceNumber}] += letter;
    }

    // CD drives are a class of their own beside the disks; without it they would have no letters.
    std::vector<SetupFullDetails> disks;
    for (const platform::Guid& guid : {interface_class::disk, interface_class::cdrom}) {
        SetupManager setup;
        if (const uint32_t r = setup.OpenForClass(guid, status_text, platform::digcf::present | platform::digcf::device_interface))
            return r;
        std::vector<SetupFullDetails> found;
        if (const uint32_t r = setup.EnumDeviceInterfacesDetails(guid, found, status_text)) return r;
        setup.Close();
        disks.insert(disks.end(), found.begin(), found.end());
    }

    DriveLettersMap result;
    for (const SetupFullDetails& disk : disks) {
        platform::DevNode owner = 0;
        if (!owner_of_disk(disk.DevInst, owner)) continue;
        std::vector<uint8_t> pdo;
        std::u16string error;
        if (DHManager::GetDeviceRegProp(owner, platform::devnode_property::physical_device_object_name, pdo, error) != 0 ||
            pdo.empty())
            continue;
        DHManager device;
        if (device.Open(disk.DevicePath, error) != 0) continue;
        StorageDeviceNumber number;
        if (device.GetStorageDeviceNumber(number, error) != 0) continue;
        if (auto it = volumes.find({number.DeviceType, number.DeviceNumber}); it != volumes.end())
            result[text_of(pdo)] += it->second;
    }
    letters = std::move(result);
    return 0;
}

const char16_t* DevNode::InterfaceTypeName(int32_t value)
{
    static constexpr const char16_t* names[] = {
        u"Internal",  u"Isa",     u"Eisa",     u"MicroChannel",      u"TurboChannel",     u"PCIBus",
        u"VMEBus",    u"NuBus",   u"PCMCIABus", u"CBus",             u"MPIBus",           u"MPSABus",
        u"ProcessorInternal", u"InternalPowerBus", u"PNPISABus", u"PNPBus", u"Vmcs", u"MaximumInterfaceType",
    };
    if (value == -1) return u"InterfaceTypeUndefined";
    if (value >= 0 && size_t(value) < std::size(names)) return names[value];
    return u"<*UnknownInterfaceType*>";
}

} // namespace ZelmUsbVardoManager
