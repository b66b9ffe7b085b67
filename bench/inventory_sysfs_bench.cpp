// The USB device list of the running machine: a umockdev testbed in place of /sys with the same
// machine as the model rows (8 host controllers, 127 devices behind nested hubs), beside the
// reads of its sysfs files alone. A list whose snapshot is kept (nothing was plugged since the
// last) should take at most about twice those reads; a list that must read the machine again
// (a fresh engine) is shown beside it.
//
// The testbed needs umockdev's preload library: main() runs these rows in a second run of the
// program under umockdev-wrapper; without umockdev it says so and runs only the model rows.
#include <benchmark/benchmark.h>

#include "listed_devices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#include <umockdev.h>

#include "drivercontrol/manager.h"
#include "platform/linux/sysfs_machine.h"
#include "platform/model/engine.h"
#include "platform/model/families.h"
#include "platform/platform.h"

namespace {

namespace sysfs = platform::posix::sysfs;
using ZelmUsbVardoManager::Manager;

bool preloaded()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

// The testbed: usbN per controller, devices on ports 1..6 of each hub, a further hub on port 7
// while devices remain (as the model rows' machine).
class Testbed {
public:
    explicit Testbed(int devices)
    {
        tb_ = umockdev_testbed_new();
        const char* hub = "12010002090001401111222200010001000109021900010100e0000904000001090000000705810301000c";
        const char* leaf = "12010002000000408107675500010102030109022200010100a0320904000001030101000921110100012"
                           "23f000705810308000a";
        add("P: /devices/pci0000:00/0000:00:14.0\nE: SUBSYSTEM=pci\nA: vendor=0x8086\nA: device=0xa36d\n");
        int serial = 0, devnum = 1;
        for (int c = 0; c < 8; ++c) {
            int remaining = devices / 8 + (c < devices % 8 ? 1 : 0);
            const std::string bus = std::to_string(c + 1);
            std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + bus;
            usb(path, bus, devnum++, "12010003090003096b1d0300060603020101"
                                     "09021f00010100e000090400000109000000070581030400 0c", "7", "Root hub");
            std::string name;
            for (int depth = 0; remaining > 0; ++depth) {
                const std::string prefix = name.empty() ? bus + "-" : name + ".";
                std::string next;
                for (int p = 1; p <= 7 && remaining > 0; ++p) {
                    --remaining;
                    const std::string n = prefix + std::to_string(p);
                    if (p == 7 && remaining > 0 && depth < 5) {
                        usb(path + "/" + n, bus, devnum++, hub, "7", "Hub");
                        next = n;
                    } else {
                        usb(path + "/" + n, bus, devnum++, leaf, "0", "Device " + std::to_string(++serial));
                    }
                }
                if (next.empty()) break;
                path += "/" + next;
                name = next;
            }
        }
    }
    ~Testbed() { g_object_unref(tb_); }

private:
    void add(const std::string& description)
    {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(tb_, description.c_str(), &error)) std::abort();
    }
    void usb(const std::string& path, const std::string& bus, int devnum, std::string descriptors,
             const std::string& maxchild, const std::string& product)
    {
        std::erase(descriptors, ' ');
        add("P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=" + bus + "\nA: devnum=" +
            std::to_string(devnum) + "\nA: speed=480\nA: maxchild=" + maxchild +
            "\nA: bConfigurationValue=1\nA: manufacturer=Globex\nA: product=" + product +
            "\nE: ID_MODEL_FROM_DATABASE=Device\nH: descriptors=" + descriptors + "\n");
    }
    UMockdevTestbed* tb_;
};

struct RunningMachine {
    RunningMachine()
        : root(std::filesystem::temp_directory_path() / ("zelmusb-bench-sysfs-" + std::to_string(::getpid()))),
          engine(std::make_unique<sysfs::SysfsStore>([r = root.string()] { return r; }, 20, false)), devices(engine),
          tree(engine), o1(&platform::Platform::devices, devices), o2(&platform::Platform::devicetree, tree)
    {
        std::filesystem::create_directories(root);
    }
    ~RunningMachine() { std::filesystem::remove_all(root); }
    std::filesystem::path root;
    platform::model::Engine engine;
    platform::model::ModelDevices devices;
    platform::model::ModelDeviceTree tree;
    platform::Override<platform::Devices> o1;
    platform::Override<platform::DeviceTree> o2;
};

using bench_inventory::listed;

[[maybe_unused]] bool ready(benchmark::State& state)
{
    if (preloaded()) return true;
    state.SkipWithError("umockdev's preload library is not in place (install umockdev)");
    return false;
}

// The list while the snapshot is kept: what every list costs while nothing is plugged.
void BM_SysfsDeviceList(benchmark::State& state)
{
    if (!ready(state)) return;
    Testbed tb(int(state.range(0)));
    RunningMachine m;
    std::u16string text, error;
    Manager::GetCurrentUSBDevicesJSONListText(100, text, error); // the first look reads the machine
    for (auto _ : state)
        if (Manager::GetCurrentUSBDevicesJSONListText(100, text, error) != 0) state.SkipWithError("list failed");
    state.counters["devices"] = listed(text);
}

// The list right after a change: the machine read again (sysfs, udev, the description checked).
void BM_SysfsDeviceListReadingTheMachine(benchmark::State& state)
{
    if (!ready(state)) return;
    Testbed tb(int(state.range(0)));
    std::u16string text, error;
    for (auto _ : state) {
        RunningMachine m;
        if (Manager::GetCurrentUSBDevicesJSONListText(100, text, error) != 0) state.SkipWithError("list failed");
    }
    state.counters["devices"] = listed(text);
}

// The sysfs files a reading of the machine opens, read alone: the folder and each device's
// attributes and descriptors.
void BM_SysfsFileReadsAlone(benchmark::State& state)
{
    if (!ready(state)) return;
    Testbed tb(int(state.range(0)));
    static const char* files[] = {"descriptors", "busnum", "devnum", "speed", "maxchild", "bConfigurationValue",
                                  "removable", "manufacturer", "product", "serial", "configuration"};
    char buffer[65536];
    int64_t reads = 0;
    for (auto _ : state) {
        DIR* dir = ::opendir("/sys/bus/usb/devices");
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.' || std::strchr(e->d_name, ':')) continue;
            const std::string base = std::string("/sys/bus/usb/devices/") + e->d_name + "/";
            for (const char* f : files) {
                const int fd = ::open((base + f).c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
                ::close(fd);
                ++reads;
            }
        }
        ::closedir(dir);
    }
    state.counters["files"] = double(reads) / double(state.iterations());
}

} // namespace

// The model rows run as they always do; the sysfs rows in a second run of the program under
// umockdev-wrapper, so that the preload library (which every file call of that process passes
// through) does not weigh on the model rows' times.
extern "C" char** environ;

int main(int argc, char** argv)
{
    const std::vector<char*> original(argv, argv + argc);
    const bool sysfs_run = preloaded();
    if (sysfs_run) {
        benchmark::RegisterBenchmark("BM_SysfsDeviceList", BM_SysfsDeviceList)->Arg(127)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_SysfsDeviceListReadingTheMachine", BM_SysfsDeviceListReadingTheMachine)
            ->Arg(127)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_SysfsFileReadsAlone", BM_SysfsFileReadsAlone)->Arg(127)->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (sysfs_run) return 0;

    std::vector<char*> args{const_cast<char*>("umockdev-wrapper")};
    args.insert(args.end(), original.begin(), original.end());
    std::string filter = "--benchmark_filter=Sysfs";
    args.push_back(filter.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "umockdev-wrapper", nullptr, nullptr, args.data(), environ) != 0) {
        std::fprintf(stderr, "bench_inventory: umockdev-wrapper not found: the running machine's rows are not run\n");
        return 0;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
