// The control interface of the USB filter driver: its device-control codes and the byte layouts of
// the records that cross DeviceIoControl.
//
// Every code is device type 0x22 (FILE_DEVICE_UNKNOWN), METHOD_BUFFERED, FILE_ANY_ACCESS; the
// function number is given beside each. Records are packed and little-endian. They are read and
// written here field by field with memcpy at the named offsets, never by casting a buffer to a
// packed struct: the request identifier of VardJson sits at offset 4, misaligned for a 64-bit
// value.
//
// A failed call is reported by the platform's devices family with the Windows error code the
// driver's status maps to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ZelmUsbVardoManager {

// The control device is opened with this access, no sharing, OPEN_EXISTING, no flags.
constexpr uint32_t DRIVER_DEVICE_ACCESS = 0x1F01FF;

constexpr uint32_t IOCTL_CLEAR_NAME_LIST = 0x22201C;          // 0x807, no buffers
constexpr uint32_t IOCTL_CLEAR_TYPE_LIST = 0x222048;          // 0x812, no buffers
constexpr uint32_t IOCTL_USER_TEST_ON = 0x22205C;             // 0x817, in: VardEventWaiting
constexpr uint32_t IOCTL_USER_TEST_OFF = 0x222060;            // 0x818, no buffers
constexpr uint32_t IOCTL_GET_TEST_JSON = 0x222064;            // 0x819, in/out: VardJson buffer
constexpr uint32_t IOCTL_GET_TEST_JSON_SIZE = 0x222068;       // 0x81A, out: VardJsonSize
constexpr uint32_t IOCTL_SET_TEST_RESULT = 0x22206C;          // 0x81B, in: VardUserTestResult
constexpr uint32_t IOCTL_NOTIFY_OFF = 0x222074;               // 0x81D, no buffers
constexpr uint32_t IOCTL_SET_FILES_AND_CACHE_MODE = 0x2220A4; // 0x829, in: uint32 mode 0..3
constexpr uint32_t IOCTL_HUBS_ACCEPT_ON = 0x2220A8;           // 0x82A, no buffers
constexpr uint32_t IOCTL_HUBS_ACCEPT_OFF = 0x2220AC;          // 0x82B, no buffers

// tagVardEventWaiting, input of IOCTL_USER_TEST_ON: the manual-reset event the driver sets when a
// request waits, how long it waits for a verdict and what it decides without one.
struct VardEventWaiting {
    static constexpr size_t hEvent_offset = 0;           // 8 bytes: the event handle's value
    static constexpr size_t waitTime_offset = 8;         // 8 bytes: 100 ns units
    static constexpr size_t zeroWaitTime_offset = 16;    // 1 byte: 1 when waitTime is 0
    static constexpr size_t defaultAccepted_offset = 17; // 1 byte: 1 or 0
    static constexpr size_t size = 18;

    uint64_t hEvent = 0;
    uint64_t waitTime = 0;
    uint8_t zeroWaitTime = 0;
    uint8_t defaultAccepted = 0;

    std::vector<uint8_t> Encode() const;
    // False when `bytes` is not exactly `size` long.
    bool Decode(std::span<const uint8_t> bytes);
};

// tagVardJsonSize, output of IOCTL_GET_TEST_JSON_SIZE: the next pending request.
struct VardJsonSize {
    static constexpr size_t requestId_offset = 0; // 8 bytes
    static constexpr size_t size_offset = 8;      // 4 bytes: bytes of the whole VardJson buffer
    static constexpr size_t noData_offset = 12;   // 1 byte: nonzero, nothing to fetch
    static constexpr size_t reserved_offset = 13; // 1 byte
    static constexpr size_t size = 14;

    uint64_t requestId = 0;
    uint32_t jsonSize = 0;
    uint8_t noData = 0;
    uint8_t reserved = 0;

    std::vector<uint8_t> Encode() const;
    bool Decode(std::span<const uint8_t> bytes);
};

// tagVardJson, input and output of IOCTL_GET_TEST_JSON: a 14-byte header, then the request's
// NUL-terminated UTF-16LE JSON text filled in by the driver.
struct VardJson {
    static constexpr size_t unused_offset = 0;     // 4 bytes, sent as 0
    static constexpr size_t requestId_offset = 4;  // 8 bytes, set by the program
    static constexpr size_t noData_offset = 12;    // 1 byte: nonzero on return, no text
    static constexpr size_t reserved_offset = 13;  // 1 byte, sent as 0
    static constexpr size_t text_offset = 14;
    static constexpr size_t header_size = 14;

    // The buffer sizes the program accepts from VardJsonSize: the header and at least one code
    // unit, at most 1 MiB. A driver that names anything else is not believed.
    static constexpr uint32_t min_size = header_size + 2;
    static constexpr uint32_t max_size = 1u << 20;

    // A zeroed buffer of `size` bytes with `requestId` at its offset, plus two zero bytes past the
    // end, so the text always has a terminator whatever the driver writes.
    static std::vector<uint8_t> MakeRequest(uint64_t requestId, uint32_t size);
    static uint64_t RequestId(std::span<const uint8_t> buffer);
    static uint8_t NoData(std::span<const uint8_t> buffer);
    // The text from the bytes the driver returned (`returned` counts the whole buffer, header
    // included), up to its first NUL; code units past `returned` are never read.
    static std::u16string Text(std::span<const uint8_t> buffer, uint32_t returned);
};

// tagVardUserTestResult, input of IOCTL_SET_TEST_RESULT.
struct VardUserTestResult {
    static constexpr size_t requestId_offset = 0; // 8 bytes
    static constexpr size_t rejected_offset = 8;  // 1 byte: 1 refused, 0 admitted
    static constexpr size_t size = 9;

    uint64_t requestId = 0;
    uint8_t rejected = 0;

    std::vector<uint8_t> Encode() const;
    bool Decode(std::span<const uint8_t> bytes);
};

} // namespace ZelmUsbVardoManager
