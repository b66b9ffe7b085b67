#include "usbinventory/dhmanager.h"

#include <algorithm>
#include <new>

#include "platform/devices.h"
#include "platform/platform.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {
// Messages are formatted into fixed buffers of this many characters (terminator included).
std::u16string bounded(std::u16string text, size_t buffer_chars)
{
    if (text.size() >= buffer_chars) text.resize(buffer_chars - 1);
    return text;
}

// Descriptor request header: the setup packet addressed through the hub.
constexpr size_t descriptor_header = 12;
void descriptor_request(std::vector<uint8_t>& buffer, uint32_t connection_index, uint16_t value, uint16_t index)
{
    wire::put_u32(buffer, 0, connection_index);
    buffer[4] = 0x80; // device to host
    buffer[5] = 6;    // GET_DESCRIPTOR
    wire::put_u16(buffer, 6, value);
    wire::put_u16(buffer, 8, index);
    wire::put_u16(buffer, 10, uint16_t(buffer.size() - descriptor_header));
}
} // namespace

DHManager::~DHManager()
{
    Close();
}

uint32_t DHManager::Open(const std::u16string& path, std::u16string& status_text, uint32_t access, uint32_t sharing)
{
    if (IsOpen()) {
        status_text = u"Obiekt DHManager jest aktualnie otwarty";
        return platform::err::device_in_use;
    }
    platform::Handle handle = platform::null_handle;
    const platform::Error e = platform::devices().open(path, access, sharing, 0, handle);
    if (e != 0 || handle == platform::null_handle) {
        status_text = u"Nie udało się utworzyć uchwytu do urządzenia: " + path;
        return error_or_internal(e);
    }
    handle_ = handle;
    return 0;
}

uint32_t DHManager::Close()
{
    if (IsOpen()) platform::devices().close(handle_);
    handle_ = closed;
    return 0;
}

bool DHManager::not_open(const char16_t* operation, std::u16string& status_text) const
{
    if (IsOpen()) return false;
    status_text = std::u16string(operation) + u": połączenie nie otwarte";
    return true;
}

uint32_t DHManager::control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t& returned)
{
    return control(code, buffer, uint32_t(buffer.size()), returned);
}

uint32_t DHManager::control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t input_size, uint32_t& returned)
{
    returned = 0;
    const platform::Error e = platform::devices().control(handle_, code, input_size ? buffer.data() : nullptr,
                                                          input_size, buffer.data(), uint32_t(buffer.size()), returned);
    // A backend that claims more than the buffer holds must not make us read past it.
    returned = std::min<uint32_t>(returned, uint32_t(buffer.size()));
    return e;
}

// The probe gives the record's full size; the second request fills it. Sizes are checked against
// the fixed part, 64 KB and the bytes really returned before any of the name is read.
uint32_t DHManager::get_name(uint32_t code, size_t fixed, const uint32_t* connection_index, std::u16string& name,
                             bool& probe_failed)
{
    probe_failed = true;
    std::vector<uint8_t> probe(fixed + 2, 0);
    if (connection_index) wire::put_u32(probe, 0, *connection_index);
    uint32_t returned = 0;
    const uint32_t input = connection_index ? uint32_t(probe.size()) : 0;
    if (const uint32_t e = control(code, probe, input, returned)) return e;
    if (returned < fixed) return platform::err::internal_error;
    const uint32_t actual = wire::u32(probe, fixed - 4);
    if (actual < fixed || actual > max_name_bytes) return platform::err::internal_error;
    probe_failed = false;

    std::vector<uint8_t> record;
    try {
        record.assign(actual, 0);
    } catch (const std::bad_alloc&) {
        return platform::err::not_enough_memory;
    }
    if (connection_index) wire::put_u32(record, 0, *connection_index);
    if (const uint32_t e = control(code, record, connection_index ? actual : 0, returned)) return e;
    if (returned < fixed) return platform::err::internal_error;
    const size_t end = std::min<size_t>(returned, actual);
    std::u16string result;
    for (size_t at = fixed; at + 2 <= end; at += 2) {
        const char16_t c = char16_t(wire::u16(record, at));
        if (c == 0) break;
        result.push_back(c);
    }
    name = std::move(result);
    return 0;
}

uint32_t DHManager::GetHcdDriverKeyName(std::u16string& name, std::u16string& status_text)
{
    if (not_open(u"GetHcdDriverKeyName", status_text)) return platform::err::device_not_connected;
    bool probe_failed = false;
    const uint32_t r = get_name(usb_ioctl::get_hcd_driverkey_name, 4, nullptr, name, probe_failed);
    if (r == platform::err::not_enough_memory)
        status_text = u"GetHcdDriverKeyName: Brak pamięci do pobrania HCD_DRIVERKEY_NAME";
    else if (r != 0)
        status_text = u"GetHcdDriverKeyName: Nie udało się wykonać operacji: IOCTL_GET_HCD_DRIVERKEY_NAME";
    return r;
}

uint32_t DHManager::GetRootHubNameForHost(std::u16string& name, std::u16string& status_text)
{
    if (not_open(u"GetRootHubNameForHost", status_text)) return platform::err::device_not_connected;
    bool probe_failed = false;
    const uint32_t r = get_name(usb_ioctl::get_root_hub_name, 4, nullptr, name, probe_failed);
    if (r != 0) status_text = u"GetRootHubName: Nie udało wykonać operacji: IOCTL_USB_GET_ROOT_HUB_NAME";
    return r;
}

uint32_t DHManager::GetConnectionDriverKeyName(uint32_t connection_index, std::u16string& name,
                                               std::u16string& status_text)
{
    if (not_open(u"GetConnectionDriverKeyName", status_text)) return platform::err::device_not_connected;
    bool probe_failed = false;
    const uint32_t r =
        get_name(usb_ioctl::get_node_connection_driverkey_name, 8, &connection_index, name, probe_failed);
    if (r == platform::err::not_enough_memory)
        status_text = u"GetConnectionDriverKeyName: Brak pamięci dla CONNECTION_DRIVERKEY_NAME";
    else if (r != 0)
        status_text =
            u"GetConnectionDriverKeyName: Nie udało się wykonać operacji: IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME";
    return r;
}

uint32_t DHManager::GetConnectionName(uint32_t connection_index, std::u16string& name, std::u16string& status_text)
{
    if (not_open(u"GetConnectionName", status_text)) return platform::err::device_not_connected;
    bool probe_failed = false;
    const uint32_t r = get_name(usb_ioctl::get_node_connection_name, 8, &connection_index, name, probe_failed);
    if (r == 0) return 0;
    if (probe_failed)
        status_text = u"GetConnectionName: Nie udało wykonać operacji: IOCTL_USB_GET_NODE_CONNECTION_NAME";
    else
        status_text = bounded(
            text::format(u"GetConnectionName: Nie udało się pobrać NODE_CONNECTION_NAME err=0x%08X%c", r, char16_t(0)),
            200);
    return r;
}

uint32_t DHManager::GetNodeInfoForHub(UsbNodeInformation& info, std::u16string& status_text)
{
    if (not_open(u"GetNodeInfoForHub", status_text)) return platform::err::device_not_connected;
    std::vector<uint8_t> buffer(UsbNodeInformation::wire_size, 0);
    uint32_t returned = 0;
    uint32_t e = control(usb_ioctl::get_node_information, buffer, returned);
    if (e == 0 && returned < 7) e = platform::err::internal_error; // not even the port count came back
    if (e != 0) {
        status_text = bounded(
            text::format(u"GetNodeInfoForHub: Nie udane pobranie informacji o węźle, err=0x%08X%c", e, char16_t(0)), 200);
        return e;
    }
    std::span<const uint8_t> b(buffer.data(), returned);
    UsbNodeInformation result;
    result.NodeType = wire::u32(b, 0);
    result.bDescriptorLength = wire::u8(b, 4);
    result.bDescriptorType = wire::u8(b, 5);
    result.bNumberOfPorts = wire::u8(b, 6);
    result.wHubCharacteristics = wire::u16(b, 7);
    result.bPowerOnToPowerGood = wire::u8(b, 9);
    result.bHubControlCurrent = wire::u8(b, 10);
    for (size_t i = 0; i < result.bRemoveAndPowerMask.size(); ++i) result.bRemoveAndPowerMask[i] = wire::u8(b, 11 + i);
    result.HubIsBusPowered = wire::u8(b, 75);
    info = result;
    return 0;
}

uint32_t DHManager::GetConnectionInfo(const DriverKeyMap& driver_keys, uint32_t connection_index,
                                      UsbNodeConnectionInformationEx& record, std::u16string& status_text)
{
    if (not_open(u"GetConnectionInfo", status_text)) return platform::err::device_not_connected;
    uint32_t room = 3;
    std::vector<uint8_t> buffer;
    uint32_t returned = 0;
    uint32_t e = 0;
    for (int tries = 0;; ++tries) {
        // 35 + 11 * 256 at most: no 32-bit wrap can come from a hostile count.
        buffer.assign(UsbNodeConnectionInformationEx::fixed_size + size_t(UsbPipeInfo::wire_size) * room, 0);
        wire::put_u32(buffer, 0, connection_index);
        e = control(usb_ioctl::get_node_connection_information_ex, buffer, returned);
        if (e != 0 && e != platform::err::insufficient_buffer && e != platform::err::more_data) break;
        const uint32_t pipes = returned >= 31 ? wire::u32(buffer, 27) : 0;
        if (pipes <= room) {
            if (e == 0 && returned < UsbNodeConnectionInformationEx::fixed_size) e = platform::err::internal_error;
            break;
        }
        // A pipe count no hub can have, or one that keeps growing, is not followed any further.
        if (pipes > max_pipes || tries + 1 >= max_connection_tries) {
            e = platform::err::internal_error;
            break;
        }
        room = pipes;
    }
    if (e != 0) {
        status_text = bounded(u"GetConnectionInfo: Nie udało się wykonać operacji:\r\n"
                              u"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION\r\nstatus=0x" +
                                  text::format(u"%08X pipes=%lu portNum=%d%c", e, room, int32_t(connection_index),
                                               char16_t(0)),
                              300);
        return e;
    }
    record.assign(std::span<const uint8_t>(buffer.data(), returned), this);
    const uint32_t r = record.CompleteFileInfo(driver_keys, *this, status_text);
    record.CompleteStrings(*this);
    return r;
}

uint32_t DHManager::GetConnectionStringDescriptor(uint32_t connection_index, uint32_t descriptor_index,
                                                  uint16_t language, std::u16string& text,
                                                  std::u16string& status_text)
{
    if (not_open(u"GetConnectionStringDescriptor", status_text)) return platform::err::device_not_connected;
    std::vector<uint8_t> buffer(269, 0);
    descriptor_request(buffer, connection_index, uint16_t(0x0300 + descriptor_index), language);
    uint32_t returned = 0;
    const uint32_t e = control(usb_ioctl::get_descriptor_from_node_connection, buffer, returned);
    const int index = int(descriptor_index);
    auto fail = [&](const char16_t* format) {
        status_text = bounded(text::format(format, index, e, char16_t(0)), 200);
        return error_or_internal(e);
    };
    if (e != 0)
        return fail(u"GetConnectionStringDescriptor: Błąd przy pobieraniu deskryptora tekstowego nr %d, err=0x%08X%c");
    auto fail_check = [&](const char16_t* format) {
        status_text = bounded(text::format(format, index, char16_t(0)), 200);
        return error_or_internal(e);
    };
    if (returned < 16)
        return fail_check(u"GetConnectionStringDescriptor: Przy pobieraniu deskryptora tekstowego nr %d\r\n"
                          u"zwrócono bufor za mały by pomieścić jakikolwiek string%c");
    if (buffer[13] != usb_descriptor::string)
        return fail_check(u"GetConnectionStringDescriptor: Przy pobieraniu deskryptora tekstowego nr %d\r\n"
                          u"zwrócono deskryptor niewłaściwego typu%c");
    const uint32_t length = buffer[12];
    if (returned < descriptor_header + length)
        return fail_check(u"GetConnectionStringDescriptor: Przy pobieraniu deskryptora tekstowego nr %d\r\n"
                          u"rozmiar zwróconego bufora jest za mały w stosunku do rozmiaru tekstu%c");
    if (length % 2 != 0)
        return fail_check(u"GetConnectionStringDescriptor: Przy pobieraniu deskryptora tekstowego nr %d\r\n"
                          u"rozmiar zwróconego tekstu nie jest wielokrotnością rozmiaru znaku%c");
    std::u16string result;
    const uint32_t chars = length >= 2 ? (length - 2) / 2 : 0;
    for (uint32_t i = 0; i < chars; ++i) {
        const char16_t c = char16_t(wire::u16(buffer, 14 + 2 * i));
        if (c == 0) break;
        result.push_back(c);
    }
    text = std::move(result);
    return 0;
}

uint32_t DHManager::GetConnectionStringDescriptor(uint32_t connection_index, uint32_t descriptor_index,
                                                  std::u16string& text, std::u16string& status_text)
{
    static constexpr uint16_t languages[] = {0x0409, 0x0000, 0x0001};
    std::u16string first_error;
    uint32_t r = 0;
    for (size_t i = 0; i < std::size(languages); ++i) {
        std::u16string attempt, error;
        r = GetConnectionStringDescriptor(connection_index, descriptor_index, languages[i], attempt, error);
        if (i == 0) first_error = error;
        if (r == 0 && !attempt.empty()) {
            text = std::move(attempt);
            return 0;
        }
    }
    status_text = first_error;
    return r;
}

uint32_t DHManager::GetConnectionConfigDescriptor(uint32_t connection_index, uint32_t config_index,
                                                  UsbConfigurationDescriptor& out, std::u16string& status_text)
{
    if (not_open(u"GetConnectionConfigDescriptor", status_text)) return platform::err::device_not_connected;
    auto fail = [&](uint32_t e) {
        status_text = bounded(
            text::format(u"GetConnectionConfDescriptor: Nie udało się pobrać deskryptora, err=0x%08X%c", e, char16_t(0)),
            200);
        return e;
    };
    constexpr size_t configuration_size = UsbConfigurationDescriptor::wire_size;
    std::vector<uint8_t> probe(descriptor_header + configuration_size, 0);
    descriptor_request(probe, connection_index, uint16_t(0x0200 + config_index), 0);
    uint32_t returned = 0;
    if (const uint32_t e = control(usb_ioctl::get_descriptor_from_node_connection, probe, returned)) return fail(e);
    // wTotalLength means something only when the whole configuration descriptor came back.
    if (returned < probe.size()) return fail(platform::err::internal_error);
    const uint16_t total = wire::u16(probe, descriptor_header + 2);
    if (total < configuration_size) return fail(platform::err::internal_error);

    std::vector<uint8_t> whole(descriptor_header + size_t(total), 0);
    descriptor_request(whole, connection_index, uint16_t(0x0200 + config_index), 0);
    if (const uint32_t e = control(usb_ioctl::get_descriptor_from_node_connection, whole, returned)) return fail(e);
    if (returned < descriptor_header + configuration_size) return fail(platform::err::internal_error);

    UsbConfigurationDescriptor configuration;
    configuration.assign(std::span<const uint8_t>(whole).subspan(descriptor_header, returned - descriptor_header));
    configuration.CompleteStrings(*this, connection_index);
    out = std::move(configuration);
    return 0;
}

uint32_t DHManager::GetStorageDeviceNumber(StorageDeviceNumber& number, std::u16string& status_text)
{
    if (not_open(u"GetStorageDeviceNumber", status_text)) return platform::err::device_not_connected;
    std::vector<uint8_t> buffer(12, 0);
    uint32_t returned = 0;
    uint32_t e = control(usb_ioctl::storage_get_device_number, buffer, 0, returned);
    if (e == 0 && returned < 8) e = platform::err::internal_error;
    if (e != 0) {
        status_text = u"Nieudane pobranie numeru urządzenia";
        return e;
    }
    number.DeviceType = wire::u32(buffer, 0);
    number.DeviceNumber = wire::u32(buffer, 4);
    number.PartitionNumber = wire::u32(buffer, 8);
    return 0;
}

} // namespace ZelmUsbVardoManager
