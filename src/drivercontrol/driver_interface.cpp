#include "drivercontrol/driver_interface.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ZelmUsbVardoManager {

namespace {

// The records are little-endian; so are both targets (x86-64 Windows and Linux), which the
// static_assert below keeps honest.
static_assert(std::endian::native == std::endian::little, "the driver's records are little-endian");

template <class T>
void put(std::vector<uint8_t>& bytes, size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

template <class T>
T get(std::span<const uint8_t> bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

} // namespace

std::vector<uint8_t> VardEventWaiting::Encode() const
{
    std::vector<uint8_t> bytes(size, 0);
    put(bytes, hEvent_offset, hEvent);
    put(bytes, waitTime_offset, waitTime);
    put(bytes, zeroWaitTime_offset, zeroWaitTime);
    put(bytes, defaultAccepted_offset, defaultAccepted);
    return bytes;
}

bool VardEventWaiting::Decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() != size) return false;
    hEvent = get<uint64_t>(bytes, hEvent_offset);
    waitTime = get<uint64_t>(bytes, waitTime_offset);
    zeroWaitTime = get<uint8_t>(bytes, zeroWaitTime_offset);
    defaultAccepted = get<uint8_t>(bytes, defaultAccepted_offset);
    return true;
}

std::vector<uint8_t> VardJsonSize::Encode() const
{
    std::vector<uint8_t> bytes(size, 0);
    put(bytes, requestId_offset, requestId);
    put(bytes, size_offset, jsonSize);
    put(bytes, noData_offset, noData);
    put(bytes, reserved_offset, reserved);
    return bytes;
}

bool VardJsonSize::Decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() != size) return false;
    requestId = get<uint64_t>(bytes, requestId_offset);
    jsonSize = get<uint32_t>(bytes, size_offset);
    noData = get<uint8_t>(bytes, noData_offset);
    reserved = get<uint8_t>(bytes, reserved_offset);
    return true;
}

std::vector<uint8_t> VardJson::MakeRequest(uint64_t requestId, uint32_t size)
{
    std::vector<uint8_t> bytes(size_t(size) + 2, 0);
    put(bytes, requestId_offset, requestId);
    return bytes;
}

uint64_t VardJson::RequestId(std::span<const uint8_t> buffer)
{
    return buffer.size() >= requestId_offset + 8 ? get<uint64_t>(buffer, requestId_offset) : 0;
}

uint8_t VardJson::NoData(std::span<const uint8_t> buffer)
{
    return buffer.size() > noData_offset ? buffer[noData_offset] : 1;
}

std::u16string VardJson::Text(std::span<const uint8_t> buffer, uint32_t returned)
{
    const size_t end = std::min<size_t>(returned, buffer.size());
    std::u16string text;
    for (size_t at = text_offset; at + 1 < end; at += 2) {
        const char16_t unit = char16_t(buffer[at] | (buffer[at + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

std::vector<uint8_t> VardUserTestResult::Encode() const
{
    std::vector<uint8_t> bytes(size, 0);
    put(bytes, requestId_offset, requestId);
    put(bytes, rejected_offset, rejected);
    return bytes;
}

bool VardUserTestResult::Decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() != size) return false;
    requestId = get<uint64_t>(bytes, requestId_offset);
    rejected = get<uint8_t>(bytes, rejected_offset);
    return true;
}

} // namespace ZelmUsbVardoManager
