// A machine file in a scratch folder with the model's families over it, and small helpers to
// ask them the way the inventory does.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "platform/model/families.h"
#include "platform/platform.h"
#include "text/text.h"

namespace model_test {

using namespace platform;
using Bytes = std::vector<uint8_t>;

inline std::string read_fixture(const std::string& name)
{
    return platform_test::read_text_file(std::filesystem::path(ZELMUSB_FIXTURES) / "machine" / name);
}

inline void write_file(const std::filesystem::path& p, const std::string& text)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

class ModelTest : public ::testing::Test {
protected:
    platform_test::TempFolder folder;
    std::filesystem::path file = folder.path() / "machine.json";
    model::Engine engine{std::make_unique<model::PathStore>(file)};
    model::ModelDevices devices{engine};
    model::ModelDeviceTree tree{engine};

    void machine(const std::string& json) { write_file(file, json); }
    void example() { machine(read_fixture("example.json")); }

    Handle open(const std::u16string& path)
    {
        Handle h = 0;
        EXPECT_EQ(devices.open(path, access::generic_read, 7, 0, h), err::success) << text::to_utf8(path);
        return h;
    }

    // One request; `returned` bytes of the reply.
    Error ask(Handle h, uint32_t code, const Bytes& in, uint32_t out_size, Bytes& out)
    {
        out.assign(out_size, 0xCD);
        uint32_t returned = 0xFFFF;
        const Error e = devices.control(h, code, in.data(), uint32_t(in.size()), out.data(), out_size, returned);
        EXPECT_LE(returned, out_size);
        out.resize(returned);
        return e;
    }

    // A name through the two-call protocol: the probe of `fixed` + 2 bytes, then ActualLength.
    Error name(Handle h, uint32_t code, uint32_t connection, size_t fixed, std::u16string& result)
    {
        Bytes in(fixed + 2, 0);
        if (fixed == 8) put32(in, 0, connection);
        Bytes out;
        Error e = ask(h, code, in, uint32_t(in.size()), out);
        if (e) return e;
        EXPECT_EQ(out.size(), fixed + 2);
        const uint32_t actual = get32(out, fixed - 4);
        in.assign(actual, 0);
        if (fixed == 8) put32(in, 0, connection);
        e = ask(h, code, in, actual, out);
        if (e) return e;
        EXPECT_EQ(out.size(), actual);
        EXPECT_EQ(out[actual - 1], 0);
        EXPECT_EQ(out[actual - 2], 0);
        result = text::from_utf16le(std::span(out).subspan(fixed, actual - fixed - 2));
        return e;
    }

    // A descriptor through the hub: type, index, language, wLength.
    Error descriptor(Handle hub, uint32_t port, uint32_t type, uint32_t index, uint32_t language, uint32_t length,
                     Bytes& data)
    {
        Bytes in(12 + length, 0);
        put32(in, 0, port);
        in[4] = 0x80;
        in[5] = 6;
        in[6] = uint8_t(index);
        in[7] = uint8_t(type);
        in[8] = uint8_t(language);
        in[9] = uint8_t(language >> 8);
        in[10] = uint8_t(length);
        in[11] = uint8_t(length >> 8);
        Bytes out;
        const Error e = ask(hub, model::usb_ioctl::get_descriptor_from_node_connection, in, uint32_t(in.size()), out);
        if (e) return e;
        EXPECT_GE(out.size(), 12u);
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + 12, out.begin())) << "the request header comes back";
        data.assign(out.begin() + 12, out.end());
        return e;
    }

    // A device-node property through the two-call protocol.
    uint32_t property(DevNode n, uint32_t p, uint32_t& type, Bytes& value)
    {
        uint32_t length = 0;
        uint32_t r = tree.registry_property(n, p, type, {}, length);
        if (r != cr::buffer_small) return r;
        value.assign(length, 0);
        uint32_t got = length;
        r = tree.registry_property(n, p, type, value, got);
        EXPECT_EQ(got, length);
        return r;
    }
    std::u16string text_property(DevNode n, uint32_t p)
    {
        uint32_t type = 0;
        Bytes v;
        if (property(n, p, type, v) != cr::success) return u"<none>";
        EXPECT_EQ(type, model::reg::sz);
        std::u16string s = text::from_utf16le(v);
        EXPECT_FALSE(s.empty());
        if (!s.empty()) {
            EXPECT_EQ(s.back(), u'\0');
            s.pop_back();
        }
        return s;
    }
    std::u16string id(DevNode n)
    {
        uint32_t length = 0;
        EXPECT_EQ(tree.device_id_size(n, length), cr::success);
        std::u16string s;
        EXPECT_EQ(tree.device_id(n, length, s), cr::success);
        return s;
    }

    static void put32(Bytes& b, size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    }
    static uint32_t get32(const Bytes& b, size_t at)
    {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    }
    static Bytes hex(const std::string& s)
    {
        Bytes out;
        for (size_t i = 0; i + 1 < s.size();) {
            if (s[i] == ' ') {
                ++i;
                continue;
            }
            out.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
            i += 2;
        }
        return out;
    }
};

// The example machine's hub names.
inline const std::u16string root_hub_name = u"USB#ROOT_HUB30#4&1b8d6c0&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
inline const std::u16string external_hub_name =
    u"USB#VID_1111&PID_2222#5&2f2e1c3b&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

} // namespace model_test
