// zelmusb.sys holding the devices of a running machine, the machine being a umockdev testbed:
// the time from a device's "add" announcement to its `authorized` 1, for one device and for a
// hundred announced at once, beside the same decisions raised straight to the driver (no udev, no
// sysfs, no document to build). The user test answers at once, so what is left is what the
// holding adds: receiving the announcement, reading the device's document through the
// inventory, raising it, and writing `authorized`. Both also count the driver's own run time per
// device, which bounds how many devices a second it can hold when they come faster than that.
//
// Run under umockdev-wrapper (scripts/run-benchmarks does): the program refuses to start unless
// the preload library is in place and /sys is its own testbed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <umockdev.h>

#include "driver_client.h"
#include "drivercontrol/device_tester.h"

namespace {

constexpr const char* pci = "/devices/pci0000:00/0000:00:14.0";
constexpr const char* root_hub_hex =
    "12010003090003096b1d03000606030201010902" "1f00010100e000090400000109000000070581030400"
    "0c063000000200";
constexpr const char* device_hex =
    "1201100100000008333344440001010200010902220001010" "0a0320904000001030101000921110100012" "23f00070581030800" "0a";

UMockdevTestbed* testbed = nullptr;
std::string platform_root;
pid_t driver = -1;
std::unique_ptr<ZelmUsbVardoManager::DeviceTester> tester;

std::atomic<int> answered{0}; // questions the user test has answered

uint8_t allow(const char16_t*, void*)
{
    answered.fetch_add(1);
    return 1;
}

std::string path_of(int port) { return std::string(pci) + "/usb1/1-" + std::to_string(port); }

std::string authorized(int port)
{
    std::ifstream in("/sys" + path_of(port) + "/authorized");
    std::string v;
    std::getline(in, v);
    return v;
}

void add(const std::string& text)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        std::fprintf(stderr, "testbed: %s\n", error ? error->message : "?");
        std::exit(1);
    }
}

// A device on port `port` of the root hub, announced "add". Of any other `devtype`, the same files
// and announcement for a device the driver does not hold.
void plug(int port, const char* devtype = "usb_device")
{
    const std::string h = device_hex;
    add("P: " + path_of(port) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=" + devtype + "\nA: busnum=1\nA: devnum=" +
        std::to_string(port + 1) + "\nH: descriptors=" + h +
        "\nA: authorized=0\nA: speed=12\nA: bConfigurationValue=1\nA: product=Bench\nA: idVendor=3333\n"
        "A: idProduct=4444\nA: bDeviceClass=00\n");
}

void unplug(int port) { umockdev_testbed_remove_device(testbed, ("/sys" + path_of(port)).c_str()); }

// The time the driver's threads have run, in nanoseconds (the kernel's count for each thread).
double driver_cpu_ns()
{
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(driver) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns) total += ns;
    }
    return total;
}

// `count` devices announced "add" one right after another, to their `authorized` 1. The devices'
// files are made first, of a type the driver does not hold, then made USB devices and announced
// in a row: so the timed part is the driver's own (and the decisions'), from the first
// announcement to the last device admitted, and the announcements come as fast as the testbed can
// send them, not at the pace it makes files (the kernel's work on a real machine). Counted beside
// it: the driver's own run time per device (receiving the announcements, reading each device's
// document through the inventory, raising it, waiting for the user test, writing `authorized`).
void BM_AddToAuthorized(benchmark::State& state)
{
    const int count = int(state.range(0));
    double driver_ns = 0, announce_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < count; ++i) {
            plug(2 + i, "usb_bench");
            umockdev_testbed_set_property(testbed, ("/sys" + path_of(2 + i)).c_str(), "DEVTYPE", "usb_device");
        }
        // The driver has passed over the announcements of devices it does not hold.
        std::this_thread::sleep_for(std::chrono::milliseconds(count > 1 ? 50 : 2));
        const double before = driver_cpu_ns();
        state.ResumeTiming();
        // Announced as fast as the driver takes them, at most `window` waiting at a time: the
        // testbed hands announcements over a socket that queues ten, and gives up on the eleventh.
        constexpr int window = 8;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int announced = 0, admitted = 0; admitted < count;) {
            if (announced < count && announced - admitted < window) {
                const auto announcing = std::chrono::steady_clock::now();
                umockdev_testbed_uevent(testbed, ("/sys" + path_of(2 + announced++)).c_str(), "add");
                announce_ns += double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - announcing).count());
            } else if (authorized(2 + admitted) == "1") {
                ++admitted;
            } else if (std::chrono::steady_clock::now() > end) {
                state.SkipWithError("a device was not admitted within 60 s");
                break;
            } else {
                std::this_thread::yield();
            }
        }
        state.PauseTiming();
        driver_ns += driver_cpu_ns() - before;
        for (int i = 0; i < count; ++i) unplug(2 + i);
        // The removals are followed before the next round.
        std::this_thread::sleep_for(std::chrono::milliseconds(count > 1 ? 50 : 2));
        state.ResumeTiming();
    }
    state.counters["per_device_ms"] = benchmark::Counter(double(count) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["driver_cpu_ms_per_device"] = driver_ns / 1e6 / double(count) / double(state.iterations());
    state.counters["announcing_ms_per_device"] = announce_ns / 1e6 / double(count) / double(state.iterations());
}
BENCHMARK(BM_AddToAuthorized)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
// Each round of a burst makes and removes a hundred devices outside the timed part: a few rounds.
BENCHMARK(BM_AddToAuthorized)->Arg(100)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same decisions alone: documents raised straight to the driver, their verdicts awaited.
void BM_DecisionsAlone(benchmark::State& state)
{
    const int count = int(state.range(0));
    driver_client::DriverClient client;
    if (client.open()) {
        state.SkipWithError("the driver does not answer");
        return;
    }
    const std::u16string document = u"{\"DeviceDescriptor\":{\"Product\":\"Bench\"}}";
    std::vector<uint64_t> ids(static_cast<size_t>(count));
    double driver_ns = 0;
    int target = answered.load() + count;
    for (auto _ : state) {
        state.PauseTiming();
        // As idle before each round as the driver is while the testbed makes the devices' files
        // above: a thread woken from a longer sleep takes longer to run again.
        std::this_thread::sleep_for(std::chrono::milliseconds(count > 1 ? 50 : 6));
        const double before = driver_cpu_ns();
        state.ResumeTiming();
        for (int i = 0; i < count; ++i)
            if (client.raise(driver_client::RaiseHeader{}, document, ids[size_t(i)]))
                state.SkipWithError("raise failed");
        // The answers are awaited here, without asking the driver (whose run time is counted),
        // then each verdict is read.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (answered.load() < target && std::chrono::steady_clock::now() < end) std::this_thread::yield();
        target += count;
        for (const uint64_t id : ids) {
            driver_client::Verdict v;
            while (client.verdict(id, v) == 0 && v.state == ZD_VERDICT_PENDING && std::chrono::steady_clock::now() < end)
                std::this_thread::yield();
            if (!v.allowed) state.SkipWithError("no admission");
        }
        state.PauseTiming();
        driver_ns += driver_cpu_ns() - before;
        state.ResumeTiming();
    }
    state.counters["driver_cpu_ms_per_device"] = driver_ns / 1e6 / double(count) / double(state.iterations());
    state.counters["per_device_ms"] = benchmark::Counter(double(count) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecisionsAlone)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// The testbed must be /sys before anything may write there.
bool in_testbed()
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) return false;
    gchar* dir = umockdev_testbed_get_root_dir(testbed);
    const std::string root = dir;
    g_free(dir);
    const char* env = std::getenv("UMOCKDEV_DIR");
    if (!env || root != env) return false;
    const std::string token = std::to_string(std::random_device{}());
    add("P: /devices/platform/zelmusb-probe\nE: SUBSYSTEM=platform\nA: token=" + token + "\n");
    std::ifstream probe("/sys/devices/platform/zelmusb-probe/token");
    std::string seen;
    return std::getline(probe, seen) && seen == token;
}

bool start_driver()
{
    int ready[2];
    if (::pipe(ready)) return false;
    driver = ::fork();
    if (driver == 0) {
        ::close(ready[0]);
        ::setenv("ZELMUSB_READY_FD", std::to_string(ready[1]).c_str(), 1);
        ::execl(ZELMUSB_LINUX_DRIVER, ZELMUSB_LINUX_DRIVER, nullptr);
        ::_exit(127);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char b = 0;
    const bool up = driver > 0 && ::poll(&p, 1, 20000) == 1 && ::read(ready[0], &b, 1) == 1;
    ::close(ready[0]);
    return up;
}

} // namespace

int main(int argc, char** argv)
{
    testbed = umockdev_testbed_new();
    if (!in_testbed()) {
        std::fprintf(stderr, "bench_enforce: run it under umockdev-wrapper (/sys must be a testbed)\n");
        return 2;
    }
    char folder[] = "/tmp/zelmusb-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    platform_root = folder;
    ::setenv("ZELMUSB_PLATFORM_ROOT", folder, 1);
    add(std::string("P: ") + pci + "\nE: SUBSYSTEM=pci\nA: vendor=0x8086\nA: device=0xa36d\n");
    add(std::string("P: ") + pci + "/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=1\n"
        "A: speed=480\nA: maxchild=127\nA: authorized=1\nA: authorized_default=1\nH: descriptors=" + root_hub_hex + "\n");
    if (!start_driver()) return 1;
    tester = std::make_unique<ZelmUsbVardoManager::DeviceTester>(u"\\\\.\\ZelmUsb", allow, 0, false, nullptr);
    if (tester->Start()) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    tester.reset();
    ::kill(driver, SIGTERM);
    ::waitpid(driver, nullptr, 0);
    std::filesystem::remove_all(platform_root);
    g_object_unref(testbed);
    return 0;
}
