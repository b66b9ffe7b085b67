// Device paths and device I/O control: CreateFileW on "\\\\.\\<name>" (a driver's control device
// such as "\\\\.\\ZelmUsb", a volume such as "\\\\.\\E:", a hub or host controller path),
// DeviceIoControl and CloseHandle.
//
// posix: a driver's control device is a socket that the running driver serves; a volume,
// hub or host controller is answered from the machine description <root>/machine.json. Control
// codes the target does not know give 1 (ERROR_INVALID_FUNCTION), as a Windows driver answers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace platform {

// Generic Windows control codes used on volumes (the driver's own codes belong to its interface).
namespace ioctl {
constexpr uint32_t lock_volume = 0x00090018;           // FSCTL_LOCK_VOLUME
constexpr uint32_t dismount_volume = 0x00090020;       // FSCTL_DISMOUNT_VOLUME
constexpr uint32_t storage_media_removal = 0x002D4804; // IOCTL_STORAGE_MEDIA_REMOVAL (1 byte in)
constexpr uint32_t storage_eject_media = 0x002D4808;   // IOCTL_STORAGE_EJECT_MEDIA
} // namespace ioctl

// The requests of the USB inventory to host controllers, hubs and disks.
namespace usb_ioctl {
constexpr uint32_t get_hcd_driverkey_name = 0x220424;              // IOCTL_GET_HCD_DRIVERKEY_NAME
constexpr uint32_t get_root_hub_name = 0x220408;                   // IOCTL_USB_GET_ROOT_HUB_NAME, to a host controller
constexpr uint32_t get_node_information = 0x220408;                // IOCTL_USB_GET_NODE_INFORMATION, to a hub
constexpr uint32_t get_node_connection_information_ex = 0x220448;  // IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX
constexpr uint32_t get_node_connection_driverkey_name = 0x220420;  // IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME
constexpr uint32_t get_node_connection_name = 0x220414;            // IOCTL_USB_GET_NODE_CONNECTION_NAME
constexpr uint32_t get_descriptor_from_node_connection = 0x220410; // IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION
constexpr uint32_t storage_get_device_number = 0x2D1080;           // IOCTL_STORAGE_GET_DEVICE_NUMBER
} // namespace usb_ioctl

class Devices {
public:
    virtual ~Devices() = default;

    // CreateFileW(path, desired_access, share_mode, no security attributes, OPEN_EXISTING,
    // flags_and_attributes, no template). 2 when the device does not exist (a driver that is not
    // loaded), 5 when access is denied, 32 when an exclusive device is already open.
    virtual Error open(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
                       uint32_t flags_and_attributes, Handle& device) = 0;

    // DeviceIoControl(device, code, input, output, &returned, no overlapped): 0, or the thread's
    // last error after the failed call (a driver's own status turned into a Windows code; 122 or
    // 234 when the output buffer is too small for what the driver has). `returned` is set in both
    // cases (the bytes placed in `output`). `input` and `output` may be the same buffer.
    virtual Error control(Handle device, uint32_t code, const void* input, uint32_t input_size,
                          void* output, uint32_t output_size, uint32_t& returned) = 0;

    // CloseHandle.
    virtual Error close(Handle device) = 0;
};

} // namespace platform
