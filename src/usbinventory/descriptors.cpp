#include "usbinventory/descriptors.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/devicetree.h"
#include "platform/le_fields.h"
#include "usbinventory/dhmanager.h"

namespace ZelmUsbVardoManager {

namespace wire {
uint8_t u8(std::span<const uint8_t> b, size_t at)
{
    return at < b.size() ? b[at] : 0;
}
uint16_t u16(std::span<const uint8_t> b, size_t at)
{
    if (at > b.size() || b.size() - at < 2) return 0;
    return platform::le::get_u16(b.data() + at);
}
uint32_t u32(std::span<const uint8_t> b, size_t at)
{
    if (at > b.size() || b.size() - at < 4) return 0;
    return platform::le::get_u32(b.data() + at);
}
void put_u16(std::span<uint8_t> b, size_t at, uint16_t v)
{
    platform::le::put_u16(b.subspan(at, 2).data(), v);
}
void put_u32(std::span<uint8_t> b, size_t at, uint32_t v)
{
    platform::le::put_u32(b.subspan(at, 4).data(), v);
}
} // namespace wire

namespace json_build {
namespace {
JsonHolder& adopt(JsonHolder& object, const std::u16string& name, std::unique_ptr<JsonHolder> value)
{
    JsonHolder* added = object.Add(name, value.get());
    value.release();
    return *added;
}
JsonHolder& adopt(JsonHolder& array, std::unique_ptr<JsonHolder> value)
{
    JsonHolder* added = array.Add(value.get());
    value.release();
    return *added;
}
} // namespace
JsonHolder& add(JsonHolder& object, const std::u16string& name, double number)
{
    return adopt(object, name, std::make_unique<JsonHolder>(number));
}
JsonHolder& add(JsonHolder& object, const std::u16string& name, const std::u16string& text)
{
    return adopt(object, name, std::make_unique<JsonHolder>(text));
}
JsonHolder& add_bool(JsonHolder& object, const std::u16string& name, bool value)
{
    return adopt(object, name, std::make_unique<JsonHolder>(value));
}
JsonHolder& add_object(JsonHolder& object, const std::u16string& name)
{
    return adopt(object, name, std::make_unique<JsonHolder>(new JsonHolder::ObjectType));
}
JsonHolder& add_array(JsonHolder& object, const std::u16string& name)
{
    return adopt(object, name, std::make_unique<JsonHolder>(new JsonHolder::ArrayType));
}
JsonHolder& append_object(JsonHolder& array)
{
    return adopt(array, std::make_unique<JsonHolder>(new JsonHolder::ObjectType));
}
JsonHolder& append(JsonHolder& array, const std::u16string& text)
{
    return adopt(array, std::make_unique<JsonHolder>(text));
}
JsonHolder& append(JsonHolder& array, double number)
{
    return adopt(array, std::make_unique<JsonHolder>(number));
}
} // namespace json_build

using namespace json_build;

namespace {
void make_object(JsonHolder& target)
{
    target = JsonHolder::CreateObject();
}

// The text of string descriptor `index` into `field` when it can be fetched; 0 or the fetch's code.
uint32_t complete(DHManager& hub, uint32_t connection_index, uint8_t index, std::u16string& field)
{
    if (index == 0) {
        field.clear();
        return 0;
    }
    std::u16string text, error;
    const uint32_t r = hub.GetConnectionStringDescriptor(connection_index, index, text, error);
    if (r == 0) field = text;
    return r;
}
} // namespace

// --- endpoint, pipe --------------------------------------------------------------------------------

void UsbEndpointDescriptor::assign(std::span<const uint8_t> raw)
{
    bLength = wire::u8(raw, 0);
    bDescriptorType = wire::u8(raw, 1);
    bEndpointAddress = wire::u8(raw, 2);
    bmAttributes = wire::u8(raw, 3);
    wMaxPacketSize = wire::u16(raw, 4);
    bInterval = wire::u8(raw, 6);
}

JsonHolder& UsbEndpointDescriptor::ToJson(JsonHolder& target) const
{
    make_object(target);
    add(target, u"bLength", bLength);
    add(target, u"bDescriptorType", bDescriptorType);
    add(target, u"bEndpointAddress", bEndpointAddress);
    add(target, u"bmAttributes", bmAttributes);
    add(target, u"wMaxPacketSize", wMaxPacketSize);
    add(target, u"bInterval", bInterval);
    return target;
}

UsbPipeInfo::UsbPipeInfo(std::span<const uint8_t> raw)
{
    EndpointDescriptor.assign(raw.first(std::min(raw.size(), UsbEndpointDescriptor::wire_size)));
    ScheduleOffset = wire::u32(raw, 7);
}

JsonHolder& UsbPipeInfo::ToJson(JsonHolder& target) const
{
    make_object(target);
    EndpointDescriptor.ToJson(add_object(target, u"EndpointDescriptor"));
    add(target, u"ScheduleOffset", ScheduleOffset);
    return target;
}

// --- interface -------------------------------------------------------------------------------------

void UsbInterfaceDescriptor::assign(std::span<const uint8_t> raw)
{
    bLength = wire::u8(raw, 0);
    bDescriptorType = wire::u8(raw, 1);
    bInterfaceNumber = wire::u8(raw, 2);
    bAlternateSetting = wire::u8(raw, 3);
    bNumEndpoints = wire::u8(raw, 4);
    bInterfaceClass = wire::u8(raw, 5);
    bInterfaceSubClass = wire::u8(raw, 6);
    bInterfaceProtocol = wire::u8(raw, 7);
    iInterface = wire::u8(raw, 8);
    Interface.clear();
    EndPoints.clear();
}

JsonHolder& UsbInterfaceDescriptor::ToJsonHolder(JsonHolder& target) const
{
    make_object(target);
    add(target, u"bLength", bLength);
    add(target, u"bDescriptorType", bDescriptorType);
    add(target, u"bInterfaceNumber", bInterfaceNumber);
    add(target, u"bAlternateSetting", bAlternateSetting);
    add(target, u"bNumEndpoints", bNumEndpoints);
    add(target, u"bInterfaceClass", bInterfaceClass);
    add(target, u"bInterfaceSubClass", bInterfaceSubClass);
    add(target, u"bInterfaceProtocol", bInterfaceProtocol);
    add(target, u"iInterface", iInterface);
    if (iInterface != 0) add(target, u"Interface", Interface);
    JsonHolder& list = add_array(target, u"EndPoints");
    for (const auto& e : EndPoints) e.ToJson(append_object(list));
    return target;
}

uint32_t UsbInterfaceDescriptor::CompleteStrings(DHManager& hub, uint32_t connection_index)
{
    return complete(hub, connection_index, iInterface, Interface);
}

// --- configuration ---------------------------------------------------------------------------------

void UsbConfigurationDescriptor::assign(std::span<const uint8_t> set)
{
    bLength = wire::u8(set, 0);
    bDescriptorType = wire::u8(set, 1);
    wTotalLength = wire::u16(set, 2);
    bNumInterfaces = wire::u8(set, 4);
    bConfigurationValue = wire::u8(set, 5);
    iConfiguration = wire::u8(set, 6);
    bmAttributes = wire::u8(set, 7);
    MaxPower = wire::u8(set, 8);
    Configuration.clear();
    Interfaces.clear();

    // Class-specific descriptors sit between interfaces and endpoints (a HID descriptor after every
    // keyboard's interface); only each descriptor's own length and type tell where the next begins.
    const size_t end = std::min<size_t>(set.size(), std::max<size_t>(wTotalLength, wire_size));
    size_t p = std::max<size_t>(bLength, wire_size);
    UsbInterfaceDescriptor* current = nullptr;
    while (p + 2 <= end) {
        const size_t length = set[p];
        const uint8_t type = set[p + 1];
        if (length < 2 || length > end - p) break;
        const auto descriptor = set.subspan(p, length);
        if (type == usb_descriptor::interface) {
            if (length < UsbInterfaceDescriptor::wire_size || Interfaces.size() >= bNumInterfaces) break;
            Interfaces.emplace_back().assign(descriptor);
            current = &Interfaces.back();
        } else if (type == usb_descriptor::endpoint && current) {
            if (length < UsbEndpointDescriptor::wire_size) break;
            if (current->EndPoints.size() < current->bNumEndpoints)
                current->EndPoints.emplace_back(descriptor.first(UsbEndpointDescriptor::wire_size));
        }
        p += length;
    }
}

JsonHolder& UsbConfigurationDescriptor::ToJsonHolder(JsonHolder& target) const
{
    make_object(target);
    add(target, u"bLength", bLength);
    add(target, u"bDescriptorType", bDescriptorType);
    add(target, u"wTotalLength", wTotalLength);
    add(target, u"bNumInterfaces", bNumInterfaces);
    add(target, u"bConfigurationValue", bConfigurationValue);
    add(target, u"iConfiguration", iConfiguration);
    add(target, u"bmAttributes", bmAttributes);
    add(target, u"MaxPower", MaxPower);
    if (iConfiguration != 0) add(target, u"Configuration", Configuration);
    JsonHolder& list = add_array(target, u"Interfaces");
    for (const auto& i : Interfaces) i.ToJsonHolder(append_object(list));
    return target;
}

uint32_t UsbConfigurationDescriptor::CompleteStrings(DHManager& hub, uint32_t connection_index)
{
    uint32_t last = 0;
    for (auto& i : Interfaces)
        if (const uint32_t r = i.CompleteStrings(hub, connection_index)) last = r;
    if (const uint32_t r = complete(hub, connection_index, iConfiguration, Configuration)) last = r;
    return last;
}

// --- device ----------------------------------------------------------------------------------------

void UsbDeviceDescriptor::assign(std::span<const uint8_t> raw, DHManager* hub, uint32_t connection_index)
{
    bLength = wire::u8(raw, 0);
    bDescriptorType = wire::u8(raw, 1);
    bcdUSB = wire::u16(raw, 2);
    bDeviceClass = wire::u8(raw, 4);
    bDeviceSubClass = wire::u8(raw, 5);
    bDeviceProtocol = wire::u8(raw, 6);
    bMaxPacketSize0 = wire::u8(raw, 7);
    idVendor = wire::u16(raw, 8);
    idProduct = wire::u16(raw, 10);
    bcdDevice = wire::u16(raw, 12);
    iManufacturer = wire::u8(raw, 14);
    iProduct = wire::u8(raw, 15);
    iSerialNumber = wire::u8(raw, 16);
    bNumConfigurations = wire::u8(raw, 17);
    Manufacturer.clear();
    Product.clear();
    SerialNumber.clear();
    Configurations.clear();
    if (!hub) return;
    for (uint32_t index = 0; index < bNumConfigurations; ++index) {
        UsbConfigurationDescriptor configuration;
        std::u16string error;
        if (hub->GetConnectionConfigDescriptor(connection_index, index, configuration, error) != 0) break;
        Configurations.push_back(std::move(configuration));
    }
}

JsonHolder& UsbDeviceDescriptor::ToJsonHolder(JsonHolder& target) const
{
    make_object(target);
    add(target, u"bLength", bLength);
    add(target, u"bDescriptorType", bDescriptorType);
    add(target, u"bcdUSB", bcdUSB);
    add(target, u"bDeviceClass", bDeviceClass);
    add(target, u"bDeviceSubClass", bDeviceSubClass);
    add(target, u"bDeviceProtocol", bDeviceProtocol);
    add(target, u"bMaxPacketSize0", bMaxPacketSize0);
    add(target, u"idVendor", idVendor);
    add(target, u"idProduct", idProduct);
    add(target, u"bcdDevice", bcdDevice);
    add(target, u"iManufacturer", iManufacturer);
    add(target, u"iProduct", iProduct);
    add(target, u"iSerialNumber", iSerialNumber);
    add(target, u"bNumConfigurations", bNumConfigurations);
    if (iManufacturer != 0) add(target, u"Manufacturer", Manufacturer);
    if (iProduct != 0) add(target, u"Product", Product);
    if (iSerialNumber != 0) add(target, u"SerialNumber", SerialNumber);
    JsonHolder& list = add_array(target, u"Configurations");
    for (const auto& c : Configurations) c.ToJsonHolder(append_object(list));
    return target;
}

uint32_t UsbDeviceDescriptor::CompleteStrings(DHManager& hub, uint32_t connection_index)
{
    uint32_t last = 0;
    for (auto& c : Configurations)
        if (const uint32_t r = c.CompleteStrings(hub, connection_index)) last = r;
    if (const uint32_t r = complete(hub, connection_index, iManufacturer, Manufacturer)) last = r;
    if (const uint32_t r = complete(hub, connection_index, iProduct, Product)) last = r;
    if (const uint32_t r = complete(hub, connection_index, iSerialNumber, SerialNumber)) last = r;
    return last;
}

// --- connection ------------------------------------------------------------------------------------

void UsbNodeConnectionInformationEx::assign(std::span<const uint8_t> raw, DHManager* hub)
{
    ConnectionIndex = wire::u32(raw, 0);
    CurrentConfigurationValue = wire::u8(raw, 22);
    Speed = wire::u8(raw, 23);
    DeviceIsHub = wire::u8(raw, 24);
    DeviceAddress = wire::u16(raw, 25);
    NumberOfOpenPipes = wire::u32(raw, 27);
    ConnectionStatus = wire::u32(raw, 31);
    const auto device = raw.size() > 4 ? raw.subspan(4, std::min<size_t>(raw.size() - 4, UsbDeviceDescriptor::wire_size))
                                       : std::span<const uint8_t>();
    // An empty port has no device to ask for configurations.
    DeviceDescriptor.assign(device, ConnectionStatus != 0 ? hub : nullptr, ConnectionIndex);
    DriverKeyName.clear();
    NodeName.clear();
    DeviceDesc.clear();
    DeviceId.clear();
    DeviceLocation.clear();
    DevInst = 0;
    PipeList.clear();
    if (raw.size() <= fixed_size) return;
    const size_t available = (raw.size() - fixed_size) / UsbPipeInfo::wire_size;
    const size_t count = std::min<size_t>(available, NumberOfOpenPipes);
    PipeList.reserve(count);
    for (size_t i = 0; i < count; ++i)
        PipeList.emplace_back(raw.subspan(fixed_size + UsbPipeInfo::wire_size * i, UsbPipeInfo::wire_size));
}

JsonHolder& UsbNodeConnectionInformationEx::ToJsonHolder(JsonHolder& target) const
{
    make_object(target);
    add(target, u"ConnectionIndex", ConnectionIndex);
    DeviceDescriptor.ToJsonHolder(add_object(target, u"DeviceDescriptor"));
    add(target, u"CurrentConfigurationValue", CurrentConfigurationValue);
    add(target, u"Speed", Speed);
    add(target, u"DeviceIsHub", DeviceIsHub);
    add(target, u"DeviceAddress", DeviceAddress);
    add(target, u"NumberOfOpenPipes", NumberOfOpenPipes);
    add(target, u"ConnectionStatus", std::u16string(ConnectionStatusNameW(ConnectionStatus)));
    JsonHolder& list = add_array(target, u"PipeList");
    for (const auto& p : PipeList) p.ToJson(append_object(list));
    return target;
}

uint32_t UsbNodeConnectionInformationEx::CompleteStrings(DHManager& hub)
{
    const uint32_t result = DeviceDescriptor.CompleteStrings(hub, ConnectionIndex);
    std::u16string error;
    if (DeviceDescriptor.iSerialNumber != 0 && DeviceDescriptor.SerialNumber.empty()) {
        std::u16string id;
        if (DHManager::GetDeviceID(DevInst, id, error) == 0) {
            const size_t slash = id.rfind(u'\\');
            if (slash == std::u16string::npos) DeviceDescriptor.SerialNumber = id;
            else if (slash != 0) DeviceDescriptor.SerialNumber = id.substr(slash + 1);
        }
    }
    if (DeviceDescriptor.iManufacturer != 0 && DeviceDescriptor.Manufacturer.empty()) {
        std::u16string mfg;
        if (DHManager::GetDeviceRegProp(DevInst, platform::devnode_property::manufacturer, mfg, error) == 0)
            DeviceDescriptor.Manufacturer = mfg;
    }
    return result;
}

uint32_t UsbNodeConnectionInformationEx::CompleteFileInfo(const DriverKeyMap& driver_keys, DHManager& hub,
                                                          std::u16string& status_text)
{
    if (ConnectionStatus == 0) return 0;
    std::u16string key;
    if (const uint32_t r = hub.GetConnectionDriverKeyName(ConnectionIndex, key, status_text)) return r;
    DriverKeyName = key;
    if (auto it = driver_keys.find(key); it != driver_keys.end()) {
        DevInst = it->second;
        std::u16string discarded;
        DHManager::GetDeviceDesc(DevInst, DeviceDesc, discarded);
        DHManager::GetDeviceID(DevInst, DeviceId, discarded);
        DHManager::GetDeviceLocation(DevInst, DeviceLocation, discarded);
    }
    hub.GetConnectionName(ConnectionIndex, NodeName, status_text);
    return 0;
}

const char16_t* ConnectionStatusNameW(uint32_t status)
{
    static constexpr const char16_t* names[] = {
        u"NoDeviceConnected",       u"DeviceConnected",          u"DeviceFailedEnumeration",
        u"DeviceGeneralFailure",    u"DeviceCausedOvercurrent",  u"DeviceNotEnoughPower",
        u"DeviceNotEnoughBandwidth", u"DeviceHubNestedTooDeeply", u"DeviceInLegacyHub",
        u"DeviceEnumerating",       u"DeviceReset",
    };
    return status < std::size(names) ? names[status] : u"<* Unknown Connection Status *>";
}

} // namespace ZelmUsbVardoManager
