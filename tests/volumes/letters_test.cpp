// The USB disks found in sysfs, their drive types and numbers, and the drive letters they get.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "testbed.h"

namespace volumes_test {
namespace {

std::string letters(const std::vector<sysfs::Disk>& disks)
{
    std::string out;
    for (const auto& d : disks)
        for (const auto& v : d.volumes) out += char(v.letter);
    return out;
}

using UsbDisks = Testbed;

TEST_F(UsbDisks, FindsDisksBelowUsbDevicesWithTheirDriveTypesAndNumbers)
{
    const std::string stick = usb_port("1-1"), hdd = usb_port("1-2"), reader = usb_port("1-3"), cd = usb_port("1-4");
    const std::string sdb = scsi_disk(stick, 6, "sdb", "8:16");
    partition(sdb, "sdb2", "2", "8:18");
    partition(sdb, "sdb1", "1", "8:17");
    partition(sdb, "sdb3", "x", "8:19"); // no usable number: not a volume
    partition(scsi_disk(hdd, 7, "sdc", "8:32", "A: removable=0\n"), "sdc1", "1", "8:33");
    scsi_disk(reader, 8, "sdd", "8:48", ""); // no card, no partitions, no `removable`
    scsi_disk(cd, 9, "sr0", "11:0");
    partition(scsi_disk("", 0, "sda", "8:0", "A: removable=0\n"), "sda1", "1", "8:1");

    const auto disks = sysfs::usb_disks(root());

    struct Want {
        const char* name;
        std::string usb_device;
        bool cdrom;
        uint32_t number;
        std::vector<std::tuple<char16_t, uint32_t, uint32_t, std::string>> volumes; // letter, partition, type, device
    };
    const Want want[] = {
        {"sdb", stick, false, 1, {{u'D', 1, 2, "/dev/sdb1"}, {u'E', 2, 2, "/dev/sdb2"}}},
        {"sdc", hdd, false, 2, {{u'F', 1, 2, "/dev/sdc1"}}}, // USB mass storage is removable whatever its bit
        {"sdd", reader, false, 3, {{u'G', 0, 2, "/dev/sdd"}}},
        {"sr0", cd, true, 0, {{u'H', 0, 5, "/dev/sr0"}}},
    };
    ASSERT_EQ(disks.size(), std::size(want)) << "the SATA disk is not a USB disk";
    for (size_t i = 0; i < disks.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(disks[i].name, want[i].name);
        EXPECT_EQ(disks[i].usb_device, want[i].usb_device);
        EXPECT_EQ(disks[i].cdrom, want[i].cdrom);
        EXPECT_EQ(disks[i].number, want[i].number);
        ASSERT_EQ(disks[i].volumes.size(), want[i].volumes.size());
        for (size_t j = 0; j < disks[i].volumes.size(); ++j) {
            const auto& v = disks[i].volumes[j];
            const auto& [letter, part, type, device] = want[i].volumes[j];
            EXPECT_EQ(v.letter, letter);
            EXPECT_EQ(v.partition, part);
            EXPECT_EQ(v.drive_type, type);
            EXPECT_EQ(v.device, device);
        }
    }
    EXPECT_EQ(link("d::"), "/dev/sdb1");
    EXPECT_EQ(link("h::"), "/dev/sr0");
    EXPECT_EQ(link("d:"), "-") << "not mounted: no root link";
}

TEST_F(UsbDisks, LettersAreKeptAcrossScansFreedWithTheDeviceAndReused)
{
    // What Wine already keeps there: its own drives and a letter of a disk long gone.
    make_link("c:", "../drive_c");
    make_link("z:", "/nonexistent/zelmusb-z");
    make_link("d:", "/nonexistent/zelmusb-data"); // a drive mapped to a folder
    make_link("e::", "/dev/sda1");               // the SATA disk, present
    make_link("f::", "/dev/sdx1");               // gone
    make_link("f:", "/nonexistent/zelmusb-old");
    partition(scsi_disk("", 0, "sda", "8:0", "A: removable=0\n"), "sda1", "1", "8:1");

    const std::string first = scsi_disk(usb_port("1-1"), 6, "sdb", "8:16");
    partition(first, "sdb1", "1", "8:17");
    partition(first, "sdb2", "2", "8:18");
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "FG") << "the gone device's F: is free again";
    EXPECT_EQ(link("f:"), "-");
    EXPECT_EQ(link("c:"), "../drive_c");
    EXPECT_EQ(link("z:"), "/nonexistent/zelmusb-z");
    EXPECT_EQ(link("d:"), "/nonexistent/zelmusb-data");
    EXPECT_EQ(link("e::"), "/dev/sda1");

    const std::string second = scsi_disk(usb_port("1-2"), 7, "sdc", "8:32");
    partition(second, "sdc1", "1", "8:33");
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "FGH");
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "FGH") << "a scan changes nothing that is in place";

    unplug(first + "/sdb2");
    unplug(first + "/sdb1");
    unplug(first);
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "H");
    EXPECT_EQ(link("f::"), "-");
    EXPECT_EQ(link("g::"), "-");

    partition(scsi_disk(usb_port("1-3"), 8, "sdd", "8:48"), "sdd1", "1", "8:49");
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "HF") << "the first free letter is reused";
    EXPECT_EQ(link("f::"), "/dev/sdd1");
}

TEST_F(UsbDisks, RootLinkFollowsTheMountPoint)
{
    const std::string sdb = scsi_disk(usb_port("1-1"), 6, "sdb", "8:16");
    partition(sdb, "sdb1", "1", "8:17");
    partition(sdb, "sdb2", "2", "8:18");
    host_.mount("8:17", "/media/ann/STICK\\040A", "/dev/sdb1");
    host_.mount("0:51", "/media/ann/b", "/dev/sdb2", "btrfs"); // btrfs shows an anonymous number
    host_.mount("8:17", "/mnt/second", "/dev/sdb1");
    sysfs::usb_disks(root());
    EXPECT_EQ(link("d:"), "/media/ann/STICK A");
    EXPECT_EQ(link("e:"), "/media/ann/b");

    host_.lines.erase(host_.lines.begin());
    sysfs::usb_disks(root());
    EXPECT_EQ(link("d:"), "/mnt/second");

    host_.lines.clear();
    sysfs::usb_disks(root());
    EXPECT_EQ(link("d:"), "-");
    EXPECT_EQ(link("e:"), "-");
    EXPECT_EQ(link("d::"), "/dev/sdb1") << "the letter stays with the unmounted volume";
}

TEST_F(UsbDisks, ScanLockIsOwnerOnlyAndWaitedForAtMostTheBound)
{
    const std::string lock_path = root() + "/dosdevices.lock";
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666); // left by someone with a wider mode
    partition(scsi_disk(usb_port("1-1"), 6, "sdb", "8:16"), "sdb1", "1", "8:17");
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "D");
    struct stat st {};
    ASSERT_EQ(::stat(lock_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Another process is scanning: this scan gives the letters in place and hands out none.
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    partition(scsi_disk(usb_port("1-2"), 7, "sdc", "8:32"), "sdc1", "1", "8:33");
    EXPECT_EQ(letters(sysfs::usb_disks(root(), 50)), "D");
    EXPECT_EQ(link("e::"), "-");
    ::close(fd);
    EXPECT_EQ(letters(sysfs::usb_disks(root(), 50)), "DE");

    // A symlink planted as the lock file is not followed.
    const std::string planted = root() + "/planted";
    std::filesystem::remove(lock_path);
    std::filesystem::create_symlink(planted, lock_path);
    partition(scsi_disk(usb_port("1-3"), 8, "sdd", "8:48"), "sdd1", "1", "8:49");
    EXPECT_EQ(letters(sysfs::usb_disks(root(), 50)), "DE");
    EXPECT_FALSE(std::filesystem::exists(planted));
}

TEST_F(UsbDisks, ConcurrentScansNeverGiveOneVolumeTwoLetters)
{
    std::set<std::string> devices;
    for (int i = 0; i < 4; ++i) {
        const std::string name = std::string("sd") + char('b' + i);
        const std::string d = scsi_disk(usb_port("1-" + std::to_string(i + 1)), 6 + i, name, std::to_string(8) + ":" + std::to_string(16 * (i + 1)));
        for (int p = 1; p <= 2; ++p) {
            partition(d, name + std::to_string(p), std::to_string(p), "8:" + std::to_string(16 * (i + 1) + p));
            devices.insert("/dev/" + name + std::to_string(p));
        }
    }
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char c;
            ::close(gate[1]);
            const bool released = ::read(gate[0], &c, 1) == 0; // all start when the gate closes
            const auto disks = sysfs::usb_disks(root());
            ::_exit(released && letters(disks).size() == 8 ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::map<std::string, int> owners;
    for (char c = 'a'; c <= 'z'; ++c)
        if (const std::string t = link(std::string(1, c) + "::"); t != "-") ++owners[t];
    EXPECT_EQ(owners.size(), devices.size());
    for (const auto& [device, count] : owners) EXPECT_EQ(count, 1) << device;
    EXPECT_EQ(letters(sysfs::usb_disks(root())), "DEFGHIJK");
}

} // namespace
} // namespace volumes_test
