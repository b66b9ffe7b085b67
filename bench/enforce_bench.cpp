// zelmusb.sys holding the devices of a running machine, the machine being a umockdev testbed:
// the time from a device's "add" announcement to its `authorized` 1, for one device and for a
// hundred at once, beside the same decisions raised straight to the driver (no udev, no sysfs,
// no document to build), and beside the testbed's own work of making the device's files and
// announcing them (which the kernel does on a real machine). The user test answers at once, so
// what is left is what the holding adds: receiving the announcement, reading the device's
// document through the inventory, raising it, and writing `authorized`.
//
// Run under umockdev-wrapper (scripts/run-benchmarks does): the program refuses to start unless
// the preload library is in place and /sys is its own testbed.
#include <benchmark/benchmark.h>

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

uint8_t allow(const char16_t*, void*) { return 1; }

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

bool wait_authorized(int first, int count)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int port = first; port < first + count; ++port)
        while (authorized(port) != "1") {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::yield();
        }
    return true;
}

// The add announcement to `authorized` 1, for `count` devices announced at once.
void BM_AddToAuthorized(benchmark::State& state)
{
    const int count = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) plug(2 + i);
        if (!wait_authorized(2, count)) {
            state.SkipWithError("a device was not admitted within 60 s");
            break;
        }
        state.PauseTiming();
        for (int i = 0; i < count; ++i) unplug(2 + i);
        state.ResumeTiming();
    }
    state.counters["per_device_ms"] = benchmark::Counter(double(count) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddToAuthorized)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// The testbed's own part of the first benchmark: making the same device files and announcing them,
// for devices the driver does not hold (another DEVTYPE), so that the time the holding adds is
// what is left of the first benchmark without this and the decisions.
void BM_TestbedAlone(benchmark::State& state)
{
    const int count = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) plug(2 + i, "usb_bench");
        state.PauseTiming();
        for (int i = 0; i < count; ++i) unplug(2 + i);
        state.ResumeTiming();
    }
    state.counters["per_device_ms"] = benchmark::Counter(double(count) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TestbedAlone)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same decisions alone: documents raised straight to the driver, their verdicts awaited.
void BM_DecisionsAlone(benchmark::State& state)
{
    const int count = int(state.range(0));
    usbsim::DriverClient client;
    if (client.open()) {
        state.SkipWithError("the driver does not answer");
        return;
    }
    const std::u16string document = u"{\"DeviceDescriptor\":{\"Product\":\"Bench\"}}";
    std::vector<uint64_t> ids(static_cast<size_t>(count));
    for (auto _ : state) {
        for (int i = 0; i < count; ++i)
            if (client.raise(usbsim::RaiseHeader{}, document, ids[size_t(i)])) state.SkipWithError("raise failed");
        // Looked at without a pause, as the holder's `authorized` is looked at.
        for (const uint64_t id : ids) {
            usbsim::Verdict v;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (client.verdict(id, v) == 0 && v.state == ZD_VERDICT_PENDING && std::chrono::steady_clock::now() < end) {
            }
            if (!v.allowed) state.SkipWithError("no admission");
        }
    }
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
        ::execl(ZELMUSB_SIMDRIVER, ZELMUSB_SIMDRIVER, nullptr);
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
