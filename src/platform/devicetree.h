// The device tree: the Configuration Manager's walk and device-node properties (CM_Locate_DevNodeW,
// CM_Get_Child, CM_Get_Sibling, CM_Get_Parent, CM_Get_Device_ID_Size, CM_Get_Device_IDW,
// CM_Get_DevNode_Registry_PropertyW) and device interface enumeration through SetupAPI
// (SetupDiGetClassDevsW, SetupDiEnumDeviceInfo, SetupDiEnumDeviceInterfaces,
// SetupDiGetDeviceInterfaceDetailW, SetupDiDestroyDeviceInfoList).
//
// The Configuration Manager calls answer with CONFIGRET codes (cr::...), the SetupAPI calls with
// Windows error codes, as the real calls do; the caller's two-call protocols (ask the size, then
// read) stay visible, so that code above can be tested against a scripted tree.
//
// posix: the tree is the machine description <root>/machine.json, answered by the machine model
// (src/platform/model/): nodes numbered in pre-order from 1 (the root), disk and CD-ROM interfaces
// in node order. Without the file the tree is the root alone; a file that cannot be used makes
// locate_root fail with CR_FAILURE and get_class_devs with 13.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/errors.h"

namespace platform {

// A device node (DEVINST).
using DevNode = uint32_t;

// CONFIGRET values.
namespace cr {
constexpr uint32_t success = 0x00;
constexpr uint32_t invalid_pointer = 0x03;
constexpr uint32_t invalid_devnode = 0x05;
constexpr uint32_t no_such_devnode = 0x0D;
constexpr uint32_t failure = 0x13;
constexpr uint32_t buffer_small = 0x1A;
constexpr uint32_t no_such_value = 0x25;
constexpr uint32_t invalid_property = 0x35;
} // namespace cr

// Device-node registry properties (CM_DRP_...).
namespace devnode_property {
constexpr uint32_t device_desc = 1;
constexpr uint32_t hardware_id = 2;
constexpr uint32_t compatible_ids = 3;
constexpr uint32_t service = 5;
constexpr uint32_t class_name = 8;
constexpr uint32_t class_guid = 9;
constexpr uint32_t driver = 10;
constexpr uint32_t config_flags = 11;
constexpr uint32_t manufacturer = 12;
constexpr uint32_t friendly_name = 13;
constexpr uint32_t location_information = 14;
constexpr uint32_t physical_device_object_name = 15;
constexpr uint32_t capabilities = 16;
constexpr uint32_t ui_number = 17;
constexpr uint32_t upper_filters = 18;
constexpr uint32_t lower_filters = 19;
constexpr uint32_t bus_type_guid = 20;
constexpr uint32_t legacy_bus_type = 21;
constexpr uint32_t bus_number = 22;
constexpr uint32_t enumerator_name = 23;
constexpr uint32_t address = 29;
constexpr uint32_t ui_number_desc_format = 30;
constexpr uint32_t removal_policy = 32;
constexpr uint32_t removal_policy_hw_default = 33;
constexpr uint32_t removal_policy_override = 34;
constexpr uint32_t install_state = 35;
constexpr uint32_t location_paths = 36;
constexpr uint32_t base_container_id = 37;
constexpr uint32_t max = 0x25; // CM_DRP_MAX: the highest property number
} // namespace devnode_property

// SetupDiGetClassDevsW flags.
namespace digcf {
constexpr uint32_t present = 0x02;
constexpr uint32_t device_interface = 0x10;
} // namespace digcf

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
};

// SP_DEVINFO_DATA: what SetupDiEnumDeviceInfo reports of one device.
struct DeviceInfo {
    Guid class_guid;
    DevNode devinst = 0;
};

// SP_DEVICE_INTERFACE_DATA: one device interface. `reserved` is the backend's own reference to it,
// handed back unchanged to interface_detail.
struct DeviceInterface {
    Guid interface_class_guid;
    uint32_t flags = 0;
    uint64_t reserved = 0;
};

class DeviceTree {
public:
    virtual ~DeviceTree() = default;

    // CM_Locate_DevNodeW(no device identifier, flags 0): the root of the tree.
    virtual uint32_t locate_root(DevNode& root) = 0;
    // CM_Get_Child, CM_Get_Sibling, CM_Get_Parent: a non-zero code (cr::no_such_devnode) when the
    // node has no such relative.
    virtual uint32_t child(DevNode node, DevNode& result) = 0;
    virtual uint32_t sibling(DevNode node, DevNode& result) = 0;
    virtual uint32_t parent(DevNode node, DevNode& result) = 0;
    // CM_Get_Device_ID_Size: the instance identifier's length in characters, terminator excluded.
    virtual uint32_t device_id_size(DevNode node, uint32_t& length) = 0;
    // CM_Get_Device_IDW into a buffer of `buffer_length` characters: the identifier (cut to the
    // buffer as the real call cuts it).
    virtual uint32_t device_id(DevNode node, uint32_t buffer_length, std::u16string& id) = 0;
    // CM_Get_DevNode_Registry_PropertyW(node, property, type, buffer, length, 0). `buffer` may be
    // empty (no buffer). In: `length` is the buffer's size in bytes (at most buffer.size());
    // out: the bytes written, or with cr::buffer_small the bytes needed. `type` is the registry
    // type of the value (REG_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY).
    virtual uint32_t registry_property(DevNode node, uint32_t property, uint32_t& type,
                                       std::span<uint8_t> buffer, uint32_t& length) = 0;

    // SetupDiGetClassDevsW(class or interface class, no enumerator, no window, flags).
    virtual Error get_class_devs(const Guid& guid, uint32_t flags, Handle& set) = 0;
    // SetupDiEnumDeviceInfo(set, index): 259 past the last device.
    virtual Error enum_device_info(Handle set, uint32_t index, DeviceInfo& info) = 0;
    // SetupDiEnumDeviceInterfaces(set, no device filter, guid, index): 259 past the last one.
    virtual Error enum_device_interfaces(Handle set, const Guid& guid, uint32_t index,
                                         DeviceInterface& iface) = 0;
    // SetupDiGetDeviceInterfaceDetailW. With `buffer_size` 0 (no buffer) the call fails with 122
    // and `required_size` says how many bytes the 64-bit detail record needs (its 4-byte size field
    // and the NUL-terminated path); with a buffer of at least that size it gives the device path.
    virtual Error interface_detail(Handle set, const DeviceInterface& iface, uint32_t buffer_size,
                                   uint32_t& required_size, std::u16string& device_path) = 0;
    // SetupDiDestroyDeviceInfoList.
    virtual Error destroy_info_list(Handle set) = 0;

    // A walk made of many requests (the device list: the tree, the disk interfaces, then the hubs
    // through the devices family) between begin_walk and the matching end_walk on one thread;
    // pairs nest. Windows keeps no such moment: the Win32 backend does nothing, and a device that
    // arrives or leaves meanwhile is met by the calls as they find it. posix and the machine
    // model: every answer of this family and of the devices family to that thread comes from the
    // machine file as it was at begin_walk, so that a walk never mixes two versions of it.
    virtual void begin_walk() {}
    virtual void end_walk() {}
};

// begin_walk for the life of the object.
class DeviceWalk {
public:
    explicit DeviceWalk(DeviceTree& tree) : tree_(tree) { tree_.begin_walk(); }
    ~DeviceWalk() { tree_.end_walk(); }
    DeviceWalk(const DeviceWalk&) = delete;
    DeviceWalk& operator=(const DeviceWalk&) = delete;

private:
    DeviceTree& tree_;
};

} // namespace platform
