// What a held device is decided on, and which device a verdict reaches, with devices built to look
// like real ones: held as the kernel holds them (`authorized` 0, no configuration set, no
// interface folders yet) and admitted as it admits them (the configuration set, the interfaces
// appearing), so that a device is named while held as the device list names it once admitted.
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "e2e_machine.h"
#include "holder_fixture.h"
#include "json/hostjson/json_node.h"
#include "policy/identity.h"
#include "policy/rules.h"
#include "text/text.h"

namespace {

using namespace enforce_test;

// A device as plugged: its descriptors, the strings the kernel read from it, udev's names, and the
// interfaces (class, subclass, protocol) of the configuration the kernel sets when it is admitted.
struct RealDevice {
    const char* what;
    std::string descriptors;
    std::vector<std::pair<std::string, std::string>> strings;    // sysfs attributes
    std::vector<std::pair<std::string, std::string>> properties; // udev's
    uint32_t configuration;                                       // the one the kernel sets
    std::vector<std::string> interfaces;                          // "06 01 01"
    const char* klasa; // what the list calls it
};

const std::vector<RealDevice>& real_devices()
{
    static const std::vector<RealDevice> devices = {
        {"still-image camera with strings",
         "12 01 00 02 00 00 00 40 a9 04 32 31 02 00 01 02 03 01 09 02 27 00 01 01 00 c0 01 09 04 00 00 03 06 01 01 00 "
         "07 05 81 02 00 02 00 07 05 02 02 00 02 00 07 05 83 03 08 00 09",
         {{"manufacturer", "Canon Inc."}, {"product", "Canon Digital Camera"}, {"serial", "9F2E1C0A47B2"}},
         {{"ID_VENDOR_FROM_DATABASE", "Canon, Inc."}},
         1, {"06 01 01"}, "Image"},
        {"HID security key",
         "12 01 00 02 00 00 00 40 50 10 20 01 26 04 01 02 00 01 09 02 29 00 01 01 00 80 32 09 04 00 00 02 03 00 00 00 "
         "09 21 00 01 00 01 22 22 00 07 05 04 03 40 00 05 07 05 84 03 40 00 05",
         {{"manufacturer", "Yubico"}, {"product", "Security Key by Yubico"}},
         {{"ID_VENDOR_FROM_DATABASE", "Yubico.com"}, {"ID_MODEL_FROM_DATABASE", "Security Key by Yubico"}},
         1, {"03 00 00"}, "HIDClass"},
        {"composite keyboard without strings, named by the hardware database",
         "12 01 10 01 00 00 00 08 6d 04 1c c3 10 64 00 00 00 01 09 02 3b 00 02 01 00 a0 32 09 04 00 00 01 03 01 01 00 "
         "09 21 10 01 00 01 22 41 00 07 05 81 03 08 00 0a 09 04 01 00 01 03 00 00 00 09 21 10 01 00 01 22 9f 00 07 05 "
         "82 03 04 00 0a",
         {},
         {{"ID_VENDOR_FROM_DATABASE", "Logitech, Inc."}, {"ID_MODEL_FROM_DATABASE", "Keyboard K120"}},
         1, {"03 01 01", "03 00 00"}, "USB"},
        // Its first configuration is vendor-specific: the kernel sets the second.
        {"phone with a vendor-specific and a still-image configuration",
         "12 01 00 02 00 00 00 40 d1 18 e1 4e 40 04 01 02 03 02 09 02 20 00 01 01 00 80 fa 09 04 00 00 02 ff ff 00 00 "
         "07 05 81 02 00 02 00 07 05 01 02 00 02 00 09 02 27 00 01 02 00 80 fa 09 04 00 00 03 06 01 01 00 07 05 81 02 "
         "00 02 00 07 05 01 02 00 02 00 07 05 82 03 1c 00 06",
         {{"manufacturer", "Google"}, {"product", "Pixel 7"}, {"serial", "2A111FDH2001XY"}},
         {{"ID_VENDOR_FROM_DATABASE", "Google Inc."}},
         2, {"06 01 01"}, "Image"},
        {"mass-storage stick",
         "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01 09 02 20 00 01 01 00 80 32 09 04 00 00 02 08 06 50 00 "
         "07 05 81 02 00 02 00 07 05 02 02 00 02 00",
         {{"manufacturer", "SanDisk"}, {"product", "Cruzer Blade"}, {"serial", "4C530001234567"}},
         {{"ID_VENDOR_FROM_DATABASE", "SanDisk Corp."}, {"ID_MODEL_FROM_DATABASE", "Cruzer Blade"}},
         1, {"08 06 50"}, "USB"},
        {"hub",
         "12 01 00 02 09 00 01 40 e3 05 08 06 02 77 00 01 00 01 09 02 19 00 01 01 00 e0 32 09 04 00 00 01 09 00 00 00 "
         "07 05 81 03 01 00 0c",
         {{"product", "USB2.0 Hub"}},
         {{"ID_VENDOR_FROM_DATABASE", "Genesys Logic, Inc."}, {"ID_MODEL_FROM_DATABASE", "Hub"}},
         1, {"09 00 00"}, "USB"},
        {"hub impostor with a storage interface",
         "12 01 00 02 09 00 01 40 e3 05 08 06 02 77 00 01 00 01 09 02 30 00 02 01 00 e0 32 09 04 00 00 01 09 00 00 00 "
         "07 05 81 03 01 00 0c 09 04 01 00 02 08 06 50 00 07 05 82 02 00 02 00 07 05 02 02 00 02 00",
         {{"product", "USB2.0 Hub Storage"}},
         {{"ID_VENDOR_FROM_DATABASE", "Genesys Logic, Inc."}, {"ID_MODEL_FROM_DATABASE", "Hub"}},
         1, {"09 00 00", "08 06 50"}, "USB"},
    };
    return devices;
}

// The user test of these tests: each document is kept; the answer is the test's `answer`.
struct Asked {
    std::mutex m;
    std::vector<std::u16string> documents;
    std::function<bool(const std::u16string&)> answer = [](const std::u16string&) { return true; };
    size_t count()
    {
        std::lock_guard lock(m);
        return documents.size();
    }
    std::u16string last()
    {
        std::lock_guard lock(m);
        return documents.empty() ? std::u16string() : documents.back();
    }
};

uint8_t ask(const char16_t* json, void* context)
{
    auto* asked = static_cast<Asked*>(context);
    std::function<bool(const std::u16string&)> answer;
    {
        std::lock_guard lock(asked->m);
        asked->documents.emplace_back(json);
        answer = asked->answer;
    }
    return answer(json) ? 1 : 0;
}

// The five texts a rule matches, as the program reads them from a document.
UsbRule fields_of(const std::u16string& document)
{
    CJsonNode identity;
    UsbRule fields;
    build_device_identity(document, identity, fields);
    return fields;
}

class PlugTime : public Holder {
protected:
    // A device plugged as the kernel holds it: `authorized` 0, no configuration set yet.
    void plug_held(const std::string& name, const RealDevice& d)
    {
        const std::string h = hex(d.descriptors);
        std::string text = "P: " + path_of(name) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=" +
                           name.substr(0, name.find('-')) + "\nA: devnum=" + std::to_string(next_devnum_++) +
                           "\nH: descriptors=" + h + "\nA: authorized=0\nA: speed=480\nA: bConfigurationValue=\n" +
                           "A: idVendor=" + h.substr(18, 2) + h.substr(16, 2) + "\nA: idProduct=" + h.substr(22, 2) +
                           h.substr(20, 2) + "\nA: bDeviceClass=" + h.substr(8, 2) + "\n";
        for (const auto& [k, v] : d.strings) text += "A: " + k + "=" + v + "\n";
        for (const auto& [k, v] : d.properties) text += "E: " + k + "=" + v + "\n";
        add(text);
    }

    // What the kernel does once `authorized` is 1: the configuration set, its interfaces there.
    void configure(const std::string& name, const RealDevice& d)
    {
        umockdev_testbed_set_attribute(tb_, sys(name).c_str(), "bConfigurationValue",
                                       std::to_string(d.configuration).c_str());
        for (size_t i = 0; i < d.interfaces.size(); ++i) {
            const std::string c = hex(d.interfaces[i]);
            add("P: " + path_of(name) + "/" + name + ":" + std::to_string(d.configuration) + "." + std::to_string(i) +
                "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=0" + std::to_string(i) +
                "\nA: bInterfaceClass=" + c.substr(0, 2) + "\nA: bInterfaceSubClass=" + c.substr(2, 2) +
                "\nA: bInterfaceProtocol=" + c.substr(4, 2) + "\n");
        }
    }

    void register_asking(uint64_t wait_100ns = 0)
    {
        tester_ = std::make_unique<DeviceTester>(u"\\\\.\\ZelmUsb", ask, wait_100ns, false, &asked_docs_);
        ASSERT_EQ(tester_->Start(), 0u);
    }

    bool asked_within(size_t count, std::chrono::milliseconds limit = 5s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (asked_docs_.count() < count)
            if (std::chrono::steady_clock::now() > end) return false;
            else std::this_thread::sleep_for(2ms);
        return true;
    }

    // The program's /gud: list of the machine (the testbed) as its rules.
    std::vector<UsbRule> gud_rules()
    {
        e2e::Machine machine("plug-gud");
        const fs::path list = machine.folder() / "out" / "usb-list.json";
        fs::create_directories(list.parent_path());
        const uint32_t pid = machine.start(e2e::Program::zelmarusb, {u"/gud:" + list.u16string()});
        EXPECT_NE(pid, 0u);
        EXPECT_TRUE(machine.ended_within(pid, 35s)) << machine.trace();
        CJsonNode doc;
        doc.LoadText(text::from_utf8(e2e::read_file(list)));
        std::vector<UsbRule> rules;
        load_rule_list(rules, doc.Child(u"rules"));
        return rules;
    }

    Asked asked_docs_;
};

// Held, each device is named as the device list names it once admitted; the list's entry, as the
// only rule, admits the device when it is plugged in again; the impostor is asked like any device.
TEST_F(PlugTime, AHeldDeviceIsNamedAsTheListNamesIt)
{
    start_driver();
    register_asking();
    ASSERT_TRUE(hubs_accept(false));
    const auto& devices = real_devices();
    std::vector<UsbRule> held;
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(devices[i].what);
        const std::string name = "1-" + std::to_string(i + 3);
        plug_held(name, devices[i]);
        ASSERT_TRUE(asked_within(i + 1)) << "not asked";
        ASSERT_TRUE(becomes(name, "1"));
        held.push_back(fields_of(asked_docs_.last()));
        EXPECT_EQ(held.back().klasa, text::from_utf8(devices[i].klasa));
        configure(name, devices[i]);
    }

    const std::vector<UsbRule> listed = gud_rules();
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(devices[i].what);
        const UsbRule& h = held[i];
        // The list's patterns are exact: "=" and the text.
        const auto entry = std::find_if(listed.begin(), listed.end(), [&](const UsbRule& r) {
            return r.produkt == u"=" + h.produkt && r.numer == u"=" + h.numer;
        });
        ASSERT_NE(entry, listed.end()) << text::to_utf8(h.produkt) << " " << text::to_utf8(h.numer);
        EXPECT_EQ(entry->producent, u"=" + h.producent);
        EXPECT_EQ(entry->klasa, u"=" + h.klasa);
        EXPECT_EQ(entry->opis, u"=" + h.opis);
        EXPECT_FALSE(h.opis.empty());

        // Plugged in again (a new device number, a new folder): its entry admits it.
        const std::string name = "1-" + std::to_string(i + 3);
        remove(name);
        UsbRule rule = *entry;
        rule.action = 1;
        {
            std::lock_guard lock(asked_docs_.m);
            asked_docs_.answer = [rule](const std::u16string& doc) { return match_rule(rule, fields_of(doc), false) == 1; };
        }
        const size_t before = asked_docs_.count();
        plug_held(name, devices[i]);
        ASSERT_TRUE(asked_within(before + 1));
        EXPECT_TRUE(becomes(name, "1")) << "its own list entry does not admit it";
    }
}

TEST_F(PlugTime, OnlyAHubIsAdmittedByTheHubRule)
{
    start_driver();
    register_asking();
    ASSERT_TRUE(hubs_accept(true));
    {
        std::lock_guard lock(asked_docs_.m);
        asked_docs_.answer = [](const std::u16string&) { return false; };
    }
    plug_held("1-3", real_devices()[6]); // the impostor
    ASSERT_TRUE(asked_within(1)) << "the impostor was not asked";
    plug_held("1-4", real_devices()[5]); // a hub
    EXPECT_TRUE(becomes("1-4", "1"));
    EXPECT_EQ(asked_docs_.count(), 1u) << "the hub was asked";
    EXPECT_EQ(authorized("1-3"), "0");
}

// A device asked about leaves before its answer and another is plugged into the same port: the
// answer reaches neither; the new device gets its own question.
TEST_F(PlugTime, AVerdictReachesOnlyItsDevice)
{
    struct Case {
        const char* what;
        bool first_answer, second_answer;
    };
    for (const Case& c : {Case{"allowed, then a blocked one in its place", true, false},
                          Case{"blocked, then an allowed one in its place", false, true}}) {
        SCOPED_TRACE(c.what);
        start_driver();
        std::atomic<bool> release{false};
        {
            std::lock_guard lock(asked_docs_.m);
            asked_docs_.documents.clear();
            asked_docs_.answer = [&](const std::u16string& doc) {
                if (doc.find(u"Cruzer") != std::u16string::npos) return c.second_answer;
                while (!release) std::this_thread::sleep_for(2ms);
                return c.first_answer;
            };
        }
        register_asking();
        plug_held("1-3", real_devices()[0]); // the camera
        ASSERT_TRUE(asked_within(1));
        remove("1-3");
        plug_held("1-3", real_devices()[4]); // the stick, in its port
        std::this_thread::sleep_for(100ms);
        release = true;
        ASSERT_TRUE(asked_within(2)) << "the device plugged in its place was not asked";
        EXPECT_TRUE(becomes("1-3", c.second_answer ? "1" : "0"));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(authorized("1-3"), c.second_answer ? "1" : "0");
        tester_.reset();
        stop_driver(SIGKILL);
        remove("1-3");
    }
}

// Nobody registered, nobody admitted: after a driver start before the program registers, after the
// program's stop, and for a device plugged while no driver ran.
TEST_F(PlugTime, NothingIsAdmittedUnasked)
{
    {
        std::lock_guard lock(asked_docs_.m);
        asked_docs_.answer = [](const std::u16string& doc) { return doc.find(u"Cruzer") == std::u16string::npos; };
    }
    start_driver();
    plug_held("1-3", real_devices()[4]); // plugged at once after the start: its rule blocks it
    plug_held("1-4", real_devices()[0]);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(authorized("1-3"), "0");
    EXPECT_EQ(authorized("1-4"), "0") << "admitted before anybody was asked";
    register_asking();
    ASSERT_TRUE(asked_within(2));
    EXPECT_TRUE(becomes("1-4", "1"));
    EXPECT_EQ(authorized("1-3"), "0");

    // The program stops (its user test ends); a device plugged now waits for the next start.
    tester_.reset();
    std::this_thread::sleep_for(200ms); // the driver sees the handle end
    plug_held("1-5", real_devices()[1]);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(authorized("1-5"), "0") << "admitted after the program stopped";
    register_asking();
    ASSERT_TRUE(asked_within(3));
    EXPECT_TRUE(becomes("1-5", "1"));

    // Plugged while no driver ran: asked once a driver and a program are there again.
    tester_.reset();
    stop_driver(SIGKILL);
    plug_held("1-6", real_devices()[3]);
    start_driver();
    register_asking();
    ASSERT_TRUE(asked_within(4)) << "a device plugged while no driver ran was not asked";
    EXPECT_TRUE(becomes("1-6", "1"));
}

// A device whose document cannot be read holds up nobody; more devices at once than the driver
// asks about at once all wait their turn.
TEST_F(PlugTime, WorkStaysBoundedAndNothingIsLost)
{
    start_driver();
    register_asking(600'000'000 /* 60 s */);
    // No descriptors: never readable.
    for (int port = 10; port < 210; ++port)
        add("P: " + path_of("1-" + std::to_string(port)) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\n"
            "A: devnum=" + std::to_string(next_devnum_++) + "\nA: authorized=0\n");
    const auto plugged = std::chrono::steady_clock::now();
    plug_held("1-3", real_devices()[0]);
    ASSERT_TRUE(becomes("1-3", "1", 5s));
    const auto took = std::chrono::steady_clock::now() - plugged;
    // Its usual time is some milliseconds; waiting behind the unreadable ones would be seconds.
    EXPECT_LT(took, 1s) << "a good device waited behind unreadable ones";
    for (int port = 10; port < 210; ++port) EXPECT_EQ(authorized("1-" + std::to_string(port)), "0");

    // 300 at once, beyond the driver's table of pending questions: each decided, none refused.
    plug("1-1", "hub", hub_descriptors, "1");
    plug("2-1", "hub", hub_descriptors, "1");
    for (int i = 0; i < 300; ++i) {
        const std::string name = (i < 150 ? "1-1." : "2-1.") + std::to_string(i % 150 + 1);
        plug_held(name, real_devices()[4]);
    }
    const auto end = std::chrono::steady_clock::now() + 60s;
    int admitted = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string name = (i < 150 ? "1-1." : "2-1.") + std::to_string(i % 150 + 1);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        admitted += becomes(name, "1", std::max(left, 0ms));
    }
    EXPECT_EQ(admitted, 300);
}

} // namespace
