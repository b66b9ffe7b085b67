// The start-up sweep of the real program on a running machine (a umockdev testbed in place of
// /sys) that booted a minute ago: the stick no rule allows is removed (its USB device's `remove`
// written), the stick a rule allows, the CD drive and the SATA disk are left alone.
//
// A binary of its own: the programs it starts live in a time namespace whose boot clock says the
// machine came up a minute ago (the sweep runs only in the first five minutes), and that holds for
// every process this one starts afterwards. Making one needs CAP_SYS_ADMIN; without it the test
// is skipped and says so.
//
// The started program is the real one: it reads the real mount table and would unmount what it
// finds there for the testbed's volumes. The testbed's disks therefore carry names and device
// numbers (major 251, set aside for local use) that no disk of this machine has, and the test
// checks the real mount table for them before the program starts, so nothing here can match a
// real mount.
#include <sched.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "../sysfs/testbed.h"
#include "e2e_machine.h"

namespace sysfs_test {
namespace {

using namespace std::chrono_literals;

// Once per process: the processes started from now on see CLOCK_BOOTTIME (the uptime) at about
// a minute. 0, or the errno of the failure.
int boot_a_minute_ago()
{
    static const int result = [] {
        timespec now {};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        if (::unshare(CLONE_NEWTIME) != 0) return errno;
        // The offsets of the namespace the children enter, writable until the first of them.
        std::ofstream offsets("/proc/self/timens_offsets");
        offsets << CLOCK_BOOTTIME << " " << (60 - now.tv_sec) << " 0\n";
        offsets.flush();
        return offsets ? 0 : EIO;
    }();
    return result;
}

std::string mass_storage(const std::string& pid)
{
    return "12 01 00 02 00 00 00 40 81 07 " + pid.substr(2, 2) + " " + pid.substr(0, 2) +
           " 00 01 01 02 03 01 09 02 20 00 01 01 00 80 32 09 04 00 00 02 08 06 50 00 07 05 81 02 00 02 00 07 05 "
           "02 02 00 02 00";
}

class Sweep : public Testbed {
protected:
    // A USB device with the kernel's strings and a `remove` attribute, and the SCSI chain below its
    // interface; the path of its block folder (without "/sys").
    std::string storage(const std::string& name, uint32_t devnum, const std::string& pid, const std::string& vendor,
                        const std::string& product, const std::string& serial)
    {
        usb({name, mass_storage(pid),
             {{"speed", "480"}, {"bConfigurationValue", "1"}, {"manufacturer", vendor}, {"product", product},
              {"serial", serial}, {"remove", ""}},
             {}},
            devnum);
        const std::string iface = path_of(name) + "/" + name + ":1.0";
        add("P: " + iface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=08\n");
        const std::string h = std::to_string(devnum + 10);
        return iface + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0/block/";
    }

    void block(const std::string& path, const std::string& type, const std::string& dev, const std::string& extra)
    {
        const std::string name = path.substr(path.rfind('/') + 1);
        add("P: " + path + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + type + "\nE: DEVNAME=/dev/" + name +
            "\nA: size=2048\nA: dev=" + dev + "\n" + extra);
    }

    std::string written(const std::string& usb_name) const
    {
        std::ifstream in(testbed_dir_ + "/sys" + path_of(usb_name) + "/remove", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(Sweep, FreshlyBootedMachineLosesOnlyTheStickNoRuleAllows)
{
    if (const int e = boot_a_minute_ago())
        GTEST_SKIP() << "no time namespace for a freshly booted machine (errno " << e << "; needs CAP_SYS_ADMIN)";

    controller();
    usb(example_devices()[0], 1); // the root hub usb1
    block(storage("1-1", 2, "1001", "Globex", "Stick", "BAD1") + "sdzy", "disk", "251:16", "A: removable=1\n");
    block(path_of("1-1") + "/1-1:1.0/host12/target12:0:0/12:0:0:0/block/sdzy/sdzy1", "partition", "251:17",
          "A: partition=1\n");
    block(storage("1-2", 3, "1002", "Initech", "Safe One", "OK1") + "sdzz", "disk", "251:32", "A: removable=1\n");
    block(path_of("1-2") + "/1-2:1.0/host13/target13:0:0/13:0:0:0/block/sdzz/sdzz1", "partition", "251:33",
          "A: partition=1\n");
    block(storage("1-3", 4, "1003", "Hooli", "CD Writer", "CD1") + "sr9", "disk", "251:48", "A: removable=1\n");
    const std::string sata = "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdzx";
    block(sata, "disk", "251:0", "A: removable=0\n");
    block(sata + "/sdzx1", "partition", "251:1", "A: partition=1\n");

    // Nothing of the real mount table can be taken for the testbed's volumes.
    std::ifstream real("/proc/self/mountinfo");
    for (std::string line; std::getline(real, line);)
        ASSERT_TRUE(line.find(" 251:") == std::string::npos && line.find("/dev/sdz") == std::string::npos &&
                    line.find("/dev/sr9") == std::string::npos)
            << "this machine has a mount the test's disks could be taken for: " << line;

    e2e::Machine machine("sw");
    e2e::write_file(machine.all_users_profile() / "halvar" / "cfg" / "cfg.json",
                    R"({"usb":{"active":1,"action":0,"rules":[[{"produkt":"Safe"},1]]}})");
    const uint32_t pid = machine.start(e2e::Program::zelmarusb, {u"/start"});
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(machine.trace_has("User mode enable done.", 60s)) << machine.trace();

    // The letters the sweep saw: the disks in number order, the SATA disk none.
    const auto letter = [&](const char* name) {
        std::error_code ec;
        return std::filesystem::read_symlink(machine.folder() / "root" / "dosdevices" / name, ec).string();
    };
    EXPECT_EQ(letter("d::"), "/dev/sdzy1");
    EXPECT_EQ(letter("e::"), "/dev/sdzz1");
    EXPECT_EQ(letter("f::"), "/dev/sr9");
    EXPECT_EQ(letter("g::"), "");

    EXPECT_EQ(written("1-1"), "1") << machine.trace();
    EXPECT_EQ(written("1-2"), "") << "a rule allows it";
    EXPECT_EQ(written("1-3"), "") << "a CD drive is not ejected";

    const std::string log = e2e::read_file(machine.all_users_profile() / "halvar" / "tmp" / "devices_ejected.txt");
    std::string text; // UTF-16LE, ASCII here
    for (size_t i = 0; i < log.size(); i += 2) text += log[i];
    EXPECT_NE(text.find("\"dyski\" : \"D\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"dyski\" : \"F\""), std::string::npos) << "the CD drive is logged: " << text;
    EXPECT_EQ(text.find("Safe One"), std::string::npos) << text;

    const uint32_t stopper = machine.start(e2e::Program::zelmarusb, {u"/uninstall"});
    EXPECT_TRUE(machine.ended_within(stopper, 15s));
    EXPECT_TRUE(machine.ended_within(pid, 40s)) << machine.trace();
}

} // namespace
} // namespace sysfs_test
