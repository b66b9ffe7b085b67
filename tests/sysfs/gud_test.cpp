// The /gud: list written by the real program (and the temporary service copy it starts) on the
// running machine, here the testbed: the same bytes as for the machine file that describes the
// same machine; and the same devices, names and serial numbers as a peer reading sysfs,
// usbguard's generate-policy, finds.
#include <chrono>
#include <cstdio>
#include <map>
#include <regex>

#include "e2e_machine.h"
#include "testbed.h"

namespace sysfs_test {
namespace {

using namespace std::chrono_literals;

class GudList : public Testbed {
protected:
    // The example machine with the stick's disk; `stick_serial` gives the stick a serial
    // attribute (usbguard reads no other source).
    void example(bool stick_serial)
    {
        controller();
        uint32_t devnum = 1;
        for (UsbSpec d : example_devices()) {
            if (stick_serial && d.name == "1-3") d.attributes.emplace_back("serial", "4C530001");
            usb(d, devnum++);
        }
        disk("1-3", "sdb", 8, 16);
    }

    // Runs `zelmarusb /gud:<file>` on a fresh emulated machine whose root gets `machine_json`
    // (none: the running machine) and the drive letter E: kept for the stick's volume; the file.
    std::string gud(const std::string& name, const std::string* machine_json)
    {
        e2e::Machine machine(name);
        if (machine_json) e2e::write_file(machine.folder() / "root" / "machine.json", *machine_json);
        std::filesystem::create_directories(machine.folder() / "root" / "dosdevices");
        std::filesystem::create_symlink("/dev/sdb1", machine.folder() / "root" / "dosdevices" / "e::");
        const std::filesystem::path list = machine.folder() / "out" / "usb-list.json";
        std::filesystem::create_directories(list.parent_path());
        const uint32_t pid = machine.start(e2e::Program::zelmarusb, {u"/gud:" + list.u16string()});
        EXPECT_NE(pid, 0u);
        int code = -1;
        EXPECT_TRUE(machine.ended_within(pid, 35s, &code)) << machine.trace();
        EXPECT_TRUE(machine.trace_has("USB list path: ", 5s)) << machine.trace();
        return e2e::read_file(list);
    }
};

std::string fixture(const std::string& name)
{
    return e2e::read_file(std::filesystem::path(ZELMUSB_FIXTURES) / "usbinventory" / name);
}

TEST_F(GudList, RunningMachineGivesTheSameListAsItsMachineFile)
{
    example(false);
    const std::string machine_file = fixture("example_machine.json");
    const std::string from_file = gud("gf", &machine_file);
    const std::string from_sysfs = gud("gs", nullptr);
    EXPECT_NE(from_file.find("=Acme Keyboard"), std::string::npos) << from_file;
    EXPECT_NE(from_file.find("\"dyski\" : \"E\""), std::string::npos) << from_file;
    EXPECT_EQ(from_sysfs, from_file);
}

// One device as a list names it: product and serial number.
struct Named {
    std::string product, serial;
    bool operator<(const Named& o) const { return product != o.product ? product < o.product : serial < o.serial; }
    bool operator==(const Named&) const = default;
};

TEST_F(GudList, UsbguardNamesTheSameDevices)
{
#ifndef ZELMUSB_USBGUARD
    GTEST_SKIP() << "usbguard is not installed (Debian package usbguard): the comparison with it is skipped";
#else
    example(true);
    const std::string list = gud("gu", nullptr);
    // {"dyski": ..., "klasa": ..., "numer": "=<serial>", ..., "produkt": "=<product>"} per device.
    std::vector<Named> ours;
    const std::regex rule("\"numer\" : \"=([^\"]*)\"[\\s\\S]*?\"produkt\" : \"=([^\"]*)\"");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), rule); it != std::sregex_iterator(); ++it)
        ours.push_back({(*it)[2], (*it)[1]});

    std::string policy;
    FILE* p = ::popen(ZELMUSB_USBGUARD " generate-policy 2>/dev/null", "r");
    ASSERT_NE(p, nullptr);
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, p)) > 0;) policy.append(chunk, n);
    ASSERT_EQ(::pclose(p), 0) << policy;
    // allow id 1111:2222 serial "" name "USB2.0 Hub" ... ; root hubs (Linux Foundation's 1d6b)
    // are not devices of the list.
    std::vector<Named> theirs;
    const std::regex allow("allow id ([0-9a-f]{4}):[0-9a-f]{4} serial \"([^\"]*)\" name \"([^\"]*)\"");
    for (auto it = std::sregex_iterator(policy.begin(), policy.end(), allow); it != std::sregex_iterator(); ++it)
        if ((*it)[1] != "1d6b") theirs.push_back({(*it)[3], (*it)[2]});

    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    ASSERT_EQ(ours.size(), 4u) << list;
    EXPECT_EQ(ours, theirs) << list << "\n" << policy;
#endif
}

} // namespace
} // namespace sysfs_test
