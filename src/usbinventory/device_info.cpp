#include "usbinventory/device_info.h"

#include "platform/devicetree.h"
#include "platform/le_fields.h"
#include "text/text.h"
#include "usbinventory/dhmanager.h"

namespace ZelmUsbVardoManager {

using namespace json_build;
namespace prop = platform::devnode_property;

namespace {
enum class Kind { Text, TextList, Number, Guid, InterfaceType, RemovalPolicy, InstallState, Other };

Kind kind_of(uint32_t property)
{
    switch (property) {
    case prop::device_desc: case prop::service: case prop::class_name: case prop::class_guid: case prop::driver:
    case prop::manufacturer: case prop::friendly_name: case prop::location_information:
    case prop::physical_device_object_name: case prop::enumerator_name: case prop::ui_number_desc_format:
    case prop::base_container_id:
        return Kind::Text;
    case prop::hardware_id: case prop::compatible_ids: case prop::upper_filters: case prop::lower_filters:
    case prop::location_paths:
        return Kind::TextList;
    case prop::config_flags: case prop::capabilities: case prop::ui_number: case prop::bus_number: case prop::address:
        return Kind::Number;
    case prop::bus_type_guid:
        return Kind::Guid;
    case prop::legacy_bus_type:
        return Kind::InterfaceType;
    case prop::removal_policy: case prop::removal_policy_hw_default: case prop::removal_policy_override:
        return Kind::RemovalPolicy;
    case prop::install_state:
        return Kind::InstallState;
    default:
        return Kind::Other;
    }
}

struct Property {
    const char16_t* key;
    uint32_t number;
};
constexpr Property rest_props[] = {
    {u"HardwareID", prop::hardware_id},         {u"BusNumber", prop::bus_number},
    {u"BusTypeGuid", prop::bus_type_guid},      {u"ClassGuid", prop::class_guid},
    {u"ClassName", prop::class_name},           {u"CompatibleIDs", prop::compatible_ids},
    {u"DeviceDescription", prop::device_desc},  {u"DriverKeyName", prop::driver},
    {u"EnumeratorName", prop::enumerator_name}, {u"FriendlyName", prop::friendly_name},
    {u"InstallState", prop::install_state},     {u"LegacyBusType", prop::legacy_bus_type},
    {u"LocationInformation", prop::location_information}, {u"Manufacturer", prop::manufacturer},
    {u"PhysicalDeviceObjectName", prop::physical_device_object_name},
    {u"RemovalPolicy", prop::removal_policy},   {u"UINumber", prop::ui_number},
};
} // namespace

DeviceInfoJson::DeviceInfoJson() : json_(JsonHolder::CreateObject()) {}

uint32_t DeviceInfoJson::ReadDeviceProperty(uint32_t devinst, uint32_t property, const std::u16string& key,
                                            JsonHolder& target, bool& added, std::u16string& status_text)
{
    added = false;
    std::vector<uint8_t> bytes;
    if (const uint32_t r = DHManager::GetDeviceRegProp(devinst, property, bytes, status_text)) return r;
    const std::u16string value = text::from_utf16le(bytes);
    auto u32_at = [&](size_t at) { return platform::le::get_u32(bytes.data() + at); };
    switch (kind_of(property)) {
    case Kind::Text: {
        add(target, key, value.substr(0, value.find(u'\0')));
        added = true;
        break;
    }
    case Kind::TextList: {
        JsonHolder& list = add_array(target, key);
        added = true;
        size_t at = 0;
        while (at < value.size()) {
            const size_t nul = value.find(u'\0', at);
            const size_t end = nul == std::u16string::npos ? value.size() : nul;
            if (end == at) break;
            append(list, value.substr(at, end - at));
            at = end + 1;
        }
        break;
    }
    case Kind::Number:
        if (bytes.size() >= 4) {
            add(target, key, double(u32_at(0)));
            added = true;
        }
        break;
    case Kind::Guid:
        if (bytes.size() >= 16) {
            JsonHolder& guid = add_object(target, key);
            add(guid, u"Data1", double(u32_at(0)));
            add(guid, u"Data2", double(platform::le::get_u16(bytes.data() + 4)));
            add(guid, u"Data3", double(platform::le::get_u16(bytes.data() + 6)));
            JsonHolder& data4 = add_array(guid, u"Data4");
            for (size_t i = 8; i < 16; ++i) append(data4, double(bytes[i]));
            added = true;
        }
        break;
    case Kind::InterfaceType:
        if (bytes.size() >= 4) AddINTERFACE_TYPEObject(target, key, int32_t(u32_at(0)), added, status_text);
        break;
    case Kind::RemovalPolicy:
        if (bytes.size() >= 4) AddDEVICE_REMOVAL_POLICYObject(target, key, u32_at(0), added, status_text);
        break;
    case Kind::InstallState:
        if (bytes.size() >= 4) AddDEVICE_INSTALL_STATEObject(target, key, u32_at(0), added, status_text);
        break;
    case Kind::Other:
        break;
    }
    return 0;
}

uint32_t DeviceInfoJson::AddDEVICE_INSTALL_STATEObject(JsonHolder& target, const std::u16string& key, uint32_t value,
                                                       bool& added, std::u16string&)
{
    static constexpr const char16_t* names[] = {u"InstallStateInstalled", u"InstallStateNeedsReinstall",
                                                u"InstallStateFailedInstall", u"InstallStateFinishInstall"};
    added = value < std::size(names);
    if (added) add(target, key, std::u16string(names[value]));
    return 0;
}

uint32_t DeviceInfoJson::AddINTERFACE_TYPEObject(JsonHolder& target, const std::u16string& key, int32_t value,
                                                 bool& added, std::u16string&)
{
    const std::u16string name = DevNode::InterfaceTypeName(value);
    added = !name.starts_with(u"<");
    if (added) add(target, key, name);
    return 0;
}

uint32_t DeviceInfoJson::AddDEVICE_REMOVAL_POLICYObject(JsonHolder& target, const std::u16string& key,
                                                        uint32_t value, bool& added, std::u16string&)
{
    static constexpr const char16_t* names[] = {u"RemovalPolicyExpectNoRemoval", u"RemovalPolicyExpectOrderlyRemoval",
                                                u"RemovalPolicyExpectSurpriseRemoval"};
    added = value >= 1 && value <= std::size(names);
    if (added) add(target, key, std::u16string(names[value - 1]));
    return 0;
}

uint32_t DeviceInfoJson::AppendRestProps(uint32_t devinst, JsonHolder& target, std::u16string& status_text)
{
    for (const Property& p : rest_props) {
        bool added = false;
        ReadDeviceProperty(devinst, p.number, p.key, target, added, status_text);
    }
    return 0;
}

uint32_t DeviceInfoJson::AppendDescriptorsDataList(const UsbNodeConnectionInformationEx& connection,
                                                   JsonHolder& target, std::u16string&)
{
    connection.ToJsonHolder(add_object(target, u"ConnectionInformation"));
    connection.DeviceDescriptor.ToJsonHolder(add_object(target, u"DeviceDescriptor"));
    return 0;
}

uint32_t DeviceInfoJson::MakeInfo(uint32_t port, const UsbNodeConnectionInformationEx& connection, bool is_hub,
                                  const DriveLettersMap& drive_letters, std::u16string& status_text)
{
    json_ = JsonHolder::CreateObject();
    AppendRestProps(connection.DevInst, add_object(json_, u"DeviceProperty"), status_text);
    AppendDescriptorsDataList(connection, json_, status_text);
    add(json_, u"PortNumberOfBus", double(port));
    add_bool(json_, u"IsHub", is_hub);
    add(json_, u"DEVINST", double(connection.DevInst));
    std::vector<uint8_t> pdo;
    if (const uint32_t r = DHManager::GetDeviceRegProp(connection.DevInst, prop::physical_device_object_name, pdo,
                                                       status_text))
        return r;
    const std::u16string all = text::from_utf16le(pdo);
    const std::u16string name = all.substr(0, all.find(u'\0'));
    const auto it = drive_letters.find(name);
    add(json_, u"DriveLetters", it != drive_letters.end() ? it->second : std::u16string());
    return 0;
}

} // namespace ZelmUsbVardoManager
