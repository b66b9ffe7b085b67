// The volumes of USB disks on a running Linux machine, seen the way Windows programs see them:
// drive letters, drive types, storage device numbers, and the lock, dismount and eject steps of
// a safe removal. The machine description built from sysfs (when there is no machine.json) takes
// its disks and volumes from here, and the model engine's volume lock and eject come back here.
//
// Where things come from:
// - Disks: every block device of /sys/class/block that is a whole disk (no `partition`
//   attribute) and hangs below a USB device (an ancestor directory whose uevent says
//   DEVTYPE=usb_device). Disks of other buses (SATA, NVMe, loop, device mapper) are not listed and
//   never touched. Under umockdev /sys is the testbed's.
// - Volumes: the disk's partitions (sub-directories with a `partition` attribute) in partition
//   number order; a disk without partitions (a CD, a card reader without a card, a stick
//   formatted without a partition table) is one volume itself, partition 0.
// - Drive type: 5 (DRIVE_CDROM) for an `sr` disk, 2 (DRIVE_REMOVABLE) for a disk whose
//   `removable` is 1 and for every disk of a USB mass-storage device (that is what Windows reports
//   for a flash drive, whatever its removable bit says), 3 (DRIVE_FIXED) otherwise.
// - Storage device number: `sdX` counts its letters as Windows counts disks (sda 0, sdb 1, ...,
//   sdz 25, sdaa 26), `srN` is N (CD-ROMs are numbered apart, device type 2); any other name gets
//   major << 20 | minor of its `dev`, unique as well.
//
// Drive letters live in <platform root>/dosdevices/, kept the way Wine keeps them: `e::` is a
// symlink to the block device ("/dev/sdb1") and says which volume owns the letter; `e:` is a
// symlink to the volume's first mount point while it is mounted. A volume gets the first letter
// from D: to Z: of which neither link exists when it is first seen, and keeps it across scans; a
// letter whose `::` link names a block device that is no longer in sysfs is freed (both links
// removed). Links that do not name a /dev block device (Wine's own `c:` and `z:`) are never
// touched. Scans of several processes are serialised by an exclusive lock on
// <platform root>/dosdevices.lock (created owner-only, 0600, never followed through a symlink),
// waited for at most scan_lock_wait_ms; a scan that cannot get it in time changes nothing and
// reports only the letters already given. A volume that finds no free letter is left out: a
// Windows volume without a letter is not seen by anything that lists drive letters either.
//
// Ejection, step by step (the caller opens the volume by its letter first):
// - lock_volume: Windows refuses FSCTL_LOCK_VOLUME while any handle on the volume is open. The
//   Linux counterpart checked here: the partition has no holders in sysfs (a device-mapper or RAID
//   layer built on it), and no process has the block device open or a file, working directory,
//   root or mapping on a file system mounted from it (all processes of /proc; the same test as
//   `fuser -m`). Busy gives 5 (ERROR_ACCESS_DENIED), which the ejection sweep retries. The test
//   holds nothing: a process that opens a file between the lock and the dismount makes the
//   dismount fail instead (umount2 without MNT_DETACH refuses a busy file system).
// - dismount_volume: unmounts every mount of that partition (matched by major:minor or by the
//   mount source /dev/<name>, so btrfs' anonymous device numbers are found too), innermost first.
//   Nothing else is unmounted. EBUSY and EPERM give 5.
// - media removal (IOCTL_STORAGE_MEDIA_REMOVAL with "allowed"): accepted without doing anything.
//   Linux only locks a medium in while a process holds a CD's tray closed; the dismount has already
//   closed everything the system held, so there is nothing left to allow.
// - eject_volume: the USB device the volume hangs below is logically disconnected, as a safe
//   removal tool does it: "1" written to its sysfs `remove` attribute. While another volume of
//   that USB device is still mounted it fails with 5 and removes nothing, so a stick with E: and
//   F: is removed only when the last of them is dismounted (the sweep ejects E:, then F:); pulling
//   it at E: would cut F: off with its data unwritten.
//
// Errors of the three calls, as the model gives them: 2 when the letter has no `::` link (no such
// volume), 1167 (ERROR_DEVICE_NOT_CONNECTED) when its block device or USB device is gone from
// sysfs, 1 (ERROR_INVALID_FUNCTION) for a letter whose device is not on a USB device, 5 as above,
// and the Windows code of an errno otherwise.
//
// The parts of the running system that umockdev does not stand in for (the mount table, the
// unmount call and the process scan) go through Host (mounts.h), which tests replace with
// HostOverride; the real host reads /proc and calls umount2.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/mounts.h"

namespace platform::posix::sysfs {

constexpr Error device_not_connected = 1167;

// How long a scan waits for another process's scan.
constexpr int scan_lock_wait_ms = 5000;

struct Volume {
    char16_t letter = 0;    // upper case
    uint32_t partition = 0; // 0 for a disk that is its own volume
    uint32_t drive_type = 2;
    std::string device;     // "/dev/sdb1"
};

struct Disk {
    std::string usb_device; // canonical sysfs path of the USB device it hangs below
    std::string name;       // "sdb"
    bool cdrom = false;
    uint32_t number = 0;    // storage device number
    std::vector<Volume> volumes; // with letters, in partition order
};

// The USB disks present, disks before CD-ROMs, each in number order, with their volumes' letters
// (assigned and freed as said above; the scan waits `lock_wait_ms` for another process's scan).
std::vector<Disk> usb_disks(const std::string& platform_root, int lock_wait_ms = scan_lock_wait_ms);

Error lock_volume(const std::string& platform_root, char16_t letter);
Error dismount_volume(const std::string& platform_root, char16_t letter);
Error eject_volume(const std::string& platform_root, char16_t letter);

} // namespace platform::posix::sysfs
