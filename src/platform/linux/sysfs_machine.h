// The running Linux machine as a machine description: what the model engine answers when the
// platform root holds no machine.json. The USB devices of sysfs are read into the same JSON text a
// machine file holds (machine-model.md), which load_machine then checks as it checks any file, so
// the hub, controller, device-tree and volume answers are the model's, unchanged, and the text
// (machine_json) shows in the machine file's own terms what the program sees.
//
// Sources, field by field:
// - Host controllers: the root hubs `usbN` of /sys/bus/usb/devices in bus-number order;
//   `\\.\HCD0` is the lowest bus. The controller's node is the root hub's parent device (the PCI
//   function, or whatever the parent is): id "PCI\VEN_vvvv&DEV_dddd\<parent name>&<usbN>" from the
//   parent's `vendor`/`device` (else "USB\HCD\<usbN>"), description udev ID_MODEL_FROM_DATABASE
//   of the parent, else the root hub's `product`, else "USB Host Controller".
// - Hubs: a root hub is named "USB#ROOT_HUB30#<usbN>#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"
//   (ROOT_HUB20 below 5 Gbit/s, ROOT_HUB below 480 Mbit/s), an external hub
//   "USB#VID_vvvv&PID_pppp#<sysfs name>#{f18a0e88-...}"; ports: `maxchild` (at least the highest
//   port a device sits on). A hub that would sit deeper than USB allows (model::max_hub_tiers)
//   is a device on a port whose status is 7 (DeviceHubNestedTooDeeply): it and what is below it
//   are not listed.
// - Ports: from the sysfs name, "1-1.2" being port 2 of the hub on port 1 of bus 1; a device
//   whose parent is not in sysfs (gone in the middle of the scan) is left out.
// - Connection information: `speed` (1.5 → 0 low, 12 → 1 full, 480 → 2 high, more → 3 super),
//   `devnum` (the address), `bConfigurationValue` (0 when unconfigured).
// - Device and configuration descriptors: the `descriptors` file, byte for byte what the device
//   sent: the 18-byte device descriptor, then each configuration set, `wTotalLength` bytes each.
//   A file shorter than 18 bytes, or whose first descriptor is not a device descriptor, gives a
//   port whose status is 2 (DeviceFailedEnumeration); a configuration set cut short is kept as
//   far as it goes (the inventory reads only inside the bytes it is given); configurations past
//   the end of the file are missing, as when the device fails to give them.
// - String descriptors: asked from the device through usbfs (/dev/bus/usb/BBB/DDD, a
//   GET_DESCRIPTOR control transfer, USBDEVFS_CONTROL) when that node opens and answers the
//   language list: every language the device lists, every index its descriptors name, the
//   bytes as the device sent them. Otherwise (no usbfs, no right to open it, a device that does
//   not answer) from sysfs: `manufacturer`, `product`, `serial`, the active configuration's
//   `configuration` and each interface's `interface`, under language 0x0409 alone; an index whose
//   attribute is missing fails as a failed request does (error 31).
// - Device nodes (properties by CM_DRP name):
//   | property                    | source                                                       |
//   |-----------------------------|--------------------------------------------------------------|
//   | id (instance id)            | "USB\VID_vvvv&PID_pppp\<serial>", the serial being `serial`,  |
//   |                             | else udev ID_SERIAL_SHORT, when it is a valid Windows id      |
//   |                             | part (printable, no blank, "\" or ","); else the sysfs name   |
//   | DEVICEDESC                  | udev ID_MODEL_FROM_DATABASE, else `product`                  |
//   | MFG                         | udev ID_VENDOR_FROM_DATABASE, else `manufacturer`            |
//   (When udev has not described the device yet, or describes it without either name, both are
//   looked up in the hardware database by the device's ids, as udev's own rule does, so that a
//   device read a moment before udev's rules ran is named as it is named afterwards.)
//   | HARDWAREID                  | "USB\VID_vvvv&PID_pppp&REV_rrrr", "USB\VID_vvvv&PID_pppp"   |
//   |                             | from the device descriptor                                   |
//   | COMPATIBLEIDS               | "USB\Class_cc&SubClass_ss&Prot_pp", "USB\Class_cc&SubClass_ss", |
//   |                             | "USB\Class_cc" (a composite device: "USB\DevClass_00&...",   |
//   |                             | "USB\COMPOSITE")                                             |
//   | CLASS, CLASSGUID            | the class table (usb_class_of, sysfs_classes.cpp) over the   |
//   |                             | device class and the active configuration's interfaces; a    |
//   |                             | device not configured yet (held: `authorized` 0) by those of |
//   |                             | the configuration the kernel will set (chosen_configuration) |
//   | DRIVER                      | "<class GUID>\<sysfs name>"                                  |
//   | LOCATION_INFORMATION        | "Port_#pppp.Hub_#hhhh", hhhh the parent hub's `devnum`       |
//   | PHYSICAL_DEVICE_OBJECT_NAME | "\Device\USBPDO-<sysfs name>"                                |
//   | ENUMERATOR_NAME, BUSTYPEGUID| "USB", GUID_BUS_TYPE_USB                                     |
//   | REMOVAL_POLICY              | 1 (no removal) when `removable` is "fixed", else 3           |
//   So the entry of a sysfs device is found by its PDO name, pdo_name(sysfs name), and its
//   driver key ends in "\<sysfs name>".
// - Disks and volumes: those sysfs_volumes.h finds below each USB device (its letters kept in
//   <platform root>/dosdevices), as a child node "USBSTOR\DISK&...\<disk name>" (class DiskDrive,
//   or CDROM) with the disk.
//
// A device that disappears while it is read is left out (or its port ends where its files
// ended); nothing read from the kernel is trusted for a length or an index.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/sysfs_volumes.h"
#include "platform/model/engine.h"

struct udev;
struct udev_hwdb;

namespace platform::posix::sysfs {

// The Windows setup class of a USB device node, and of the node of one interface: the class name
// and its GUID ("{36fc9e60-c465-11cf-8056-444553540000}" for "USB"). One table, sysfs_classes.cpp.
struct SetupClass {
    const char* name;
    const char* guid;
};
SetupClass interface_class(uint8_t cls, uint8_t subclass, uint8_t protocol);
// The class of a whole device from its device descriptor and the active configuration set:
// a composite device (device class 0, or the interface-association triple EF/02/01, with more
// than one interface) is "USB"; otherwise its device class, or its first interface's class
// when the device class is 0 or EF. `composite` says which it was.
SetupClass device_class(const std::string& device_descriptor, const std::string& configuration, bool& composite);
// The setup class of disks and CD-ROM drives.
SetupClass disk_class(bool cdrom);

// One USB device (or root hub) as read from sysfs and udev.
struct UsbDevice {
    std::string name;        // "1-1.2", "usb1"
    uint32_t bus = 0, devnum = 0;
    std::string descriptors; // the `descriptors` file
    std::optional<std::string> manufacturer, product, serial, configuration_string;
    std::vector<std::pair<uint32_t, std::string>> interface_strings; // iInterface → `interface`
    std::string speed;       // `speed`, Mbit/s as text
    uint32_t maxchild = 0;
    uint32_t configuration = 0; // bConfigurationValue
    std::string removable;
    // udev
    std::string model_from_database, vendor_from_database, serial_short;
    // A root hub's parent (the host controller).
    std::string parent_name, parent_vendor, parent_device, parent_model;
    // usbfs strings: the language list as sent, then each index by language (no value: failed).
    std::optional<std::string> languages;
    std::vector<std::pair<uint32_t, std::vector<std::pair<uint16_t, std::optional<std::string>>>>> strings;
};

// The machine-model text of these devices and disks (pure: no I/O).
std::string machine_json(const std::vector<UsbDevice>& devices, const std::vector<Disk>& disks);

// The bConfigurationValue the kernel sets on a device that has none yet (its choice when the
// device is authorized): the first configuration whose first interface is not vendor-specific
// (a vendor-specific device: the first), an RNDIS or ActiveSync first configuration of a device
// that offers more being kept only when nothing better follows. 0 when it offers none. The power
// budget, which the kernel weighs too, is not known here: a device whose every configuration
// draws more than its port gives is rare, and then the first is taken as well.
uint32_t chosen_configuration(std::string_view descriptors);

// The physical device object name of the entry of a sysfs USB device ("\Device\USBPDO-1-1.2"),
// and back: the sysfs name of an entry's PDO name, empty when it names no sysfs USB device.
std::u16string pdo_name(const std::string& sysfs_name);
std::string sysfs_name_of(std::u16string_view pdo);

// A device's record kept between reads, with what tells it from a device plugged anew in its
// place, or from itself before all its files were there: its directory (inode and time of its
// last change), its address (`devnum`) and its active configuration.
struct CachedDevice {
    uint64_t inode = 0;
    int64_t modified_ns = 0;
    uint32_t devnum = 0, configuration = 0;
    UsbDevice device;
    bool usbfs_asked = false; // its strings were asked through usbfs
    bool udev_final = false;  // udev had described it (or no udev daemon runs to do it later)
};
using DeviceCache = std::map<std::string, CachedDevice>; // by sysfs name

// A udev context and the machine's hardware database, each opened when first needed and kept.
class UdevContext {
public:
    UdevContext() = default;
    ~UdevContext();
    UdevContext(const UdevContext&) = delete;
    UdevContext& operator=(const UdevContext&) = delete;
    udev* get();                     // null when udev cannot be had
    udev_hwdb* hardware_database(); // null when the machine has none (looked for again later)

private:
    udev* udev_ = nullptr;
    bool tried_ = false;
    udev_hwdb* hwdb_ = nullptr;
    int64_t hwdb_looked_ms_ = -1;
};

// Reads single devices of /sys/bus/usb/devices, one after another, each as the machine of that
// device and the hubs above it: machine_json(name) reads the device `name` ("1-1.2") and those
// hubs, each from its own folder (nothing else of the bus is listed or read, no disks), and gives
// machine-model text. The device's entry there is the one the whole machine's text gives it,
// field for field, but for what depends on other devices (its instance number in the device tree,
// the controller's index, the volumes below it). No value when the device or a hub above it is
// gone or not all there yet, with `why` saying which. A hub above that udev has described is read
// once and kept while its folder and address and configuration stay the same (looked at again at
// most every 100 ms); the udev context and the hardware database are kept between devices.
class DeviceReader {
public:
    explicit DeviceReader(bool usbfs = true) : usbfs_(usbfs) {}
    std::optional<std::string> machine_json(const std::string& name, std::string& why);

private:
    // A hub above the devices read: what tells it from a hub plugged anew in its place (its
    // folder, address and configuration), its record, and when that was last looked at.
    struct KnownHub {
        uint64_t inode = 0;
        uint32_t devnum = 0, configuration = 0;
        UsbDevice device;
        int64_t looked_ms = 0;
    };
    bool usbfs_;
    UdevContext udev_;
    std::map<std::string, KnownHub> hubs_; // by sysfs name
    int64_t udev_looked_ms_ = -1;
    bool udev_runs_ = false;
};

// The USB devices of /sys/bus/usb/devices, with udev's properties when udev answers, and usbfs
// strings when `usbfs` is true. With a `cache`, a device whose directory, address and active
// configuration are as its record there found them is not read again: neither its sysfs files,
// nor its strings through usbfs, nor udev's properties once udev had described it (until then
// udev's part is read at every look, since udev describes a device a moment after the kernel
// announced it); the cache is left holding the devices of this read. `partial` tells whether a
// listed device could not be read (gone, or its files not all there yet).
std::vector<UsbDevice> read_usb_devices(bool usbfs, DeviceCache* cache = nullptr, bool* partial = nullptr);

// The strings of a device through usbfs; false (and nothing set) when the node cannot be opened
// or does not give its language list.
bool read_usbfs_strings(const std::string& node, UsbDevice& device);

// What tells one set of devices from another without reading them whole: the names and inode
// numbers of /sys/bus/usb/devices and /sys/class/block, and the inode and time of last change of
// each USB device's directory (a device plugged again under the same name gets a new directory;
// a device whose files are still being added, as a testbed adds them, changes its directory).
uint64_t sysfs_stamp();

// The running machine as a model store. Its stamp is sysfs_stamp (re-taken at most every
// `recheck_ms`, so that questions asked outside a walk take it a few times instead of thousands:
// a device plugged meanwhile appears on the next look, as if plugged a moment later), and taken
// anew when a walk begins (look_again), so that a walk begun after a change sees it. Reading it
// lists sysfs and reads the devices not read before (read_usb_devices with the store's cache) and
// the disks; a read that missed a listed device changes the next stamp, so that it is read again.
// Volume requests go to sysfs_volumes.h.
class SysfsStore final : public model::Store {
public:
    using RootFn = std::function<std::string()>;
    explicit SysfsStore(RootFn platform_root, int recheck_ms = 20, bool usbfs = true);
    Error stamp(model::Stamp& stamp, bool& settled) override;
    Error read(std::string& bytes, size_t limit) override;
    Error replace(std::string_view) override;
    void look_again() override { taken_ms_ = -1; }
    std::optional<Error> lock_volume(char16_t letter) override;
    std::optional<Error> dismount_volume(char16_t letter) override;
    std::optional<Error> eject_volume(char16_t letter) override;

private:
    RootFn platform_root_;
    int recheck_ms_;
    bool usbfs_;
    int64_t taken_ms_ = -1;
    uint64_t stamp_ = 0;
    DeviceCache cache_;
    bool partial_ = false;
    uint64_t partial_reads_ = 0;
};

} // namespace platform::posix::sysfs
