// Locking, dismounting and ejecting a USB volume by its letter; the mount table and process scan
// they rely on.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "testbed.h"

namespace volumes_test {
namespace {

using platform::Error;

// Two sticks (D: E: on 1-1, F: on 1-2) and a SATA disk that has a letter of its own.
class Ejection : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        if (HasFatalFailure()) return;
        stick_ = usb_port("1-1");
        other_ = usb_port("1-2");
        sdb_ = scsi_disk(stick_, 6, "sdb", "8:16");
        partition(sdb_, "sdb1", "1", "8:17");
        partition(sdb_, "sdb2", "2", "8:18");
        partition(scsi_disk(other_, 7, "sdc", "8:32"), "sdc1", "1", "8:33");
        partition(scsi_disk("", 0, "sda", "8:0", "A: removable=0\n"), "sda1", "1", "8:1");
        make_link("c::", "/dev/sda1");
        ASSERT_EQ(link("d::"), "-");
        sysfs::usb_disks(root());
        ASSERT_EQ(link("d::"), "/dev/sdb1");
        ASSERT_EQ(link("f::"), "/dev/sdc1");
    }
    std::string stick_, other_, sdb_;
};

TEST_F(Ejection, ResolvingTheLetterFailsWithTheCodesOfAVolumeThatIsNotThere)
{
    make_link("x::", "/dev/sdq1");          // its device is gone
    make_link("y::", "/dev/disk/by-id/foo"); // not a block device name of ours
    struct Case {
        const char* what;
        char16_t letter;
        Error want;
    } cases[] = {
        {"no such letter", u'K', 2},
        {"not a letter", u'1', 2},
        {"a lower-case letter is the same volume", u'd', 0},
        {"a disk that is not on USB", u'C', 1},
        {"the device has left sysfs", u'X', sysfs::device_not_connected},
        {"a link that is not ours", u'Y', 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sysfs::lock_volume(root(), c.letter), c.want);
        EXPECT_EQ(sysfs::dismount_volume(root(), c.letter), c.want);
    }
    // A device gone in the middle: its attributes (dev) vanish with it.
    unplug(sdb_ + "/sdb2");
    EXPECT_EQ(sysfs::lock_volume(root(), u'E'), sysfs::device_not_connected);
    EXPECT_EQ(sysfs::eject_volume(root(), u'E'), sysfs::device_not_connected);
    EXPECT_EQ(written(stick_ + "/remove"), "");
}

TEST_F(Ejection, LockFailsWhileTheVolumeIsInUse)
{
    host_.mount("8:17", "/", "/dev/sdb1"); // a mount point whose own device number differs
    host_.mount("8:33", "/media/ann/OTHER", "/dev/sdc1");
    EXPECT_EQ(sysfs::lock_volume(root(), u'D'), 0);
    ASSERT_EQ(host_.asked.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat("/", &st), 0);
    EXPECT_EQ(host_.asked[0], (std::vector<uint64_t>{makedev(8, 17), uint64_t(st.st_dev)}))
        << "the partition and the file systems mounted from it, not the other stick's";

    host_.busy = true;
    EXPECT_EQ(sysfs::lock_volume(root(), u'D'), 5u);
    host_.busy = false;

    // A device-mapper layer built on the partition holds it.
    std::filesystem::create_directories(testbed_dir_ + "/sys" + sdb_ + "/sdb1/holders/dm-0");
    EXPECT_EQ(sysfs::lock_volume(root(), u'D'), 5u);
    EXPECT_EQ(sysfs::lock_volume(root(), u'E'), 0u);
}

TEST_F(Ejection, DismountUnmountsOnlyThatPartitionsMountsInnermostFirst)
{
    host_.mount("8:1", "/", "/dev/sda1", "ext4");
    host_.mount("8:17", "/media/ann/STICK\\040A", "/dev/sdb1");
    host_.mount("8:18", "/media/ann/STICK\\040A/inner", "/dev/sdb2");
    host_.mount("0:45", "/srv/snap", "/dev/sdb1", "btrfs");
    host_.mount("8:33", "/media/ann/OTHER", "/dev/sdc1");
    host_.mount("8:17", "/mnt/again", "/dev/sdb1");
    EXPECT_EQ(sysfs::dismount_volume(root(), u'D'), 0);
    EXPECT_EQ(host_.unmounted, (std::vector<std::string>{"/mnt/again", "/srv/snap", "/media/ann/STICK A"}));

    host_.unmounted.clear();
    EXPECT_EQ(sysfs::dismount_volume(root(), u'D'), 0) << "nothing left to unmount";
    EXPECT_TRUE(host_.unmounted.empty());

    host_.unmount_error = 5;
    EXPECT_EQ(sysfs::dismount_volume(root(), u'E'), 5u);
    EXPECT_EQ(host_.unmounted, std::vector<std::string>{"/media/ann/STICK A/inner"});
}

TEST_F(Ejection, EjectRemovesTheUsbDeviceOnceNoneOfItsVolumesIsMounted)
{
    host_.mount("8:18", "/media/ann/E", "/dev/sdb2");
    host_.mount("8:33", "/media/ann/F", "/dev/sdc1");
    EXPECT_EQ(sysfs::eject_volume(root(), u'D'), 5u) << "E: of the same stick is still mounted";
    EXPECT_EQ(written(stick_ + "/remove"), "");

    ASSERT_EQ(sysfs::dismount_volume(root(), u'E'), 0);
    host_.busy = true;
    EXPECT_EQ(sysfs::eject_volume(root(), u'D'), 5u) << "a process holds one of its devices";
    EXPECT_EQ(written(stick_ + "/remove"), "");
    ASSERT_FALSE(host_.asked.empty());
    EXPECT_EQ(host_.asked.back().size(), 3u) << "the disk and both partitions";

    host_.busy = false;
    EXPECT_EQ(sysfs::eject_volume(root(), u'D'), 0);
    EXPECT_EQ(written(stick_ + "/remove"), "1");
    EXPECT_EQ(written(other_ + "/remove"), "") << "the other stick stays";
    EXPECT_EQ(host_.lines.size(), 1u) << "the other stick's mount is untouched";
}

TEST_F(Ejection, EjectOfAUsbDeviceWithoutRemoveFailsAsDisconnected)
{
    const std::string bare = usb_port("1-5", false);
    partition(scsi_disk(bare, 9, "sde", "8:64"), "sde1", "1", "8:65");
    sysfs::usb_disks(root());
    ASSERT_EQ(link("g::"), "/dev/sde1");
    EXPECT_EQ(sysfs::eject_volume(root(), u'G'), sysfs::device_not_connected);
    EXPECT_FALSE(std::filesystem::exists(testbed_dir_ + bare + "/remove"));
}

// The letter is resolved once, when the volume is locked: a link pointed at another stick between
// the steps makes them refuse, and they never act on the stick it names by then.
TEST_F(Ejection, ALetterPointedElsewhereAfterTheLockIsRefused)
{
    host_.mount("8:17", "/media/ann/D", "/dev/sdb1");
    host_.mount("8:33", "/media/ann/F", "/dev/sdc1");
    auto point_d_at = [&](const std::string& device) {
        std::filesystem::remove(root_ / "dosdevices" / "d::");
        make_link("d::", device);
    };
    struct Case {
        const char* what;
        bool flip_before_dismount; // else before the eject
    } cases[] = {{"between lock and dismount", true}, {"between dismount and eject", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        point_d_at("/dev/sdb1");
        ASSERT_EQ(sysfs::lock_volume(root(), u'D'), 0u);
        if (c.flip_before_dismount) point_d_at("/dev/sdc1");
        const Error dismounted = sysfs::dismount_volume(root(), u'D');
        if (!c.flip_before_dismount) {
            EXPECT_EQ(dismounted, 0u);
            point_d_at("/dev/sdc1");
        } else {
            EXPECT_EQ(dismounted, 5u);
        }
        EXPECT_EQ(sysfs::eject_volume(root(), u'D'), 5u);
        EXPECT_EQ(std::count(host_.unmounted.begin(), host_.unmounted.end(), "/media/ann/F"), 0) << "the other stick was unmounted";
        EXPECT_EQ(written(other_ + "/remove"), "") << "the other stick was removed";
        EXPECT_EQ(written(stick_ + "/remove"), "");
    }
    // Pointed back in time, the steps go on with the device that was locked.
    point_d_at("/dev/sdb1");
    ASSERT_EQ(sysfs::lock_volume(root(), u'D'), 0u);
    EXPECT_EQ(sysfs::dismount_volume(root(), u'D'), 0u);
    EXPECT_EQ(sysfs::eject_volume(root(), u'D'), 0u);
    EXPECT_EQ(written(stick_ + "/remove"), "1");
    EXPECT_EQ(written(other_ + "/remove"), "");
}

// A letter flipped between two sticks all the time while it is ejected, five times over: what a
// run unmounts and removes belongs to the stick it locked, or it refuses.
TEST_F(Ejection, AFlippingLetterNeverActsOnAnotherStickThanTheLockedOne)
{
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        const auto link = root_ / "dosdevices" / "d::";
        const auto temp = root_ / "dosdevices" / "d::.flip";
        for (bool other = false; !stop; other = !other) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            std::filesystem::create_symlink(other ? "/dev/sdc1" : "/dev/sdb1", temp, ec);
            std::filesystem::rename(temp, link, ec); // the link is replaced whole, as a rename does
            std::this_thread::yield();
        }
    });
    int wrong = 0, locked_runs = 0;
    for (int run = 0; run < 5; ++run) {
        host_.lines.clear();
        host_.unmounted.clear();
        host_.asked.clear();
        host_.mount("8:17", "/media/ann/D", "/dev/sdb1");
        host_.mount("8:33", "/media/ann/F", "/dev/sdc1");
        std::ofstream(testbed_dir_ + stick_ + "/remove", std::ios::trunc).flush();
        std::ofstream(testbed_dir_ + other_ + "/remove", std::ios::trunc).flush();
        if (sysfs::lock_volume(root(), u'D') != 0 || host_.asked.empty()) continue;
        ++locked_runs;
        const std::string locked = host_.asked.front().front() == makedev(8, 17) ? "sdb" : "sdc";
        // Slow steps, as a busy machine has them: the letter changes between them.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (sysfs::dismount_volume(root(), u'D') == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sysfs::eject_volume(root(), u'D');
        }
        std::set<std::string> touched;
        for (const std::string& point : host_.unmounted) touched.insert(point == "/media/ann/D" ? "sdb" : "sdc");
        if (written(stick_ + "/remove") == "1") touched.insert("sdb");
        if (written(other_ + "/remove") == "1") touched.insert("sdc");
        if (!touched.empty() && touched != std::set<std::string>{locked}) ++wrong;
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(locked_runs, 5);
    EXPECT_EQ(wrong, 0) << "runs that acted on a stick they had not locked";
}

// Only root and the program's user make letters: another user's link is not believed, and the
// letters' folder is the owner's alone whatever the umask.
TEST_F(Ejection, AnotherUsersLetterIsIgnored)
{
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "dosdevices").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Left open to all by an older version or a umask of 000: narrowed at the next scan.
    ASSERT_EQ(::chmod((root_ / "dosdevices").c_str(), 0777), 0);
    sysfs::usb_disks(root());
    ASSERT_EQ(::stat((root_ / "dosdevices").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a link to another user";
    make_link("h::", "/dev/sdc1");
    ASSERT_EQ(::lchown((root_ / "dosdevices" / "h::").c_str(), 65534, 65534), 0);
    EXPECT_EQ(sysfs::lock_volume(root(), u'H'), 2u);
    EXPECT_EQ(sysfs::eject_volume(root(), u'H'), 2u);
    EXPECT_EQ(written(other_ + "/remove"), "");
    // The scan keeps the letter the volume had and gives none by the planted link.
    for (const auto& disk : sysfs::usb_disks(root()))
        for (const auto& volume : disk.volumes)
            if (volume.device == "/dev/sdc1") EXPECT_EQ(volume.letter, u'F');
}

TEST(MountTable, ParsesTheFieldsItNeedsAndSkipsWhatIsNotALine)
{
    const auto mounts = sysfs::parse_mountinfo(
        "36 35 98:0 /mnt1 /mnt/a\\040b rw,noatime master:1 - ext3 /dev/root rw\n"
        "37 35 8:17 / /media/x rw shared:2 master:3 - vfat /dev/sdb\\0401 rw\n"
        "garbage\n"
        "38 35 8:x / /bad rw - ext4 /dev/sdz rw\n"
        "39 35 8:18 / /no/separator rw ext4 /dev/sdb2 rw\n"
        "40 35 8:19 / /trailing\\04 rw - ext4 /dev/sdb3 rw");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].major, 98u);
    EXPECT_EQ(mounts[0].minor, 0u);
    EXPECT_EQ(mounts[0].mount_point, "/mnt/a b");
    EXPECT_EQ(mounts[0].source, "/dev/root");
    EXPECT_EQ(mounts[1].mount_point, "/media/x") << "optional fields before the separator";
    EXPECT_EQ(mounts[1].source, "/dev/sdb 1");
    EXPECT_EQ(mounts[2].mount_point, "/trailing\\04") << "an escape cut short stays as written";
}

// A process tree laid out like /proc, each process holding one kind of thing.
TEST(ProcessScan, FindsWhatAProcessHolds)
{
    namespace fs = std::filesystem;
    const fs::path proc = fs::temp_directory_path() / ("zelmusb-proc-" + std::to_string(::getpid()));
    fs::create_directories(proc);
    const fs::path file = proc / "held";
    { std::ofstream(file) << "x"; }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const uint64_t dev = st.st_dev;
    std::string block; // a block device node of this machine, only looked at
    for (const auto& e : fs::directory_iterator("/dev", fs::directory_options::skip_permission_denied))
        if (struct stat b {}; block.empty() && ::lstat(e.path().c_str(), &b) == 0 && S_ISBLK(b.st_mode))
            block = e.path();

    struct Case {
        const char* what;
        const char* pid;
        const char* entry;   // a link below the process, or "maps"
        std::string target;  // the link's target, or the maps text
        uint64_t wanted;
        bool found;
    } cases[] = {
        {"an open file", "4242", "fd/3", file, dev, true},
        {"an open file of another file system", "4242", "fd/3", file, makedev(4000, 77), false},
        {"the working directory", "17", "cwd", proc, dev, true},
        {"a mapped file", "99", "maps", "7f00-7f10 r-xp 00000000 fd:01 123 /lib/x.so\n", makedev(0xfd, 1), true},
        {"an anonymous mapping", "99", "maps", "7f00-7f10 rw-p 00000000 00:00 0\n", makedev(0, 0), false},
        {"not a process", "self", "fd/3", file, dev, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path pid = proc / "tree" / c.pid;
        fs::remove_all(proc / "tree");
        fs::create_directories(pid / "fd");
        if (std::string(c.entry) == "maps")
            std::ofstream(pid / "maps") << c.target;
        else
            fs::create_symlink(c.target, pid / c.entry);
        EXPECT_EQ(sysfs::processes_use((proc / "tree").string(), std::vector<uint64_t>{c.wanted}), c.found);
    }
    if (!block.empty()) {
        struct stat b {};
        ASSERT_EQ(::stat(block.c_str(), &b), 0);
        fs::remove_all(proc / "tree");
        fs::create_directories(proc / "tree" / "5" / "fd");
        fs::create_symlink(block, proc / "tree" / "5" / "fd" / "0");
        EXPECT_TRUE(sysfs::processes_use((proc / "tree").string(), std::vector<uint64_t>{uint64_t(b.st_rdev)}))
            << "the block device itself held open";
    }
    fs::remove_all(proc);

    // The real /proc: this process's own program lies on some file system; a made-up number on none.
    ASSERT_EQ(::stat("/proc/self/exe", &st), 0);
    EXPECT_TRUE(sysfs::processes_use("/proc", std::vector<uint64_t>{uint64_t(st.st_dev)}));
    EXPECT_FALSE(sysfs::processes_use("/proc", std::vector<uint64_t>{makedev(4000, 77777)}));
    EXPECT_FALSE(sysfs::processes_use("/nonexistent-proc", std::vector<uint64_t>{uint64_t(st.st_dev)}));
}

} // namespace
} // namespace volumes_test
