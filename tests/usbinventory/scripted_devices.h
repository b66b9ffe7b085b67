// A devices family answered by a test's function, for the request-level checks of the inventory.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace inventory_test {

// Hexadecimal text ("12 01 00 02 ...") as bytes.
inline std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(uint8_t(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t output_size = 0;
};

// Every open succeeds (handle 1); every request goes to `answer`, which fills the output (sized
// as the caller gave it) and says how many bytes it returned.
class ScriptedDevices : public platform::Devices {
public:
    using Answer = std::function<platform::Error(const Request&, std::vector<uint8_t>& output, uint32_t& returned)>;
    explicit ScriptedDevices(Answer answer) : answer_(std::move(answer)) {}

    platform::Error open(const std::u16string& path, uint32_t, uint32_t, uint32_t, platform::Handle& device) override
    {
        opened.push_back(path);
        device = 1;
        return 0;
    }
    platform::Error control(platform::Handle, uint32_t code, const void* input, uint32_t input_size, void* output,
                            uint32_t output_size, uint32_t& returned) override
    {
        Request r;
        r.code = code;
        if (input && input_size) r.input.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + input_size);
        r.output_size = output_size;
        requests.push_back(r);
        std::vector<uint8_t> out(output_size, 0);
        returned = 0;
        const platform::Error e = answer_(r, out, returned);
        if (output && output_size) std::memcpy(output, out.data(), output_size);
        return e;
    }
    platform::Error close(platform::Handle) override
    {
        ++closes;
        return 0;
    }

    std::vector<std::u16string> opened;
    std::vector<Request> requests;
    int closes = 0;

private:
    Answer answer_;
};

} // namespace inventory_test
