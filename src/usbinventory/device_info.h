// DeviceInfoJson: one entry of the device list, built from a port's connection record, the
// device node's registry properties and the drive-letters map.
//
// Contract:
// - MakeInfo fills the owned value with "DeviceProperty", "ConnectionInformation",
//   "DeviceDescriptor", "PortNumberOfBus", "IsHub", "DEVINST" and "DriveLetters"; it fails (the
//   code of the read) when the node has no physical device object name, and the caller then drops
//   the entry.
// - Properties the device tree does not hold, values shorter than their kind needs (a number below
//   4 bytes, a GUID below 16) and values without a name in the name tables add nothing.
// - JsonHolderException may be thrown while the entry is built; callers catch it.
#pragma once

#include <cstdint>
#include <string>

#include "json/holder/json_holder.h"
#include "usbinventory/descriptors.h"
#include "usbinventory/devnode.h"

namespace ZelmUsbVardoManager {

class DeviceInfoJson {
public:
    DeviceInfoJson();
    virtual ~DeviceInfoJson() = default;

    JsonHolder getJson() const { return json_; }
    const JsonHolder& json() const { return json_; }

    uint32_t MakeInfo(uint32_t port, const UsbNodeConnectionInformationEx& connection, bool is_hub,
                      const DriveLettersMap& drive_letters, std::u16string& status_text);

    static uint32_t ReadDeviceProperty(uint32_t devinst, uint32_t property, const std::u16string& key,
                                       JsonHolder& target, bool& added, std::u16string& status_text);
    static uint32_t AppendRestProps(uint32_t devinst, JsonHolder& target, std::u16string& status_text);
    static uint32_t AppendDescriptorsDataList(const UsbNodeConnectionInformationEx& connection, JsonHolder& target,
                                              std::u16string& status_text);
    static uint32_t AddDEVICE_INSTALL_STATEObject(JsonHolder& target, const std::u16string& key, uint32_t value,
                                                  bool& added, std::u16string& status_text);
    static uint32_t AddINTERFACE_TYPEObject(JsonHolder& target, const std::u16string& key, int32_t value, bool& added,
                                            std::u16string& status_text);
    static uint32_t AddDEVICE_REMOVAL_POLICYObject(JsonHolder& target, const std::u16string& key, uint32_t value,
                                                   bool& added, std::u16string& status_text);

private:
    JsonHolder json_;
};

} // namespace ZelmUsbVardoManager
