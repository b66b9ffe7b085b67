// The records of one hub port: the standard USB descriptors of the device on it (device,
// configuration, interface, endpoint), its strings, its open pipes and the port's connection data,
// each turned into its JsonHolder object for the device list.
//
// Contract:
// - Records are values: copies are deep; a default record has every number 0 and every text and
//   list empty.
// - Raw bytes are read field by field at the little-endian wire offsets of the USB and hub
//   layouts, and only inside the span given: a span shorter than a record leaves the missing
//   fields 0, never reads past it.
// - A configuration set is walked by each descriptor's own bLength and bDescriptorType:
//   interface descriptors (type 4) start interfaces, endpoint descriptors (type 5) are the
//   endpoints of the interface before them, anything else (HID, class-specific, interface
//   association, 9-byte audio endpoints' extra bytes) is stepped over. The walk stops at the end of
//   the bytes, at wTotalLength, at a descriptor whose length is below 2 or runs past the end, and
//   after the first bNumInterfaces interface descriptors; what was read before stays.
// - ToJson/ToJsonHolder make the target an empty object and add the members; JsonHolder errors
//   are thrown as JsonHolderException and not caught here.
// - CompleteStrings fetches the texts through the hub (language fallback 0x0409, 0, 1); a text that
//   cannot be fetched stays as it was. Returns 0 or the code of the last failed fetch (informative).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "json/holder/json_holder.h"

namespace ZelmUsbVardoManager {

class DHManager;

// Descriptor types of the configuration walk.
namespace usb_descriptor {
constexpr uint8_t device = 1;
constexpr uint8_t configuration = 2;
constexpr uint8_t string = 3;
constexpr uint8_t interface = 4;
constexpr uint8_t endpoint = 5;
} // namespace usb_descriptor

// Driver key name -> device node.
using DriverKeyMap = std::map<std::u16string, uint32_t>;

class UsbEndpointDescriptor {
public:
    static constexpr size_t wire_size = 7;
    UsbEndpointDescriptor() = default;
    explicit UsbEndpointDescriptor(std::span<const uint8_t> raw) { assign(raw); }
    virtual ~UsbEndpointDescriptor() = default;
    void assign(std::span<const uint8_t> raw);
    JsonHolder& ToJson(JsonHolder& target) const;

    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0;
    uint8_t bInterval = 0;
};

class UsbPipeInfo {
public:
    static constexpr size_t wire_size = 11;
    UsbPipeInfo() = default;
    explicit UsbPipeInfo(std::span<const uint8_t> raw);
    virtual ~UsbPipeInfo() = default;
    JsonHolder& ToJson(JsonHolder& target) const;

    UsbEndpointDescriptor EndpointDescriptor;
    uint32_t ScheduleOffset = 0;
};

class UsbInterfaceDescriptor {
public:
    static constexpr size_t wire_size = 9;
    UsbInterfaceDescriptor() = default;
    virtual ~UsbInterfaceDescriptor() = default;
    // The nine fields of the interface descriptor; the text and the endpoints are cleared (the
    // configuration walk appends the endpoints it finds after it).
    void assign(std::span<const uint8_t> raw);
    JsonHolder& ToJsonHolder(JsonHolder& target) const;
    uint32_t CompleteStrings(DHManager& hub, uint32_t connection_index);

    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bNumEndpoints = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::u16string Interface;
    std::vector<UsbEndpointDescriptor> EndPoints;
};

class UsbConfigurationDescriptor {
public:
    static constexpr size_t wire_size = 9;
    UsbConfigurationDescriptor() = default;
    virtual ~UsbConfigurationDescriptor() = default;
    // `set` is the whole configuration set as the device returned it (the configuration descriptor
    // first). The walk is described at the top of this header.
    void assign(std::span<const uint8_t> set);
    JsonHolder& ToJsonHolder(JsonHolder& target) const;
    uint32_t CompleteStrings(DHManager& hub, uint32_t connection_index);

    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t wTotalLength = 0;
    uint8_t bNumInterfaces = 0;
    uint8_t bConfigurationValue = 0;
    uint8_t iConfiguration = 0;
    uint8_t bmAttributes = 0;
    uint8_t MaxPower = 0;
    std::u16string Configuration;
    std::vector<UsbInterfaceDescriptor> Interfaces;
};

class UsbDeviceDescriptor {
public:
    static constexpr size_t wire_size = 18;
    UsbDeviceDescriptor() = default;
    virtual ~UsbDeviceDescriptor() = default;
    // Copies the 18 bytes, clears the texts, then reads configurations 0 .. bNumConfigurations-1
    // through the hub (when `hub` is given); the first one that cannot be read ends the reading.
    void assign(std::span<const uint8_t> raw, DHManager* hub, uint32_t connection_index);
    JsonHolder& ToJsonHolder(JsonHolder& target) const;
    uint32_t CompleteStrings(DHManager& hub, uint32_t connection_index);

    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t bcdUSB = 0;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = 0;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t bNumConfigurations = 0;
    std::u16string Manufacturer;
    std::u16string Product;
    std::u16string SerialNumber;
    std::vector<UsbConfigurationDescriptor> Configurations;
};

// One hub port: USB_NODE_CONNECTION_INFORMATION_EX and what is gathered for it.
class UsbNodeConnectionInformationEx {
public:
    static constexpr size_t fixed_size = 35; // the record without its pipe list
    UsbNodeConnectionInformationEx() = default;
    virtual ~UsbNodeConnectionInformationEx() = default;
    // `raw` is the reply of the hub: the fixed part and then as many 11-byte pipe records as it
    // holds, at most NumberOfOpenPipes of them.
    void assign(std::span<const uint8_t> raw, DHManager* hub);
    JsonHolder& ToJsonHolder(JsonHolder& target) const;
    // The device descriptor's texts, then the two fallbacks from the device node: the serial number
    // from the instance identifier after its last "\\", the manufacturer from the MFG property.
    uint32_t CompleteStrings(DHManager& hub);
    // Driver key name, device node and its description, identifier and location, connection name.
    uint32_t CompleteFileInfo(const DriverKeyMap& driver_keys, DHManager& hub, std::u16string& status_text);

    uint32_t ConnectionIndex = 0;
    UsbDeviceDescriptor DeviceDescriptor;
    uint8_t CurrentConfigurationValue = 0;
    uint8_t Speed = 0;
    uint8_t DeviceIsHub = 0;
    uint16_t DeviceAddress = 0;
    uint32_t NumberOfOpenPipes = 0;
    uint32_t ConnectionStatus = 0;
    std::vector<UsbPipeInfo> PipeList;
    std::u16string DriverKeyName;
    std::u16string NodeName;
    std::u16string DeviceDesc;
    std::u16string DeviceId;
    uint32_t DevInst = 0;
    std::u16string DeviceLocation;
};

// The name of a USB_CONNECTION_STATUS value.
const char16_t* ConnectionStatusNameW(uint32_t status);

// Little-endian field readers over a span; a field that does not lie wholly inside gives 0.
namespace wire {
uint8_t u8(std::span<const uint8_t> b, size_t at);
uint16_t u16(std::span<const uint8_t> b, size_t at);
uint32_t u32(std::span<const uint8_t> b, size_t at);
void put_u16(std::span<uint8_t> b, size_t at, uint16_t v);
void put_u32(std::span<uint8_t> b, size_t at, uint32_t v);
} // namespace wire

// JsonHolder building helpers: add a member and hand its ownership to the object safely.
namespace json_build {
JsonHolder& add(JsonHolder& object, const std::u16string& name, double number);
JsonHolder& add(JsonHolder& object, const std::u16string& name, const std::u16string& text);
JsonHolder& add_bool(JsonHolder& object, const std::u16string& name, bool value);
JsonHolder& add_object(JsonHolder& object, const std::u16string& name);
JsonHolder& add_array(JsonHolder& object, const std::u16string& name);
JsonHolder& append_object(JsonHolder& array);
JsonHolder& append(JsonHolder& array, const std::u16string& text);
JsonHolder& append(JsonHolder& array, double number);
} // namespace json_build

} // namespace ZelmUsbVardoManager
