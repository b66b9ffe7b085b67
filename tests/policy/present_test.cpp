// Present devices: the /gud: list and the initial device list written from a model machine, and
// the start-up sweep that reports and ejects drives no rule allows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../host/fakes.h"
#include "../model/machine_file.h"
#include "../usbinventory/model_machine.h"
#include "app/app.h"
#include "app/driver_run.h"
#include "host/files.h"
#include "json/hostjson/json_node.h"
#include "policy/present.h"
#include "policy/rules.h"
#include "policy_fixture.h"

namespace {

using model_test::ejected_letters;

using inventory_test::ModelMachine;
using inventory_test::read_fixture;

std::string file_bytes(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::u16string utf16_file(const std::filesystem::path& p)
{
    const std::string b = file_bytes(p);
    return text::from_utf16le(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(b.data()), b.size()));
}

class PresentDevices : public policy_test::PolicyTest {
protected:
    PresentDevices()
    {
        processes_.add(4242, u"C:\\Windows\\explorer.exe", u"ann");
        g_settings = UsbSettings{};
        g_settings.active = 1;
        io_rules.clear();
        printer_rules.clear();
        network_rules.clear();
        main_rules.clear();
        initial_rules.clear();
    }
    void SetUp() override { create_facade(); }
    void TearDown() override { destroy_facade(); }

    fakes::Processes processes_;
    fakes::Sync sync_;
    platform::Override<platform::Processes> processes_override_{&platform::Platform::processes, processes_};
    platform::Override<platform::Sync> sync_override_{&platform::Platform::sync, sync_};
    policy_test::SavedReportNumber saved_number_;
};

// Every report file below the data folder's "logs", by name.
std::vector<std::filesystem::path> reports_in(const std::filesystem::path& data)
{
    std::vector<std::filesystem::path> found;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(data / "logs", ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_regular_file()) found.push_back(it->path());
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(PresentDevices, GudListOfTheExampleMachine)
{
    ModelMachine machine(read_fixture("example_machine.json"));
    destroy_facade(); // the list writer makes its own facade
    const std::filesystem::path out = data_.path() / "gud list.json";
    write_usb_list_to(out.u16string());
    EXPECT_FALSE(facade_exists()) << "the list writer's facade is gone afterwards";
    // Every device with exact patterns, "=" alone for a text the device lacks, "dyski" only where
    // there are letters; UTF-8 without a byte-order mark.
    auto rule = [](const char* dyski, const char* klasa, const char* numer, const char* opis, const char* producent,
                   const char* produkt) {
        std::string r = "        [\r\n            {\r\n";
        if (dyski) r += std::string("                \"dyski\" : \"") + dyski + "\", \r\n";
        r += std::string("                \"klasa\" : \"=") + klasa + "\", \r\n" + "                \"numer\" : \"=" +
             numer + "\", \r\n" + "                \"opis\" : \"=" + opis + "\", \r\n" +
             "                \"producent\" : \"=" + producent + "\", \r\n" + "                \"produkt\" : \"=" +
             produkt + "\"\r\n            }, \r\n            1\r\n        ]";
        return r;
    };
    const std::string expected = "{\r\n    \"rules\" : [\r\n" + rule(nullptr, "USB", "", "Generic USB Hub", "", "USB2.0 Hub") +
                                 ", \r\n" + rule(nullptr, "HIDClass", "", "USB Input Device", "Acme", "Acme Keyboard") +
                                 ", \r\n" +
                                 rule(nullptr, "USB", "C0MB0-42", "USB Composite Device",
                                      "(Standard USB Host Controller)", "Combo") +
                                 ", \r\n" + rule("E", "USB", "4C530001", "USB Mass Storage Device", "Globex", "Stick") +
                                 "\r\n    ]\r\n}";
    EXPECT_EQ(file_bytes(out), expected);
}

TEST_F(PresentDevices, GudListIsUtf8WithEveryCharacter)
{
    // "Zażółć" and a character outside the Basic Multilingual Plane (one four-byte sequence) in the product.
    std::string m = read_fixture("example_machine.json");
    m.replace(m.find("\"2\": \"Stick\""), 12, "\"2\": \"Za\\u017c\\u00f3\\u0142\\u0107\\ud83d\\ude00!\"");
    ModelMachine machine(m);
    const std::filesystem::path out = data_.path() / "list.json";
    save_current_usb_list(out.u16string(), false);
    const std::string bytes = file_bytes(out);
    EXPECT_NE(bytes.find("\"produkt\" : \"=Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\xF0\x9F\x98\x80!\""), std::string::npos) << bytes;
    EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(PresentDevices, NothingWithoutFacadeOrList)
{
    ModelMachine machine(read_fixture("example_machine.json"));
    destroy_facade();
    const std::filesystem::path out = data_.path() / "list.json";
    save_current_usb_list(out.u16string(), false);
    sweep_unlisted_devices();
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(data_folder() / "tmp" / "devices_found.txt"));

    // A machine the library cannot list: the error is traced and nothing is written.
    create_facade();
    machine.write("not a machine");
    save_current_usb_list(out.u16string(), false);
    sweep_unlisted_devices();
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(data_folder() / "tmp" / "devices_found.txt"));
    bool traced = false;
    for (const auto& line : system_.lines) traced |= line.find(u"generate_current_usb_list error: ") != std::u16string::npos;
    EXPECT_TRUE(traced);
}

TEST_F(PresentDevices, InitialListLeavesDrivesOutAndIsWrittenOnce)
{
    ModelMachine machine(read_fixture("example_machine.json"));
    ensure_initial_list();
    const std::filesystem::path file = data_folder() / "zelmusb" / "current_usb.json";
    const std::u16string first = utf16_file(file);
    CJsonNode doc;
    doc.LoadText(first);
    CJsonNode* rules = doc.Member(u"rules");
    ASSERT_EQ(rules->children.size(), 3u) << "the flash drive is not in the initial list";
    EXPECT_EQ(first.find(u"Stick"), std::u16string::npos);
    EXPECT_NE(first.find(u"\"numer\" : \"=\""), std::u16string::npos) << "a keyboard without a serial string";
    EXPECT_EQ(initial_rules.size(), 3u) << "the initial rules are loaded from the new file";

    // Present at the next start, a new device does not change the kept file.
    std::string m = read_fixture("example_machine.json");
    m.replace(m.find("\"2\": \"Combo\""), 12, "\"2\": \"Other\"");
    machine.write(m);
    ensure_initial_list();
    EXPECT_EQ(utf16_file(file), first);
}

struct SweepCase {
    const char* what;
    const char* volumes;        // the stick's disk volumes
    std::vector<UsbRule> rules; // main rules
    int reports;
    std::string ejected;
    std::vector<uint32_t> sleeps;
    std::vector<std::string> traced; // the sweep's line for each of the stick's drives
};

// The sweep's trace lines, without their prefixes.
std::vector<std::string> sweep_lines(const std::vector<std::u16string>& lines)
{
    std::vector<std::string> found;
    for (const auto& l : lines) {
        const size_t at = l.find(u"Start-up sweep, drive ");
        if (at == std::u16string::npos) continue;
        std::u16string line = l.substr(at);
        if (line.ends_with(u"\r\n")) line.resize(line.size() - 2);
        found.push_back(text::to_utf8(line));
    }
    return found;
}

TEST_F(PresentDevices, SweepTable)
{
    auto rule = [](const char16_t* produkt, const char16_t* numer, int32_t action) {
        UsbRule r;
        clear_rule(r);
        r.produkt = produkt;
        r.numer = numer;
        r.action = action;
        return r;
    };
    const std::vector<uint32_t> none;
    const std::vector<uint32_t> three(3, 500), nineteen(19, 500);
    const std::string no_rule = ", decided by no rule";
    const std::string e_ejected = "Start-up sweep, drive E: ejected" + no_rule;
    const SweepCase cases[] = {
        {"a removable stick without a rule: reported and ejected", R"([{"letter": "E"}])", {}, 1, "E", none, {e_ejected}},
        {"allowed by a serial-only rule: untouched", R"([{"letter": "E"}])", {rule(u"=Other", u"=S1", 1)}, 0, "", none,
         {"Start-up sweep, drive E: kept, decided by main rule 1 (produkt \"=Other\", producent \"\", numer \"=S1\", "
          "klasa \"\", opis \"\") by the serial number"}},
        {"allowed by a normal rule: untouched", R"([{"letter": "E"}])", {rule(u"=Other", u"=S9", 0), rule(u"P1", u"", 1)},
         0, "", none,
         {"Start-up sweep, drive E: kept, decided by main rule 2 (produkt \"P1\", producent \"\", numer \"\", "
          "klasa \"\", opis \"\")"}},
        {"blocked by a rule: reported and ejected", R"([{"letter": "E"}])", {rule(u"P1", u"", 0)}, 1, "E", none,
         {"Start-up sweep, drive E: ejected, decided by main rule 1 (produkt \"P1\", producent \"\", numer \"\", "
          "klasa \"\", opis \"\")"}},
        {"two volumes: both ejected, letter by letter", R"([{"letter": "E"}, {"letter": "F", "partition": 2}])", {}, 1,
         "EF", none, {e_ejected, "Start-up sweep, drive F: ejected" + no_rule}},
        {"a fixed disk: reported, not ejected", R"([{"letter": "E", "type": "fixed"}])", {}, 1, "", none,
         {"Start-up sweep, drive E: not removable, left attached" + no_rule}},
        {"a CD drive: reported, not ejected", R"([{"letter": "E", "type": "cdrom"}])", {}, 1, "", none,
         {"Start-up sweep, drive E: not removable, left attached" + no_rule}},
        {"the lock fails 3 times: ejected after 3 retries", R"([{"letter": "E", "lock_failures": 3}])", {}, 1, "E", three,
         {e_ejected}},
        {"the lock never succeeds: 20 tries, the volume stays", R"([{"letter": "E", "lock_failures": "always"}])", {}, 1,
         "", nineteen, {"Start-up sweep, drive E: failed: error 5 at FSCTL_LOCK_VOLUME" + no_rule}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const platform_test::TempFolder scratch;
        system_.env[u"ALLUSERSPROFILE"] = scratch.windows(u"ProgramData");
        const std::filesystem::path data = scratch.path() / "ProgramData" / "halvar";
        main_rules = c.rules;
        sync_.time.sleeps.clear();
        // A keyboard (no volumes, never considered) and the stick with its volumes.
        const std::string machine_json =
            R"({"controllers": [{"index": 0, "node": {"id": "PCI\\0", "props": {"DEVICEDESC": "xHCI"}},
              "root_hub": {"name": "RH0", "ports": 4, "node": {"id": "USB\\RH\\0"}, "devices": [
              {"port": 1, "device": "12 01 10 01 00 00 00 08 33 33 44 44 00 01 00 01 00 01", "strings": {"1": "Keys"},
               "node": {"id": "USB\\VID_3333&PID_4444\\1", "props": {"CLASS": "HIDClass"}}},
              {"port": 2, "device": "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01",
               "strings": {"1": "Globex", "2": "P1", "3": "S1"},
               "node": {"id": "USB\\VID_0781&PID_5567\\S1", "props": {"CLASS": "USB", "DEVICEDESC": "Mass"},
                 "children": [{"id": "USBSTOR\\DISK\\S1", "disk": {"number": 1, "volumes": )" +
            std::string(c.volumes) + R"(}}]}}]}}]})";
        ModelMachine machine(machine_json);
        system_.lines.clear();
        sweep_unlisted_devices();

        EXPECT_EQ(ejected_letters(machine.read()), c.ejected);
        EXPECT_EQ(sweep_lines(system_.lines), c.traced);
        EXPECT_EQ(sync_.time.sleeps, c.sleeps);
        const auto reports = reports_in(data);
        ASSERT_EQ(int(reports.size()), c.reports);
        const std::u16string found = utf16_file(data / "tmp" / "devices_found.txt");
        EXPECT_NE(found.find(u"\"produkt\" : \"P1\""), std::u16string::npos) << "texts without exact patterns";
        EXPECT_NE(found.find(u"\"produkt\" : \"Keys\""), std::u16string::npos);
        const std::u16string log = utf16_file(data / "tmp" / "devices_ejected.txt");
        EXPECT_TRUE(log.starts_with(u"Unknown devices ejected 2024.01.31 09:59:59\r\n")) << text::to_utf8(log);
        EXPECT_EQ(log.find(u"Keys"), std::u16string::npos) << "a device without volumes is not considered";
        if (c.reports == 0) {
            EXPECT_EQ(log, u"Unknown devices ejected 2024.01.31 09:59:59\r\n");
            continue;
        }
        EXPECT_TRUE(log.ends_with(u"    1\r\n]\r\n"));
        EXPECT_NE(log.find(u"\"action\" : 0"), std::u16string::npos);
        EXPECT_NE(log.find(u"\"user\" : \"ann\""), std::u16string::npos);
        EXPECT_NE(log.find(u"\"time\" : \"2024.01.31 09:59:59\""), std::u16string::npos);

        // The report: category 14, level 3, its entries in order.
        EXPECT_TRUE(reports[0].filename().u16string().ends_with(u"-1403.json")) << reports[0];
        CJsonNode report;
        report.LoadText(utf16_file(reports[0]));
        std::u16string entries;
        for (auto& [k, entry] : report.Member(u"report")->children)
            entries += entry->Member(u"event")->AsString() + u"=" + entry->Member(u"value")->AsString() + u";";
        EXPECT_EQ(entries, std::u16string(u"Producent=Globex;Produkt=P1;Klasa=USB;Opis=Mass;Numer seryjny=S1;"
                                          u"Suma kontrolna=;Użytkownik=ann;Dyski=") +
                               text::from_utf8(c.ejected.empty() ? "E" : c.ejected) + u";Akcja=Zablokowane;");
    }
}

} // namespace
