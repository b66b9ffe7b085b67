// The machine model on Linux: <root>/machine.json, found again on every request, so that a test
// that moves the platform root gets that root's machine; without that file, the running machine
// (sysfs and udev, sysfs_machine.h). This is the one place that chooses: the engine and every
// family above it answer both the same way.
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <sys/stat.h>

#include "platform/linux/sysfs_machine.h"
#include "platform/model/families.h"
#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/machine.h"
#include "platform/posix/model_dispatch.h"
#include "platform/posix/objects.h"
#include "platform/posix/root.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix {
namespace {

class MachineFile final : public model::Store {
public:
    Error stamp(model::Stamp& stamp, bool& settled) override
    {
        struct stat st {};
        if (::stat(path().c_str(), &st) != 0) return errno == ENOENT ? err::file_not_found : from_errno(errno);
        if (!S_ISREG(st.st_mode)) return err::access_denied;
        stamp.modified_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        stamp.size = uint64_t(st.st_size);
        stamp.file_id = uint64_t(st.st_ino) ^ (uint64_t(st.st_dev) << 40);
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const int64_t now_ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        // A change within the file system's tick may keep the time; newer files are compared.
        settled = now_ns - stamp.modified_ns > 100000000;
        return err::success;
    }
    Error read(std::string& bytes, size_t limit) override
    {
        std::vector<uint8_t> data;
        const Error e = read_file(path(), data, limit);
        if (e) return e;
        bytes.assign(data.begin(), data.end());
        return err::success;
    }
    Error replace(std::string_view bytes) override
    {
        return replace_file(path(), std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }

    // The program (a volume ejected) and usbsim (a device plugged) edit the file from two
    // processes: an exclusive lock on a file beside it makes each edit whole. The kernel drops the
    // lock of a process that dies, so a crash cannot leave it held.
    Error edit(const Change& change, size_t limit) override
    {
        // Owner-only and waited for within a bound (traced), so another user cannot stall an
        // ejection or a plug by holding it.
        const int fd = objects::hold_lock_file(path() + ".lock", "machine.json");
        if (fd < 0) return errno == ETIMEDOUT ? err::timeout : from_errno(errno);
        const Error e = Store::edit(change, limit);
        ::close(fd); // releases the lock
        return e;
    }

private:
    static std::string path() { return root() + "/machine.json"; }
};

// The machine file when the root has one, the running machine otherwise. The engine asks for the
// stamp before it reads, so the read comes from the source the stamp came from.
class MachineSource final : public model::Store {
public:
    Error stamp(model::Stamp& stamp, bool& settled) override
    {
        const Error e = file_.stamp(stamp, settled);
        running_ = e == err::file_not_found || e == err::path_not_found;
        return running_ ? running_machine_.stamp(stamp, settled) : e;
    }
    Error read(std::string& bytes, size_t limit) override
    {
        return running_ ? running_machine_.read(bytes, limit) : file_.read(bytes, limit);
    }
    // Edits (an ejected volume marked, usbsim plugging a device) are the file's alone: without a
    // file they find none.
    Error replace(std::string_view bytes) override { return file_.replace(bytes); }
    Error edit(const Change& change, size_t limit) override { return file_.edit(change, limit); }
    void look_again() override { running_machine_.look_again(); }
    std::optional<Error> lock_volume(char16_t letter) override
    {
        return on_file() ? std::nullopt : running_machine_.lock_volume(letter);
    }
    std::optional<Error> dismount_volume(char16_t letter) override
    {
        return on_file() ? std::nullopt : running_machine_.dismount_volume(letter);
    }
    std::optional<Error> eject_volume(char16_t letter) override
    {
        return on_file() ? std::nullopt : running_machine_.eject_volume(letter);
    }

private:
    bool on_file()
    {
        struct stat st {};
        return ::stat((root() + "/machine.json").c_str(), &st) == 0;
    }
    MachineFile file_;
    sysfs::SysfsStore running_machine_{[] { return root(); }};
    bool running_ = false;
};

} // namespace

model::Engine& machine()
{
    static model::Engine* engine = [] {
        auto* e = new model::Engine(std::make_unique<MachineSource>());
        e->on_broken([](const std::string& why) {
            platform::system().debug_output(text::from_utf8("machine.json: " + why + "\r\n"));
        });
        return e;
    }();
    return *engine;
}

platform::Devices& model_devices()
{
    static model::ModelDevices devices(machine());
    return devices;
}

} // namespace platform::posix

namespace platform::backend {
model::Engine* native_machine()
{
    return &posix::machine();
}

DeviceTree* native_devicetree()
{
    static model::ModelDeviceTree tree(posix::machine());
    return &tree;
}
} // namespace platform::backend
