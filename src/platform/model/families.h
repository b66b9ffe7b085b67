// The platform families the machine model answers, over one Engine.
//
// ModelDevices and ModelDeviceTree answer their whole family. ModelFiles and ModelSystem wrap the
// families they are given and answer only from the machine: the drive type of a letter, and the
// uptime when the machine file gives its boot time (`booted_at`); everything else goes to the
// wrapped family unchanged. A test of the Windows build installs them with platform::Override:
//
//     model::Engine engine(std::make_unique<model::PathStore>(folder / "machine.json"));
//     model::ModelDevices devices(engine);
//     platform::Override<platform::Devices> o(&platform::Platform::devices, devices);
#pragma once

#include "platform/devices.h"
#include "platform/devicetree.h"
#include "platform/files.h"
#include "platform/forwarding.h"
#include "platform/model/engine.h"
#include "platform/handle_table.h"
#include "platform/system.h"

namespace platform::model {

// The model answers the volume codes of platform::ioctl and the inventory's requests.
namespace usb_ioctl = platform::usb_ioctl;

// ERROR_DEVICE_NOT_CONNECTED: a handle whose device left the machine since it was opened.
constexpr Error device_not_connected = err::device_not_connected;

// Opens "\\\\.\\HCDn", "\\\\.\\<hub name>", "\\\\.\\E:" and disk interface paths ("\\\\?\\..."),
// names ignoring case; 2 for any other path or a device not in the machine (an ejected volume).
// Requests on a handle are answered from the machine as it is at that moment.
class ModelDevices final : public Devices {
public:
    explicit ModelDevices(Engine& engine) : engine_(engine) {}
    Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               uint32_t flags_and_attributes, Handle& device) override;
    Error control(Handle device, uint32_t code, const void* input, uint32_t input_size, void* output,
                  uint32_t output_size, uint32_t& returned) override;
    Error close(Handle device) override;

    enum class Kind { controller, hub, volume, disk };
    struct Target {
        Kind kind = Kind::controller;
        uint32_t index = 0;   // controller index
        std::u16string key;   // hub name or interface path, lower-cased
        char16_t letter = 0;  // volume
        bool locked = false;
    };

private:
    Engine& engine_;
    HandleTable<Target> handles_{0x2000};
};

class ModelDeviceTree final : public DeviceTree {
public:
    explicit ModelDeviceTree(Engine& engine) : engine_(engine) {}
    uint32_t locate_root(DevNode& root) override;
    uint32_t child(DevNode node, DevNode& result) override;
    uint32_t sibling(DevNode node, DevNode& result) override;
    uint32_t parent(DevNode node, DevNode& result) override;
    uint32_t device_id_size(DevNode node, uint32_t& length) override;
    uint32_t device_id(DevNode node, uint32_t buffer_length, std::u16string& id) override;
    uint32_t registry_property(DevNode node, uint32_t property, uint32_t& type, std::span<uint8_t> buffer,
                               uint32_t& length) override;
    Error get_class_devs(const Guid& guid, uint32_t flags, Handle& set) override;
    Error enum_device_info(Handle set, uint32_t index, DeviceInfo& info) override;
    Error enum_device_interfaces(Handle set, const Guid& guid, uint32_t index, DeviceInterface& iface) override;
    Error interface_detail(Handle set, const DeviceInterface& iface, uint32_t buffer_size, uint32_t& required_size,
                           std::u16string& device_path) override;
    Error destroy_info_list(Handle set) override;
    // The engine's pin: the version of the machine file at begin_walk answers this thread, for
    // the tree and for the handles of the devices family over the same engine, until end_walk.
    void begin_walk() override { engine_.pin(); }
    void end_walk() override { engine_.unpin(); }

    struct Set {
        std::shared_ptr<const Machine> machine;
        bool interfaces = false;
        Guid guid;
        std::vector<DevNode> nodes;
    };

private:
    uint32_t relative(DevNode node, DevNode Node::*which, DevNode& result);
    Engine& engine_;
    HandleTable<Set> sets_{0x2000};
};

class ModelFiles final : public ForwardingFiles {
public:
    ModelFiles(Engine& engine, Files& inner) : ForwardingFiles(inner), engine_(engine) {}
    // The type of the machine's volume on that letter ("E:\\" or "E:"); DRIVE_NO_ROOT_DIR when
    // the machine has none there.
    uint32_t drive_type(const std::u16string& root) override;

private:
    Engine& engine_;
};

// The drive type of a root from a machine (shared by ModelFiles and the posix files family).
uint32_t drive_type_of(const View& view, std::u16string_view root);

class ModelSystem final : public ForwardingSystem {
public:
    ModelSystem(Engine& engine, System& inner) : ForwardingSystem(inner), engine_(engine) {}
    uint32_t tick_count() override { return uint32_t(tick_count64()); }
    // Now minus the machine's boot time when it gives one; the wrapped family's otherwise.
    uint64_t tick_count64() override;

private:
    Engine& engine_;
};

// Milliseconds since the machine's boot when the machine gives its boot time: now (Unix
// milliseconds) minus booted_at, 0 when that lies in the future.
std::optional<uint64_t> uptime_of(const Machine& m, int64_t now_unix_ms);

} // namespace platform::model
