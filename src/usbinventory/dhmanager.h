// DHManager: one open handle to a USB host controller ("\\\\.\\HCD%d"), a hub ("\\\\.\\" + its
// name), a volume ("\\\\.\\E:") or a disk interface, and the device I/O control requests the
// inventory sends it; plus, as static members, the device-node getters over the device tree.
//
// Contract:
// - Every operation returns a Windows error code (0 success) and, on failure, fills the caller's
//   status_text; the output is left unchanged on failure (GetConnectionInfo excepted: the record is
//   filled before CompleteFileInfo may fail).
// - A request on a closed object: "<Operation>: połączenie nie otwarte", 1167. Open on an open
//   object: "Obiekt DHManager jest aktualnie otwarty", 2404, the first handle kept.
// - Replies are trusted only as far as the bytes returned: a name record whose stated length is
//   below its fixed part, above 64 KB or beyond the bytes returned, a connection record shorter
//   than its fixed part or with more than max_pipes pipes, a pipe count that keeps growing past
//   the bounded retries, a configuration probe shorter than 9 bytes of configuration or a
//   wTotalLength below 9 are malformed: 1359 (or the system's error when it gave one) with the
//   operation's message.
// - A name probe that fails is a failure (its code, 1359 when the system gave none).
// - Device-node getters need no handle; they return configuration-manager codes (1168 from
//   GetDevInst when no node has the driver key). The tree walk is bounded and stops at a relative
//   that is the node itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/errors.h"
#include "usbinventory/descriptors.h"

namespace ZelmUsbVardoManager {

namespace usb_ioctl = platform::usb_ioctl;

// USB_NODE_INFORMATION of a hub (76 bytes).
struct UsbNodeInformation {
    static constexpr size_t wire_size = 76;
    uint32_t NodeType = 0; // 0 hub, 1 composite parent
    uint8_t bDescriptorLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bNumberOfPorts = 0;
    uint16_t wHubCharacteristics = 0;
    uint8_t bPowerOnToPowerGood = 0;
    uint8_t bHubControlCurrent = 0;
    std::array<uint8_t, 64> bRemoveAndPowerMask{};
    uint8_t HubIsBusPowered = 0;
};

// STORAGE_DEVICE_NUMBER.
struct StorageDeviceNumber {
    uint32_t DeviceType = 0;
    uint32_t DeviceNumber = 0;
    uint32_t PartitionNumber = 0;
};

class DHManager {
public:
    static constexpr uint64_t closed = ~uint64_t(0);
    // Read access and sharing every caller passes.
    static constexpr uint32_t generic_read = 0x80000000u;
    static constexpr uint32_t share_all = 7;
    // A hub reports at most this many open pipes; more is a malformed reply.
    static constexpr uint32_t max_pipes = 256;
    // Growing pipe counts are followed this many times, then the reply counts as malformed.
    static constexpr int max_connection_tries = 8;
    // The longest name record accepted.
    static constexpr uint32_t max_name_bytes = 65536;

    DHManager() = default;
    virtual ~DHManager();
    DHManager(const DHManager&) = delete;
    DHManager& operator=(const DHManager&) = delete;

    uint32_t Open(const std::u16string& path, std::u16string& status_text, uint32_t access = generic_read,
                  uint32_t sharing = share_all);
    uint32_t Close();
    bool IsOpen() const { return handle_ != closed && handle_ != 0; }

    uint32_t GetHcdDriverKeyName(std::u16string& name, std::u16string& status_text);
    uint32_t GetRootHubNameForHost(std::u16string& name, std::u16string& status_text);
    uint32_t GetNodeInfoForHub(UsbNodeInformation& info, std::u16string& status_text);
    uint32_t GetConnectionInfo(const DriverKeyMap& driver_keys, uint32_t connection_index,
                               UsbNodeConnectionInformationEx& record, std::u16string& status_text);
    uint32_t GetConnectionDriverKeyName(uint32_t connection_index, std::u16string& name, std::u16string& status_text);
    uint32_t GetConnectionName(uint32_t connection_index, std::u16string& name, std::u16string& status_text);
    uint32_t GetConnectionStringDescriptor(uint32_t connection_index, uint32_t descriptor_index, uint16_t language,
                                           std::u16string& text, std::u16string& status_text);
    // Languages 0x0409, 0x0000, 0x0001 in turn; the first non-empty text wins.
    uint32_t GetConnectionStringDescriptor(uint32_t connection_index, uint32_t descriptor_index, std::u16string& text,
                                           std::u16string& status_text);
    uint32_t GetConnectionConfigDescriptor(uint32_t connection_index, uint32_t config_index,
                                           UsbConfigurationDescriptor& out, std::u16string& status_text);
    uint32_t GetStorageDeviceNumber(StorageDeviceNumber& number, std::u16string& status_text);

    // --- device-node getters (no handle) ---------------------------------------------------------
    static uint32_t GetDeviceInstancesMap(DriverKeyMap& map, std::u16string& status_text);
    static uint32_t GetDevInst(const std::u16string& driver_key, uint32_t& devinst, std::u16string& status_text);
    static uint32_t GetDeviceDesc(uint32_t devinst, std::u16string& text, std::u16string& status_text);
    static uint32_t GetDeviceID(uint32_t devinst, std::u16string& text, std::u16string& status_text);
    static uint32_t GetDeviceLocation(uint32_t devinst, std::u16string& text, std::u16string& status_text);
    static uint32_t GetDeviceRegProp(uint32_t devinst, uint32_t property, std::u16string& text,
                                     std::u16string& status_text);
    static uint32_t GetDeviceRegProp(uint32_t devinst, uint32_t property, std::vector<uint8_t>& bytes,
                                     std::u16string& status_text);

private:
    // One request with `buffer` as input and output; the bytes returned in `returned`.
    uint32_t control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t& returned);
    uint32_t control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t input_size, uint32_t& returned);
    // The two-request name protocol; `fixed` is the size before the name (4 or 8).
    uint32_t get_name(uint32_t code, size_t fixed, const uint32_t* connection_index, std::u16string& name,
                      bool& probe_failed);
    bool not_open(const char16_t* operation, std::u16string& status_text) const;

    uint64_t handle_ = closed;
};

// The last error to report: the system's when it gave one, 1359 otherwise.
inline uint32_t error_or_internal(uint32_t e) { return e != 0 ? e : platform::err::internal_error; }

} // namespace ZelmUsbVardoManager
