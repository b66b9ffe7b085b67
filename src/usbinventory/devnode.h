// Device-node properties and drive letters: the device interfaces of SetupAPI (SetupManager), the
// volume scan that gives each USB device the letters of the volumes on disks below it
// (DevNode::GetVolumesInfo), and the interface type names.
//
// Contract:
// - Codes are Windows or configuration-manager codes, 0 success; failures fill status_text and
//   leave the caller's output unchanged.
// - Disks are found through the disk and the CD-ROM interface classes, so CD drives get their
//   letters too. A disk's letters go to the physical device object name of its parent node, or,
//   when that parent is a function of a composite device ("&MI_" in its instance identifier), of
//   the function's parent: the USB device itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/devicetree.h"

namespace ZelmUsbVardoManager {

// Physical device object name -> drive letters ("EF").
using DriveLettersMap = std::map<std::u16string, std::u16string>;

// The key of a disk in the volume scan.
struct DevNum {
    uint32_t DeviceType = 0;
    uint32_t DeviceNumber = 0;
    bool operator<(const DevNum& o) const
    {
        return DeviceType != o.DeviceType ? DeviceType < o.DeviceType : DeviceNumber < o.DeviceNumber;
    }
};

class SetupFullDetails {
public:
    virtual ~SetupFullDetails() = default;
    void Clear() { *this = SetupFullDetails(); }

    platform::Guid ClassGuid;
    std::u16string DevicePath;
    uint32_t DevInst = 0;
    uint32_t Flags = 0;
    uint32_t MemberIndex = 0;
    platform::Guid InterfaceClassGuid;
};

class SetupManager {
public:
    SetupManager() = default;
    virtual ~SetupManager();
    SetupManager(const SetupManager&) = delete;
    SetupManager& operator=(const SetupManager&) = delete;

    uint32_t OpenForClass(const platform::Guid& guid, std::u16string& status_text, uint32_t flags);
    uint32_t EnumDeviceInterfacesDetails(const platform::Guid& guid, std::vector<SetupFullDetails>& list,
                                         std::u16string& status_text);
    uint32_t Close();

private:
    bool open_ = false;
    uint64_t set_ = 0;
};

namespace interface_class {
// GUID_DEVINTERFACE_DISK and GUID_DEVINTERFACE_CDROM.
constexpr platform::Guid disk{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr platform::Guid cdrom{0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
} // namespace interface_class

class DevNode {
public:
    virtual ~DevNode() = default;
    static uint32_t GetVolumesInfo(DriveLettersMap& letters, std::u16string& status_text);
    static const char16_t* InterfaceTypeName(int32_t value);
};

} // namespace ZelmUsbVardoManager
