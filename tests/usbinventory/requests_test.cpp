// Hub requests of DHManager against a scripted hub: buffer sizes, the string request's checks in
// order, the language fallback, name records, the connection information and the configuration probe.
#include <gtest/gtest.h>

#include <map>

#include "platform/platform.h"
#include "scripted_devices.h"
#include "text/text.h"
#include "usbinventory/dhmanager.h"

using namespace ZelmUsbVardoManager;
using inventory_test::hex;
using inventory_test::Request;
using inventory_test::ScriptedDevices;

namespace {

class Requests : public ::testing::Test {
protected:
    void use(ScriptedDevices::Answer answer)
    {
        // The previous override must give its family back before the next one takes it.
        override_.reset();
        devices_ = std::make_unique<ScriptedDevices>(std::move(answer));
        override_ = std::make_unique<platform::Override<platform::Devices>>(&platform::Platform::devices, *devices_);
        std::u16string error;
        ASSERT_EQ(hub.Open(u"\\\\.\\USB#HUB", error), 0u);
    }
    void TearDown() override
    {
        hub.Close();
        override_.reset();
    }
    ScriptedDevices& devices() { return *devices_; }

    DHManager hub;

private:
    std::unique_ptr<ScriptedDevices> devices_;
    std::unique_ptr<platform::Override<platform::Devices>> override_;
};

// A string descriptor reply: the 12-byte header echoed, then `descriptor`.
platform::Error reply(const Request& r, std::vector<uint8_t>& out, uint32_t& returned, const std::vector<uint8_t>& descriptor)
{
    std::copy(r.input.begin(), r.input.begin() + 12, out.begin());
    const size_t n = std::min(descriptor.size(), out.size() - 12);
    std::copy(descriptor.begin(), descriptor.begin() + n, out.begin() + 12);
    returned = uint32_t(12 + n);
    return 0;
}

struct StringCase {
    const char* what;
    platform::Error error;      // the request's failure
    const char* descriptor;     // the bytes after the header
    int32_t returned_override;  // -1: header + descriptor
    uint32_t code;
    std::u16string text_or_message;
};

TEST_F(Requests, StringDescriptorChecksInOrder)
{
    const std::u16string head = u"GetConnectionStringDescriptor: Przy pobieraniu deskryptora tekstowego nr 2\r\n";
    const StringCase cases[] = {
        {"a text", 0, "0c 03 53 00 74 00 69 00 63 00 6b 00", -1, 0, u"Stick"},
        {"the text ends at its first NUL", 0, "0c 03 41 00 00 00 42 00 43 00 44 00", -1, 0, u"A"},
        {"request failure", 31, "", -1, 31,
         u"GetConnectionStringDescriptor: Błąd przy pobieraniu deskryptora tekstowego nr 2, err=0x0000001F"},
        {"only the 2-byte header (14 bytes)", 0, "02 03", -1, 1359,
         head + u"zwrócono bufor za mały by pomieścić jakikolwiek string"},
        {"wrong type", 0, "06 02 41 00 42 00", -1, 1359, head + u"zwrócono deskryptor niewłaściwego typu"},
        {"type checked before the length", 0, "ff 02 41 00", -1, 1359, head + u"zwrócono deskryptor niewłaściwego typu"},
        {"bLength beyond the bytes returned", 0, "20 03 41 00 42 00", -1, 1359,
         head + u"rozmiar zwróconego bufora jest za mały w stosunku do rozmiaru tekstu"},
        {"odd bLength 9", 0, "09 03 41 00 42 00 43 00 44", -1, 1359,
         head + u"rozmiar zwróconego tekstu nie jest wielokrotnością rozmiaru znaku"},
        {"bLength 2 with more bytes: an empty text", 0, "02 03 41 00", -1, 0, u""},
        {"a backend claiming more than the buffer: read only what fits", 0,
         "fe 03 41 00 42 00 43 00 44 00 45 00 46 00 47 00 48 00", 100000, 0, u"ABCDEFGH"},
    };
    const StringCase* current = nullptr;
    use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
        if (current->error) return current->error;
        std::vector<uint8_t> d = hex(current->descriptor);
        if (current->returned_override > 0) d.resize(257, 0);
        reply(r, out, returned, d);
        if (current->returned_override > 0) returned = uint32_t(current->returned_override);
        return 0;
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        current = &c;
        std::u16string text = u"before", error;
        const uint32_t r = hub.GetConnectionStringDescriptor(3, 2, 0x0409, text, error);
        EXPECT_EQ(r, c.code);
        if (c.code == 0) {
            EXPECT_EQ(text, c.text_or_message);
        } else {
            EXPECT_EQ(text, u"before") << "a failure leaves the text";
            EXPECT_EQ(error, c.text_or_message);
        }
        // The request: 269 bytes, port 3, GET_DESCRIPTOR of string 2 in language 0x0409, 257 bytes.
        const Request& sent = devices().requests.back();
        EXPECT_EQ(sent.code, 0x220410u);
        ASSERT_EQ(sent.input.size(), 269u);
        EXPECT_EQ(std::vector<uint8_t>(sent.input.begin(), sent.input.begin() + 12),
                  hex("03 00 00 00 80 06 02 03 09 04 01 01"));
    }
}

struct FallbackCase {
    const char* what;
    std::map<uint16_t, const char*> by_language; // absent: the request fails with 31
    std::vector<uint16_t> asked;
    uint32_t code;
    std::u16string text;
};

TEST_F(Requests, StringLanguageFallback)
{
    const FallbackCase cases[] = {
        {"English answers", {{0x0409, "0a 03 41 00 63 00 6d 00 65 00"}}, {0x0409}, 0, u"Acme"},
        {"English fails, language 0 answers", {{0x0000, "0a 03 41 00 63 00 6d 00 65 00"}}, {0x0409, 0x0000}, 0, u"Acme"},
        {"English empty, language 1 answers",
         {{0x0409, "02 03"}, {0x0001, "04 03 5a 00"}},
         {0x0409, 0x0000, 0x0001}, 0, u"Z"},
        {"every language fails: the last code, the first message", {}, {0x0409, 0x0000, 0x0001}, 31, u"unchanged"},
        {"the last attempt succeeds with an empty text: 0, the text unchanged",
         {{0x0001, "02 03 00 00"}},
         {0x0409, 0x0000, 0x0001}, 0, u"unchanged"},
    };
    const FallbackCase* current = nullptr;
    use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
        const uint16_t language = uint16_t(r.input[8] | (r.input[9] << 8));
        auto it = current->by_language.find(language);
        if (it == current->by_language.end()) return 31;
        return reply(r, out, returned, hex(it->second));
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        current = &c;
        devices().requests.clear();
        std::u16string text = u"unchanged", error;
        EXPECT_EQ(hub.GetConnectionStringDescriptor(1, 1, text, error), c.code);
        EXPECT_EQ(text, c.text);
        std::vector<uint16_t> asked;
        for (const auto& r : devices().requests) asked.push_back(uint16_t(r.input[8] | (r.input[9] << 8)));
        EXPECT_EQ(asked, c.asked);
        if (c.code != 0)
            EXPECT_EQ(error, u"GetConnectionStringDescriptor: Błąd przy pobieraniu deskryptora tekstowego nr 1, "
                             u"err=0x0000001F");
    }
}

TEST_F(Requests, ConnectionInformationGrowsToThePipeCount)
{
    // Five open pipes: the first request has room for three, the second is 35 + 55 = 90 bytes.
    use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
        if (r.code != 0x220448) return 1; // names and descriptors: not needed here
        std::vector<uint8_t> rec(35, 0);
        rec[0] = r.input[0];
        rec[27] = 5;
        rec[31] = 0; // no device: nothing more is asked
        for (int i = 0; i < 5; ++i) {
            auto pipe = hex("07 05 81 02 00 02 00 00 00 00 00");
            pipe[2] = uint8_t(0x81 + i);
            rec.insert(rec.end(), pipe.begin(), pipe.end());
        }
        const size_t n = std::min(rec.size(), out.size());
        std::copy(rec.begin(), rec.begin() + n, out.begin());
        returned = uint32_t(n);
        return n < rec.size() ? 234 : 0;
    });
    UsbNodeConnectionInformationEx record;
    std::u16string error;
    EXPECT_EQ(hub.GetConnectionInfo({}, 4, record, error), 0u);
    ASSERT_EQ(devices().requests.size(), 2u);
    EXPECT_EQ(devices().requests[0].input.size(), 35u + 33u);
    EXPECT_EQ(devices().requests[1].input.size(), 90u);
    ASSERT_EQ(record.PipeList.size(), 5u);
    EXPECT_EQ(record.PipeList[4].EndpointDescriptor.bEndpointAddress, 0x85);
}

TEST_F(Requests, ConnectionInformationMalformed)
{
    struct Case {
        const char* what;
        uint32_t pipes_first;  // reported on the first request
        uint32_t growth;       // added on every later request
        size_t returned;       // 0: the whole record
        uint32_t code;
    };
    const Case cases[] = {
        {"a pipe count no hub has", 100000, 0, 0, 1359},
        {"a pipe count that grows on every request stops after bounded retries", 4, 1, 0, 1359},
        {"a reply shorter than the fixed part", 0, 0, 20, 1359},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t pipes = c.pipes_first;
        use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
            std::fill(out.begin(), out.end(), 0);
            out[27] = uint8_t(pipes);
            out[28] = uint8_t(pipes >> 8);
            out[29] = uint8_t(pipes >> 16);
            const size_t needed = 35 + 11 * size_t(pipes);
            returned = uint32_t(c.returned ? c.returned : std::min(needed, out.size()));
            const platform::Error e = needed > out.size() ? 234 : 0;
            pipes += c.growth;
            return e;
        });
        UsbNodeConnectionInformationEx record;
        std::u16string error;
        EXPECT_EQ(hub.GetConnectionInfo({}, 2, record, error), c.code);
        EXPECT_LE(devices().requests.size(), size_t(DHManager::max_connection_tries));
        EXPECT_TRUE(error.starts_with(u"GetConnectionInfo: Nie udało się wykonać operacji:\r\n"
                                      u"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION\r\nstatus=0x0000054F pipes="));
        hub.Close();
    }
}

struct NameCase {
    const char* what;
    platform::Error probe_error;
    uint32_t actual_length;   // ActualLength in the probe's reply
    uint32_t probe_returned;  // bytes the probe returns
    platform::Error second_error;
    size_t second_returned;   // 0: all
    uint32_t code;
    std::u16string name;
};

TEST_F(Requests, ConnectionNameRecords)
{
    const std::u16string hub_name = u"USB#VID_1111&PID_2222#5&2f2e1c3b&0&1";
    const uint32_t full = uint32_t(8 + 2 * (hub_name.size() + 1));
    const NameCase cases[] = {
        {"a name", 0, full, 10, 0, 0, 0, hub_name},
        {"a failed probe is a failure, not 0", 31, full, 0, 0, 0, 31, u"unchanged"},
        {"a probe reply without ActualLength", 0, full, 4, 0, 0, 1359, u"unchanged"},
        {"ActualLength below the fixed part", 0, 3, 10, 0, 0, 1359, u"unchanged"},
        {"ActualLength above 64 KB", 0, 70000, 10, 0, 0, 1359, u"unchanged"},
        {"second request fails", 0, full, 10, 5, 0, 5, u"unchanged"},
        {"second reply cut: only the bytes returned are read", 0, full, 10, 0, 8 + 6, 0, u"USB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
            const bool probe = r.output_size == 10;
            if (probe && c.probe_error) return c.probe_error;
            if (!probe && c.second_error) return c.second_error;
            std::vector<uint8_t> rec(8, 0);
            rec[0] = r.input[0];
            for (int i = 0; i < 4; ++i) rec[4 + i] = uint8_t(c.actual_length >> (8 * i));
            for (char16_t ch : hub_name) {
                rec.push_back(uint8_t(ch));
                rec.push_back(uint8_t(ch >> 8));
            }
            rec.push_back(0);
            rec.push_back(0);
            const size_t n = std::min(rec.size(), out.size());
            std::copy(rec.begin(), rec.begin() + n, out.begin());
            returned = uint32_t(probe ? c.probe_returned : (c.second_returned ? c.second_returned : n));
            return 0;
        });
        std::u16string name = u"unchanged", error;
        EXPECT_EQ(hub.GetConnectionName(3, name, error), c.code);
        EXPECT_EQ(name, c.name);
        if (c.code != 0) {
            EXPECT_FALSE(error.empty());
        }
        hub.Close();
    }
}

TEST_F(Requests, ConfigurationProbeThenWholeSet)
{
    const auto set = hex("09 02 20 00 01 01 00 80 32  09 04 00 00 02 08 06 50 00  07 05 81 02 00 02 00"
                         "  07 05 02 02 00 02 00");
    size_t probe_returned = 21;
    uint16_t total = 0x20;
    use([&](const Request& r, std::vector<uint8_t>& out, uint32_t& returned) -> platform::Error {
        std::copy(r.input.begin(), r.input.begin() + 12, out.begin());
        auto bytes = set;
        bytes[2] = uint8_t(total);
        bytes[3] = uint8_t(total >> 8);
        const size_t n = std::min(bytes.size(), out.size() - 12);
        std::copy(bytes.begin(), bytes.begin() + n, out.begin() + 12);
        returned = uint32_t(r.output_size == 21 ? probe_returned : 12 + n);
        return 0;
    });
    UsbConfigurationDescriptor config;
    std::u16string error;
    ASSERT_EQ(hub.GetConnectionConfigDescriptor(1, 0, config, error), 0u);
    ASSERT_GE(devices().requests.size(), 2u);
    EXPECT_EQ(devices().requests[0].input.size(), 21u);
    EXPECT_EQ(std::vector<uint8_t>(devices().requests[0].input.begin(), devices().requests[0].input.begin() + 12),
              hex("01 00 00 00 80 06 00 02 00 00 09 00"));
    EXPECT_EQ(devices().requests[1].input.size(), 12u + 0x20u);
    ASSERT_EQ(config.Interfaces.size(), 1u);
    EXPECT_EQ(config.Interfaces[0].EndPoints.size(), 2u);

    // A probe that returns less than a whole configuration descriptor, or a wTotalLength below 9.
    for (auto [returned, length] : {std::pair<size_t, uint16_t>{16, 0x20}, {21, 4}}) {
        probe_returned = returned;
        total = length;
        UsbConfigurationDescriptor untouched;
        untouched.bLength = 77;
        EXPECT_EQ(hub.GetConnectionConfigDescriptor(1, 0, untouched, error), 1359u);
        EXPECT_EQ(untouched.bLength, 77);
        EXPECT_EQ(error, u"GetConnectionConfDescriptor: Nie udało się pobrać deskryptora, err=0x0000054F");
    }
}

TEST_F(Requests, OpenTwiceAndClosedObject)
{
    use([](const Request&, std::vector<uint8_t>&, uint32_t&) -> platform::Error { return 0; });
    std::u16string error;
    EXPECT_EQ(hub.Open(u"\\\\.\\OTHER", error), 2404u);
    EXPECT_EQ(error, u"Obiekt DHManager jest aktualnie otwarty");
    EXPECT_TRUE(hub.IsOpen()) << "the first handle stays";
    EXPECT_EQ(devices().opened.size(), 1u);
    hub.Close();

    struct Case {
        const char16_t* name;
        std::function<uint32_t(std::u16string&)> call;
    };
    std::u16string s;
    UsbNodeInformation info;
    UsbNodeConnectionInformationEx record;
    UsbConfigurationDescriptor config;
    StorageDeviceNumber number;
    const Case cases[] = {
        {u"GetHcdDriverKeyName", [&](std::u16string& e) { return hub.GetHcdDriverKeyName(s, e); }},
        {u"GetRootHubNameForHost", [&](std::u16string& e) { return hub.GetRootHubNameForHost(s, e); }},
        {u"GetNodeInfoForHub", [&](std::u16string& e) { return hub.GetNodeInfoForHub(info, e); }},
        {u"GetConnectionInfo", [&](std::u16string& e) { return hub.GetConnectionInfo({}, 1, record, e); }},
        {u"GetConnectionDriverKeyName", [&](std::u16string& e) { return hub.GetConnectionDriverKeyName(1, s, e); }},
        {u"GetConnectionName", [&](std::u16string& e) { return hub.GetConnectionName(1, s, e); }},
        {u"GetConnectionStringDescriptor", [&](std::u16string& e) { return hub.GetConnectionStringDescriptor(1, 1, 0, s, e); }},
        {u"GetConnectionConfigDescriptor", [&](std::u16string& e) { return hub.GetConnectionConfigDescriptor(1, 0, config, e); }},
        {u"GetStorageDeviceNumber", [&](std::u16string& e) { return hub.GetStorageDeviceNumber(number, e); }},
    };
    const size_t before = devices().requests.size();
    for (const auto& c : cases) {
        std::u16string e;
        EXPECT_EQ(c.call(e), 1167u) << text::to_utf8(c.name);
        EXPECT_EQ(e, std::u16string(c.name) + u": połączenie nie otwarte");
    }
    EXPECT_EQ(devices().requests.size(), before) << "nothing is sent on a closed object";
}

} // namespace
