// The device tree of a machine: the walk, instance identifiers, properties with their size
// protocol, and the disk and CD-ROM interfaces.
#include <set>

#include "model_fixture.h"

namespace model_test {
namespace {

// The example machine's nodes in DEVINST order (pre-order).
const char16_t* const example_ids[] = {
    u"HTREE\\ROOT\\0",
    u"PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0",
    u"USB\\ROOT_HUB30\\4&1b8d6c0&0&0",
    u"USB\\VID_1111&PID_2222\\5&2f2e1c3b&0&1",
    u"USB\\VID_3333&PID_4444\\6&1a2b3c4d&0&1",
    u"HID\\VID_3333&PID_4444\\7&2c3d4e5f&0&0000",
    u"USB\\VID_5555&PID_6666\\C0MB0-42",
    u"USB\\VID_5555&PID_6666&MI_00\\7&3a&0&0000",
    u"USB\\VID_5555&PID_6666&MI_01\\7&3a&0&0001",
    u"USB\\VID_0781&PID_5567\\4C530001",
    u"USBSTOR\\DISK&VEN_GLOBEX&PROD_STICK&REV_1.00\\4C530001&0",
    u"PCI\\VEN_8086&DEV_A352\\3&1&0&B8",
    u"SCSI\\DISK&VEN_&PROD_SSD\\4&2&0&000000",
};

TEST_F(ModelTest, WalkVisitsTheExampleInPreOrderAndNumbersMatch)
{
    example();
    DevNode root = 0;
    ASSERT_EQ(tree.locate_root(root), cr::success);
    ASSERT_EQ(root, 1u);

    // The walk of the inventory: child, else sibling, else climb to a parent's sibling.
    std::vector<DevNode> order;
    DevNode n = root;
    for (int guard = 0; guard < 100; ++guard) {
        order.push_back(n);
        DevNode next = 0;
        if (tree.child(n, next) == cr::success) {
            n = next;
            continue;
        }
        bool found = false;
        for (DevNode up = n; !found;) {
            if (tree.sibling(up, next) == cr::success) {
                n = next;
                found = true;
            } else if (tree.parent(up, next) != cr::success) {
                break;
            } else {
                up = next;
            }
        }
        if (!found) break;
    }
    ASSERT_EQ(order.size(), std::size(example_ids));
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], DevNode(i + 1));
        EXPECT_EQ(id(order[i]), example_ids[i]) << "node " << order[i];
    }

    struct Relation {
        DevNode node, parent;
    };
    for (const Relation r : {Relation{2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 4}, {8, 7}, {10, 3}, {11, 10}, {12, 1}, {13, 12}}) {
        DevNode p = 0;
        EXPECT_EQ(tree.parent(r.node, p), cr::success);
        EXPECT_EQ(p, r.parent) << "parent of " << r.node;
    }
    DevNode none = 0;
    EXPECT_EQ(tree.parent(1, none), cr::no_such_devnode);
    EXPECT_EQ(tree.child(13, none), cr::no_such_devnode);
    EXPECT_EQ(tree.sibling(12, none), cr::no_such_devnode);
    EXPECT_EQ(tree.child(0, none), cr::invalid_devnode);
    EXPECT_EQ(tree.child(14, none), cr::invalid_devnode);
}

TEST_F(ModelTest, DeviceIdIsCutToTheBufferAsTheRealCallCutsIt)
{
    example();
    std::u16string s;
    EXPECT_EQ(tree.device_id(10, 30, s), cr::success); // the identifier's own length: no room for NUL, still whole
    EXPECT_EQ(s, u"USB\\VID_0781&PID_5567\\4C530001");
    EXPECT_EQ(tree.device_id(10, 7, s), cr::buffer_small);
    EXPECT_EQ(s, u"USB\\VID");
    EXPECT_EQ(tree.device_id(99, 100, s), cr::invalid_devnode);
}

TEST_F(ModelTest, PropertiesHaveTheirRegistryTypesAndBytes)
{
    example();
    struct Case {
        const char* what;
        DevNode node;
        uint32_t property;
        uint32_t result;
        uint32_t type;
        Bytes value;
    };
    const auto sz = [](std::u16string_view s) {
        Bytes b = text::to_utf16le(s);
        b.push_back(0);
        b.push_back(0);
        return b;
    };
    const Case cases[] = {
        {"text", 2, devnode_property::device_desc, cr::success, model::reg::sz, sz(u"USB xHCI Compliant Host Controller")},
        {"class", 11, devnode_property::class_name, cr::success, model::reg::sz, sz(u"DiskDrive")},
        {"number", 10, devnode_property::removal_policy, cr::success, model::reg::dword, {3, 0, 0, 0}},
        {"GUID as 16 bytes, Data1 little-endian", 10, devnode_property::bus_type_guid, cr::success, model::reg::binary,
         hex("bc eb 7d 9d 5d c8 d1 11 9e b4 00 60 08 c3 a1 9a")},
        {"not given", 10, devnode_property::friendly_name, cr::no_such_value, 0, {}},
        {"no such property number", 10, 0, cr::invalid_property, 0, {}},
        {"past the last property number", 10, 0x26, cr::invalid_property, 0, {}},
        {"no such node", 14, devnode_property::device_desc, cr::invalid_devnode, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t type = 0;
        Bytes value;
        EXPECT_EQ(property(c.node, c.property, type, value), c.result);
        if (c.result != cr::success) continue;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(value, c.value);
    }

    // A buffer one byte short is refused with the size needed; a length beyond the buffer is a
    // bad pointer, as with a null buffer and a non-zero length.
    uint32_t type = 0;
    Bytes buffer(10);
    uint32_t length = 3;
    EXPECT_EQ(tree.registry_property(11, devnode_property::class_name, type, std::span(buffer).first(3), length),
              cr::buffer_small);
    EXPECT_EQ(length, 20u);
    length = 11;
    EXPECT_EQ(tree.registry_property(11, devnode_property::class_name, type, buffer, length), cr::invalid_pointer);
}

TEST_F(ModelTest, DriverKeysAndDeviceObjectNamesAreMadeUpUniqueUnlessGivenOrNull)
{
    machine(R"({"nodes": [
        {"id": "USB\\VID_1&PID_1\\A"},
        {"id": "USB\\VID_1&PID_1\\B", "props": {"DRIVER": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
                                                "PHYSICAL_DEVICE_OBJECT_NAME": "\\Device\\USBPDO-0"}},
        {"id": "ACPI\\X\\1"},
        {"id": "USB\\VID_1&PID_1\\C", "props": {"DRIVER": null, "PHYSICAL_DEVICE_OBJECT_NAME": null}}]})");
    std::set<std::u16string> drivers, pdos;
    for (DevNode n = 1; n <= 4; ++n) {
        drivers.insert(text::to_lower(text_property(n, devnode_property::driver)));
        pdos.insert(text::to_lower(text_property(n, devnode_property::physical_device_object_name)));
    }
    EXPECT_EQ(drivers.size(), 4u) << "unique driver keys, the given one kept";
    EXPECT_EQ(pdos.size(), 4u);
    EXPECT_EQ(text_property(3, devnode_property::physical_device_object_name), u"\\Device\\USBPDO-0");
    EXPECT_EQ(text_property(2, devnode_property::physical_device_object_name).substr(0, 15), u"\\Device\\USBPDO-");
    EXPECT_EQ(text_property(5, devnode_property::driver), u"<none>");
    EXPECT_EQ(text_property(5, devnode_property::physical_device_object_name), u"<none>");
}

TEST_F(ModelTest, PropertyValueKinds)
{
    machine(R"({"nodes": [{"id": "X\\1", "props": {
        "HARDWAREID": ["USB\\VID_1&PID_2&REV_0100", "USB\\VID_1&PID_2"],
        "COMPATIBLEIDS": [],
        "DEVICEDESC": "a\u0000b",
        "LOCATION_INFORMATION": {"hex": "41 00"},
        "LEGACYBUSTYPE": -1,
        "UNKNOWN_THING": 5}}]})");
    uint32_t type = 0;
    Bytes v;
    ASSERT_EQ(property(2, devnode_property::hardware_id, type, v), cr::success);
    EXPECT_EQ(type, model::reg::multi_sz);
    EXPECT_EQ(text::from_utf16le(v), std::u16string(u"USB\\VID_1&PID_2&REV_0100\0USB\\VID_1&PID_2\0\0", 42));
    ASSERT_EQ(property(2, devnode_property::compatible_ids, type, v), cr::success);
    EXPECT_EQ(v, Bytes(2, 0));
    ASSERT_EQ(property(2, devnode_property::device_desc, type, v), cr::success);
    EXPECT_EQ(text::from_utf16le(v), std::u16string(u"a\0b\0", 4)) << "an embedded NUL is kept";
    ASSERT_EQ(property(2, devnode_property::location_information, type, v), cr::success);
    EXPECT_EQ(type, model::reg::binary);
    EXPECT_EQ(v, (Bytes{0x41, 0}));
    ASSERT_EQ(property(2, devnode_property::legacy_bus_type, type, v), cr::success);
    EXPECT_EQ(v, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(ModelTest, DiskAndCdromInterfacesInNodeOrderWithTheirDeviceNumbers)
{
    machine(R"({"nodes": [
        {"id": "USB\\VID_1&PID_1\\R", "children": [
            {"id": "USBSTOR\\DISK&VEN_A\\R&0", "disk": {"number": 3, "volumes": [{"letter": "G"}]}},
            {"id": "USBSTOR\\CDROM&VEN_A\\R&1", "disk": {"number": 0, "type": "cdrom", "volumes": [{"letter": "H"}]}},
            {"id": "USBSTOR\\DISK&VEN_A\\R&2", "disk": {"number": 4, "volumes": [{"letter": "I", "partition": 2}]}}]},
        {"id": "SCSI\\DISK\\0", "disk": {"number": 0, "volumes": [{"letter": "C", "type": "fixed"}]}}]})");
    struct Expect {
        DevNode node;
        const char16_t* path;
        uint32_t type, number;
    };
    const auto enumerate = [&](const Guid& guid, const std::vector<Expect>& expected) {
        Handle set = 0;
        ASSERT_EQ(tree.get_class_devs(guid, digcf::present | digcf::device_interface, set), err::success);
        for (uint32_t i = 0;; ++i) {
            DeviceInfo info;
            DeviceInterface iface;
            const Error e1 = tree.enum_device_info(set, i, info);
            const Error e2 = tree.enum_device_interfaces(set, guid, i, iface);
            if (i == expected.size()) {
                EXPECT_EQ(e1, err::no_more_items);
                EXPECT_EQ(e2, err::no_more_items);
                break;
            }
            ASSERT_EQ(e1, err::success);
            ASSERT_EQ(e2, err::success);
            EXPECT_EQ(info.devinst, expected[i].node);
            EXPECT_EQ(iface.interface_class_guid, guid);
            uint32_t required = 0;
            std::u16string path;
            EXPECT_EQ(tree.interface_detail(set, iface, 0, required, path), err::insufficient_buffer);
            EXPECT_EQ(required, 4 + 2 * (std::u16string_view(expected[i].path).size() + 1));
            EXPECT_EQ(tree.interface_detail(set, iface, required - 1, required, path), err::insufficient_buffer);
            ASSERT_EQ(tree.interface_detail(set, iface, required, required, path), err::success);
            EXPECT_EQ(path, expected[i].path);

            const Handle disk = open(path);
            Bytes out;
            ASSERT_EQ(ask(disk, model::usb_ioctl::storage_get_device_number, {}, 12, out), err::success);
            ASSERT_EQ(out.size(), 12u);
            EXPECT_EQ(get32(out, 0), expected[i].type);
            EXPECT_EQ(get32(out, 4), expected[i].number);
            EXPECT_EQ(get32(out, 8), 0u);
            EXPECT_EQ(devices.close(disk), err::success);
        }
        EXPECT_EQ(tree.destroy_info_list(set), err::success);
        EXPECT_EQ(tree.destroy_info_list(set), err::invalid_handle);
    };
    enumerate(model::disk_interface,
              {{3, u"\\\\?\\usbstor#disk&ven_a#r&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", 7, 3},
               {5, u"\\\\?\\usbstor#disk&ven_a#r&2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", 7, 4},
               {6, u"\\\\?\\scsi#disk#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", 7, 0}});
    enumerate(model::cdrom_interface, {{4, u"\\\\?\\usbstor#cdrom&ven_a#r&1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}", 2, 0}});
}

} // namespace
} // namespace model_test
