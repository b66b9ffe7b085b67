// The present devices through a whole /start on a model machine: the initial device list, the
// sweep of a freshly booted machine (its files, the reports, the stick ejected in the machine
// file), and devices plugged with usbsim while the run protects the machine.
//
// Linux only: under Wine the program asks the real (empty) USB stack, and the machine model can
// be installed only in a test's own process.
#ifndef _WIN32
#include "driver_e2e.h"

#include <algorithm>

#include "../model/machine_file.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

namespace driver_e2e {
namespace {

using model_test::ejected_letters;

namespace fs = std::filesystem;

// A mass-storage device on a root hub port: its strings, its node and a disk with one volume.
std::string storage_port(int port, const char* status, const std::string& manufacturer, const std::string& product,
                         const std::string& serial, int disk, const std::string& letter, const std::string& type)
{
    const std::string pid = std::to_string(1000 + port);
    return R"({"port": )" + std::to_string(port) + status +
           R"(, "device": "12 01 00 02 00 00 00 40 81 07 )" + pid.substr(2, 2) + " " + pid.substr(0, 2) +
           R"( 00 01 01 02 03 01",
      "configs": ["09 02 20 00 01 01 00 80 32 09 04 00 00 02 08 06 50 00 07 05 81 02 00 02 00 07 05 02 02 00 02 00"],
      "strings": {"1": ")" + manufacturer + R"(", "2": ")" + product + R"(", "3": ")" + serial + R"("},
      "node": {"id": "USB\\VID_0781&PID_)" + pid + R"(\\)" + serial +
           R"(", "props": {"CLASS": "USB", "DEVICEDESC": "USB Mass Storage Device"},
        "children": [{"id": "USBSTOR\\DISK&PROD_)" + serial + R"(\\0", "props": {"CLASS": "DiskDrive"},
          "disk": {"number": )" + std::to_string(disk) + (type == "cdrom" ? R"(, "type": "cdrom")" : "") +
           R"(, "volumes": [{"letter": ")" + letter + R"(", "type": ")" + type + R"("}]}}]}})";
}

// Up `uptime_ms`: a keyboard (port 7), a stick no rule allows (E:, port 1), a stick a rule allows
// (F:, port 2), a fixed disk (G:, port 3), a CD drive (H:, port 4); unplugged on ports 5 and 6, a
// stick a rule allows (J:) and one a rule blocks (K:), and on port 8 a hub with one of each
// behind it (L: blocked, M: allowed).
std::string model_machine(int64_t uptime_ms)
{
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string keyboard = R"({"port": 7, "device": "12 01 10 01 00 00 00 08 33 33 44 44 00 01 01 02 00 01",
      "configs": ["09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a"],
      "strings": {"1": "Acme", "2": "Keyboard"},
      "node": {"id": "USB\\VID_3333&PID_4444\\6&1&0&7", "props": {"CLASS": "HIDClass", "DEVICEDESC": "USB Input Device"}}})";
    return R"({"booted_at": )" + std::to_string(now - uptime_ms) + R"(, "controllers": [{"index": 0,
      "node": {"id": "PCI\\VEN_8086&DEV_A36D\\0", "props": {"DEVICEDESC": "USB xHCI Compliant Host Controller", "CLASS": "USB"}},
      "root_hub": {"name": "USB#ROOT_HUB30#0", "ports": 10, "node": {"id": "USB\\ROOT_HUB30\\0"}, "devices": [)" +
           storage_port(1, "", "Globex", "Stick", "BAD1", 1, "E", "removable") + ",\n" +
           storage_port(2, "", "Initech", "Safe One", "OK1", 2, "F", "removable") + ",\n" +
           storage_port(3, "", "Hooli", "Big Disk", "HD1", 3, "G", "fixed") + ",\n" +
           storage_port(4, "", "Hooli", "CD Writer", "CD1", 4, "H", "cdrom") + ",\n" +
           storage_port(5, R"(, "status": 0)", "Initech", "Safe Two", "OK2", 5, "J", "removable") + ",\n" +
           storage_port(6, R"(, "status": 0)", "Evil Corp", "Evil Stick", "EV1", 6, "K", "removable") + ",\n" +
           R"({"port": 8, "status": 0, "device": "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 00 00 01",
      "node": {"id": "USB\\VID_1111&PID_2222\\5&1&0&8", "props": {"CLASS": "USB", "DEVICEDESC": "Generic USB Hub"}},
      "hub": {"name": "USB#VID_1111&PID_2222#8", "ports": 4, "devices": [)" +
           storage_port(1, "", "Evil Corp", "Evil Three", "EV3", 8, "L", "removable") + ",\n" +
           storage_port(2, "", "Initech", "Safe Three", "OK3", 9, "M", "removable") + "]}},\n" +
           keyboard + "]}}]}";
}

// The rules: sticks named "Safe" allowed, "Evil" blocked; no rule: blocked without asking.
const std::string settings = R"({"active":1,"action":0,"report_on_allow":1,"rules":[[{"produkt":"Safe"},1],[{"produkt":"Evil"},0]]})";

std::u16string utf16_file(const fs::path& p)
{
    const std::string b = e2e::read_file(p);
    return text::from_utf16le(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(b.data()), b.size()));
}

// Every report below the data folder's "logs": its entries as "event=value;" texts, by file name.
std::vector<std::pair<std::string, std::u16string>> reports_in(const fs::path& logs)
{
    std::vector<std::pair<std::string, std::u16string>> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(logs, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        CJsonNode report;
        report.LoadText(utf16_file(it->path()));
        std::u16string entries;
        for (auto& [k, entry] : report.Member(u"report")->children)
            entries += entry->Member(u"event")->AsString() + u"=" + entry->Member(u"value")->AsString() + u";";
        found.emplace_back(it->path().filename().string(), entries);
    }
    std::sort(found.begin(), found.end());
    return found;
}

class SweepRun : public DriverRun {
protected:
    fs::path machine_file() { return machine().folder() / "root" / "machine.json"; }
    e2e::ToolRun usbsim(const std::vector<std::u16string>& args) { return machine().run(e2e::Program::usbsim, args); }
};

TEST_F(SweepRun, FreshlyBootedMachineIsSweptThenPluggedDevicesAreDecided)
{
    e2e::write_file(machine_file(), model_machine(60000));
    write_settings(settings);
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), {"Current USB list generated.\r\n", "Current USB list generated.\r\n",
                                   "Driver installed.\r\n", "User mode enable done.\r\n"}));

    // The initial list: the keyboard alone (devices with drive letters are left out), exact patterns.
    const std::u16string initial = utf16_file(data_folder() / "zelmusb" / "current_usb.json");
    EXPECT_EQ(initial, u"{\r\n    \"rules\" : [\r\n        [\r\n            {\r\n"
                       u"                \"klasa\" : \"=HIDClass\", \r\n                \"numer\" : \"=\", \r\n"
                       u"                \"opis\" : \"=USB Input Device\", \r\n                \"producent\" : \"=Acme\", \r\n"
                       u"                \"produkt\" : \"=Keyboard\"\r\n            }, \r\n            1\r\n        ]\r\n    ]\r\n}");

    // The sweep's files: every device found, without exact patterns, and the log of those no rule
    // allows, one element each.
    const std::u16string found = utf16_file(data_folder() / "tmp" / "devices_found.txt");
    for (const char16_t* product : {u"Stick", u"Safe One", u"Big Disk", u"CD Writer", u"Keyboard"})
        EXPECT_NE(found.find(u"\"produkt\" : \"" + std::u16string(product) + u"\""), std::u16string::npos)
            << text::to_utf8(product);
    EXPECT_EQ(found.find(u"Safe Two"), std::u16string::npos) << "an unplugged device is not present";
    const std::u16string log = utf16_file(data_folder() / "tmp" / "devices_ejected.txt");
    EXPECT_TRUE(log.starts_with(u"Unknown devices ejected ")) << text::to_utf8(log);
    EXPECT_EQ(count(text::to_utf8(log), "\"action\" : 0"), 3u) << text::to_utf8(log);
    for (const char16_t* logged : {u"\"dyski\" : \"E\"", u"\"dyski\" : \"G\"", u"\"dyski\" : \"H\""})
        EXPECT_NE(log.find(logged), std::u16string::npos) << text::to_utf8(logged);
    EXPECT_EQ(log.find(u"Safe"), std::u16string::npos) << "the allowed stick is not logged";
    EXPECT_EQ(log.find(u"Keyboard"), std::u16string::npos) << "a device without volumes is not considered";

    // One report per swept device, category 14 and level 3.
    const auto reports = reports_in(reports_folder());
    ASSERT_EQ(reports.size(), 3u);
    std::vector<std::u16string> swept;
    for (const auto& [name, entries] : reports) {
        EXPECT_TRUE(name.ends_with("-1403.json")) << name;
        swept.push_back(entries.substr(0, entries.find(u"Użytkownik=")) + entries.substr(entries.find(u";Dyski=")));
    }
    std::sort(swept.begin(), swept.end());
    EXPECT_EQ(swept, (std::vector<std::u16string>{
                         u"Producent=Globex;Produkt=Stick;Klasa=USB;Opis=USB Mass Storage Device;Numer seryjny=BAD1;"
                         u"Suma kontrolna=;;Dyski=E;Akcja=Zablokowane;",
                         u"Producent=Hooli;Produkt=Big Disk;Klasa=USB;Opis=USB Mass Storage Device;Numer seryjny=HD1;"
                         u"Suma kontrolna=;;Dyski=G;Akcja=Zablokowane;",
                         u"Producent=Hooli;Produkt=CD Writer;Klasa=USB;Opis=USB Mass Storage Device;Numer seryjny=CD1;"
                         u"Suma kontrolna=;;Dyski=H;Akcja=Zablokowane;"}));

    // Only the removable stick no rule allows was ejected; the allowed one, the fixed disk and the
    // CD drive are untouched.
    EXPECT_EQ(ejected_letters(e2e::read_file(machine_file())), "E");

    // Plugged while the run protects the machine: decided by the rules, on the inventory's document.
    const e2e::ToolRun safe = usbsim({u"plug", u"0-5"});
    EXPECT_EQ(safe.exit_code, 0) << safe.output;
    EXPECT_TRUE(in_order(safe.output, {"0-5 request ", "0-5 verdict allowed (answered)\n", "0-5 connected\n"}));
    const e2e::ToolRun evil = usbsim({u"plug", u"0-6"});
    EXPECT_EQ(evil.exit_code, 0) << evil.output;
    EXPECT_TRUE(in_order(evil.output, {"0-6 request ", "0-6 verdict blocked (answered)\n", "0-6 disconnected\n"}));
    const std::string after = e2e::read_file(machine_file());
    EXPECT_NE(after.find(R"({"port": 5, "status": 1,)"), std::string::npos) << "admitted: stays connected";
    EXPECT_NE(after.find(R"({"port": 6, "status": 0,)"), std::string::npos) << "refused: disconnected again";

    // The decisions read the texts the inventory found in the devices' string descriptors.
    std::vector<std::u16string> decided;
    for (const auto& [name, entries] : reports_in(reports_folder()))
        if (entries.find(u"Safe Two") != std::u16string::npos || entries.find(u"Evil Stick") != std::u16string::npos)
            decided.push_back(entries.substr(0, entries.find(u";Suma kontrolna=")) + u" " +
                              entries.substr(entries.find(u";Akcja=") + 1));
    std::sort(decided.begin(), decided.end());
    EXPECT_EQ(decided, (std::vector<std::u16string>{
                           u"Producent=Evil Corp;Produkt=Evil Stick;Klasa=USB;Opis=USB Mass Storage Device;"
                           u"Numer seryjny=EV1 Akcja=Zablokowane;",
                           u"Producent=Initech;Produkt=Safe Two;Klasa=USB;Opis=USB Mass Storage Device;"
                           u"Numer seryjny=OK2 Akcja=Dopuszczone;"}));

    // A hub: admitted by the driver's hub rule, then the devices behind it arrive one by one.
    const e2e::ToolRun hub = usbsim({u"plug", u"0-8"});
    EXPECT_EQ(hub.exit_code, 0) << hub.output;
    EXPECT_TRUE(in_order(hub.output, {"0-8 verdict allowed (hubs always accepted)\n", "0-8 connected\n",
                                      "0-8.1 verdict blocked (answered)\n", "0-8.1 disconnected\n",
                                      "0-8.2 verdict allowed (answered)\n", "0-8.2 connected\n"}));
    const std::string with_hub = e2e::read_file(machine_file());
    EXPECT_NE(with_hub.find(R"({"port": 8, "status": 1,)"), std::string::npos);
    EXPECT_NE(with_hub.find(R"({"status": 0, "port": 1,)"), std::string::npos) << "the refused one behind the hub";

    // Unplugged: gone again.
    const e2e::ToolRun gone = usbsim({u"unplug", u"0-5"});
    EXPECT_EQ(gone.exit_code, 0) << gone.output;
    EXPECT_NE(e2e::read_file(machine_file()).find(R"({"port": 5, "status": 0,)"), std::string::npos);
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
}

TEST_F(SweepRun, MachineUpFiveMinutesIsNotSwept)
{
    e2e::write_file(machine_file(), model_machine(5 * 60000 + 1000));
    write_settings(settings);
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));
    EXPECT_TRUE(fs::exists(data_folder() / "zelmusb" / "current_usb.json"));
    EXPECT_FALSE(fs::exists(data_folder() / "tmp" / "devices_found.txt"));
    EXPECT_FALSE(fs::exists(data_folder() / "tmp" / "devices_ejected.txt"));
    EXPECT_TRUE(reports_in(reports_folder()).empty());
    EXPECT_EQ(ejected_letters(e2e::read_file(machine_file())), "");
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
}

// usbsim plug's errors: each leaves the machine file as it was, or, once the device was raised,
// disconnects it again.
TEST_F(SweepRun, PlugErrorsAreClearAndLeaveNothingHalfDone)
{
    const std::string machine_text = model_machine(10 * 60000);
    e2e::write_file(machine_file(), machine_text);
    struct Case {
        const char* what;
        std::vector<std::u16string> args;
        int exit_code;
    };
    const Case before_start[] = {
        {"the driver is not running", {u"plug", u"0-5"}, 2},
        {"not a port path", {u"plug", u"0-x"}, 1},
        {"no port path", {u"plug"}, 1},
        {"unplugged already", {u"unplug", u"0-5"}, 2},
        {"no device described there", {u"unplug", u"0-9"}, 2},
    };
    for (const Case& c : before_start) {
        SCOPED_TRACE(c.what);
        const e2e::ToolRun run = usbsim(c.args);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
        EXPECT_EQ(e2e::read_file(machine_file()), machine_text);
    }

    // The user is asked (no rule decides) and takes a minute: no verdict within the wait given.
    write_settings(R"({"active":1,"action":2})");
    start_menu("1", 60000);
    const uint32_t instance = start_instance();
    ASSERT_TRUE(in_order(trace(), start_lines));
    const Case running[] = {
        {"no device described there", {u"plug", u"0-9"}, 2},
        {"connected already", {u"plug", u"0-1"}, 2},
    };
    for (const Case& c : running) {
        SCOPED_TRACE(c.what);
        const e2e::ToolRun run = usbsim(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
        EXPECT_EQ(e2e::read_file(machine_file()), machine_text);
    }
    const e2e::ToolRun late = usbsim({u"plug", u"0-5", u"--wait-ms", u"1500"});
    EXPECT_EQ(late.exit_code, 2) << late.output;
    EXPECT_TRUE(in_order(late.output, {"0-5 request ", "0-5 disconnected\n"}));
    EXPECT_EQ(late.output.find("verdict"), std::string::npos) << late.output;
    EXPECT_EQ(e2e::read_file(machine_file()), machine_text);

    // No machine file at all.
    fs::remove(machine_file());
    const e2e::ToolRun none = usbsim({u"plug", u"0-5"});
    EXPECT_EQ(none.exit_code, 2) << none.output;
    EXPECT_FALSE(fs::exists(machine_file()));
    ASSERT_TRUE(stop_instance(instance, true)) << trace();
}

} // namespace
} // namespace driver_e2e
#endif
