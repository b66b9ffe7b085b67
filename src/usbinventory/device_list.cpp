// The list of USB devices present: every host controller, its root hub and every hub below it,
// one entry per connected device, hubs included, in depth-first pre-order.
#include <memory>

#include "drivercontrol/manager.h"
#include "platform/devicetree.h"
#include "platform/platform.h"
#include "text/text.h"
#include "usbinventory/device_info.h"
#include "usbinventory/devnode.h"
#include "usbinventory/dhmanager.h"

namespace ZelmUsbVardoManager {

namespace {
// A walk this deep is a hub that lists itself (a broken tree), which must not exhaust the stack;
// USB allows five hubs between a root hub and a device, so no real tree comes near it.
constexpr int max_hub_depth = 16;
constexpr uint32_t connected = 1;

// The error of a JsonHolderException as the list reports it.
uint32_t json_failure(const JsonHolderException& e, std::u16string& status_text)
{
    status_text = e.message;
    return e.code != 0 ? e.code : platform::err::internal_error;
}

uint32_t append_entry(uint32_t port, const UsbNodeConnectionInformationEx& connection, bool is_hub,
                      JsonHolder& list, const DriveLettersMap& drive_letters, std::u16string& status_text)
{
    try {
        DeviceInfoJson info;
        const uint32_t r = info.MakeInfo(port, connection, is_hub, drive_letters, status_text);
        if (r == 0) {
            std::unique_ptr<JsonHolder> entry(info.json().Clone());
            list.Add(entry.get());
            entry.release();
        }
        return r;
    } catch (const JsonHolderException& e) {
        return json_failure(e, status_text);
    }
}

uint32_t device_json(const DriverKeyMap& driver_keys, uint32_t port, UsbNodeConnectionInformationEx& connection,
                     JsonHolder& list, const DriveLettersMap& drive_letters, std::u16string& status_text, int depth)
{
    if (connection.DeviceIsHub == 0)
        return append_entry(port, connection, false, list, drive_letters, status_text);

    DHManager hub;
    if (const uint32_t r = hub.Open(u"\\\\.\\" + connection.NodeName, status_text)) return r;
    UsbNodeInformation node;
    if (const uint32_t r = hub.GetNodeInfoForHub(node, status_text)) return r;
    const bool is_hub = node.NodeType == 0;
    uint32_t r = append_entry(port, connection, is_hub, list, drive_letters, status_text);
    if (!is_hub) return r;
    if (depth >= max_hub_depth) {
        status_text = u"GetUSBDeviceJSON: zbyt głębokie zagnieżdżenie koncentratorów";
        return platform::err::internal_error;
    }
    for (uint32_t child = 1; child <= node.bNumberOfPorts; ++child) {
        UsbNodeConnectionInformationEx record;
        std::u16string local;
        if (hub.GetConnectionInfo(driver_keys, child, record, local) != 0 || record.ConnectionStatus != connected)
            continue;
        r = device_json(driver_keys, child, record, list, drive_letters, status_text, depth + 1);
    }
    return r;
}

// The controller's node by its driver key, without regard to case, from the map already built: a
// walk of the whole tree per controller would make the list cost controllers x nodes requests.
bool controller_node(const DriverKeyMap& driver_keys, const std::u16string& key, uint32_t& devinst)
{
    if (auto it = driver_keys.find(key); it != driver_keys.end()) {
        devinst = it->second;
        return true;
    }
    const std::u16string wanted = text::to_lower(key);
    for (const auto& [name, node] : driver_keys)
        if (text::to_lower(name) == wanted) {
            devinst = node;
            return true;
        }
    return false;
}

// One host controller: its driver key must lead to a described device node and a root hub; the
// root hub's connected ports are listed.
void list_controller(int32_t index, const DriverKeyMap& driver_keys, const DriveLettersMap& drive_letters,
                     JsonHolder& list, std::u16string& status_text)
{
    std::u16string local, root_hub_name;
    {
        DHManager controller;
        if (controller.Open(text::format(u"\\\\.\\HCD%d", index), local) != 0) return;
        std::u16string key, description;
        uint32_t devinst = 0;
        if (controller.GetHcdDriverKeyName(key, local) != 0 || !controller_node(driver_keys, key, devinst) ||
            DHManager::GetDeviceDesc(devinst, description, local) != 0 ||
            controller.GetRootHubNameForHost(root_hub_name, local) != 0)
            return;
    }
    DHManager root_hub;
    if (root_hub.Open(u"\\\\.\\" + root_hub_name, status_text) != 0) return;
    UsbNodeInformation node;
    if (root_hub.GetNodeInfoForHub(node, status_text) != 0 || node.NodeType != 0) return;
    for (uint32_t port = 1; port <= node.bNumberOfPorts; ++port) {
        UsbNodeConnectionInformationEx connection;
        if (root_hub.GetConnectionInfo(driver_keys, port, connection, status_text) != 0 ||
            connection.ConnectionStatus != connected)
            continue;
        device_json(driver_keys, port, connection, list, drive_letters, status_text, 1);
    }
}
} // namespace

uint32_t Manager::GetUSBDeviceJSON(const std::map<std::u16string, uint32_t>& driverKeys, uint32_t port,
                                   UsbNodeConnectionInformationEx& connection, JsonHolder& list,
                                   const std::map<std::u16string, std::u16string>& driveLetters,
                                   std::u16string& status_text)
{
    try {
        return device_json(driverKeys, port, connection, list, driveLetters, status_text, 0);
    } catch (const JsonHolderException& e) {
        return json_failure(e, status_text);
    }
}

uint32_t Manager::GetCurrentUSBDevicesJSONList(int32_t hostControllers, JsonHolder& list, std::u16string& status_text)
{
    // The driver keys, the drive letters and the hubs describe one moment of the machine: a
    // drive whose letters came from an earlier moment than its hub port would be listed without
    // them, as a device that holds no drive.
    const platform::DeviceWalk walk(platform::devicetree());
    DriverKeyMap driver_keys;
    if (const uint32_t r = DHManager::GetDeviceInstancesMap(driver_keys, status_text)) return r;
    DriveLettersMap drive_letters;
    if (const uint32_t r = DevNode::GetVolumesInfo(drive_letters, status_text)) return r;
    try {
        JsonHolder result = JsonHolder::CreateArray();
        for (int32_t i = 0; i < hostControllers; ++i) list_controller(i, driver_keys, drive_letters, result, status_text);
        list = result;
    } catch (const JsonHolderException& e) {
        return json_failure(e, status_text);
    } catch (const std::bad_alloc&) {
        status_text = u"GetCurrentUSBDevicesJSONList: brak pamięci";
        return platform::err::not_enough_memory;
    }
    return 0;
}

uint32_t Manager::GetCurrentUSBDevicesJSONListText(int32_t hostControllers, std::u16string& text,
                                                   std::u16string& status_text)
{
    try {
        JsonHolder list;
        if (const uint32_t r = GetCurrentUSBDevicesJSONList(hostControllers, list, status_text)) return r;
        text = list.ToString();
        return 0;
    } catch (const JsonHolderException& e) {
        return json_failure(e, status_text);
    } catch (const std::bad_alloc&) {
        status_text = u"GetCurrentUSBDevicesJSONListText: brak pamięci";
        return platform::err::not_enough_memory;
    }
}

} // namespace ZelmUsbVardoManager
