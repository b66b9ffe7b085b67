// A hundred devices raised at once to the driver and decided by the program's policy in
// this process (the whole road: driver, control device, user-test worker, decision, verdict),
// beside what it is made of: the hundred decisions alone, and a hundred bare control-device round
// trips. The burst should take at most three times the decisions plus the round trips, and no
// device may be left to the driver's default ("defaulted" stays 0).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "driver_client.h"
#include "app/app.h"
#include "app/driver_run.h"
#include "app/settings.h"
#include "drivercontrol/driver_interface.h"
#include "host/files.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/posix/services_admin.h"
#include "policy/decision.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;
constexpr int burst = 100;

// One emulated machine for the whole run, the driver started by the program's own driver run.
struct Machine {
    fs::path root = fs::temp_directory_path() / "zelmusb-bench-driver";
    bool started = false;

    Machine()
    {
        fs::remove_all(root);
        fs::create_directories(root);
        ::setenv("ZELMUSB_PLATFORM_ROOT", (root / "m").c_str(), 1);
        // An empty model machine: without one the platform root is the running machine, whose USB
        // devices the driver would hold and the start-up sweep could eject.
        fs::create_directories(root / "m");
        std::ofstream(root / "m" / "machine.json") << "{\"controllers\": []}\n";
        ::setenv("ALLUSERSPROFILE", (root / "all-users").c_str(), 1);
        ::setenv("ZELMUSB_TRACE_FILE", "/dev/null", 1);
        // Keyboards allowed, Acme flash drives blocked, anything else blocked by "action" 0.
        WriteWholeFile(suite_config_folder(u"cfg.json"),
                       u"{\"usb\":{\"active\":1,\"action\":0,\"report_on_allow\":1,"
                       u"\"rules\":[[{\"produkt\":\"Keyboard\"},1],[{\"produkt\":\"Acme Flash\"},0]]}}");
        read_config();
        started = start_driver_run() == 1;
    }
    ~Machine()
    {
        g_uninstall_request = 1;
        stop_driver_run();
        platform::posix::end_all_services();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Machine& machine()
{
    static Machine m;
    return m;
}

std::u16string document(int i)
{
    const int kind = i % 3;
    const char16_t* product = kind == 0 ? u"USB Keyboard" : kind == 1 ? u"Acme Flash Drive" : u"Gadget";
    return u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme\",\"Product\":\"" + std::u16string(product) +
           u"\",\"SerialNumber\":\"B" + text::from_utf8(std::to_string(i)) +
           u"\"},\"DeviceProperty\":{\"ClassName\":\"USB\",\"DeviceDescription\":\"Burst\"}}";
}

void BM_Burst100Devices(benchmark::State& state)
{
    if (!machine().started) return state.SkipWithError("the driver run did not start");
    driver_client::DriverClient driver;
    if (driver.open() != 0) return state.SkipWithError("the driver cannot be opened");
    std::vector<std::u16string> documents;
    for (int i = 0; i < burst; ++i) documents.push_back(document(i));
    uint64_t defaulted = 0, unanswered = 0;
    for (auto _ : state) {
        std::vector<uint64_t> ids(burst);
        for (int i = 0; i < burst; ++i) {
            driver_client::RaiseHeader header;
            header.vid = 0x1000;
            header.pid = uint16_t(i);
            if (driver.raise(header, documents[size_t(i)], ids[size_t(i)]) != 0)
                return state.SkipWithError("raise failed");
        }
        // Until the last verdict: the driver answers in order, so the last one is polled first.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = burst - 1; i >= 0;) {
            driver_client::Verdict v;
            if (driver.verdict(ids[size_t(i)], v) != 0) return state.SkipWithError("verdict failed");
            if (v.state == ZD_VERDICT_PENDING) {
                if (std::chrono::steady_clock::now() > until) {
                    ++unanswered;
                    --i;
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            if (v.state != ZD_VERDICT_ANSWERED) ++defaulted;
            --i;
        }
    }
    state.counters["defaulted"] = double(defaulted);
    state.counters["unanswered"] = double(unanswered);
}

void BM_100Decisions(benchmark::State& state)
{
    if (!machine().started) return state.SkipWithError("the driver run did not start");
    std::vector<std::u16string> documents;
    for (int i = 0; i < burst; ++i) documents.push_back(document(i));
    for (auto _ : state)
        for (const auto& d : documents) benchmark::DoNotOptimize(zelmusb_decision(&d));
}

void BM_100ControlRoundTrips(benchmark::State& state)
{
    if (!machine().started) return state.SkipWithError("the driver run did not start");
    auto& devices = platform::devices();
    platform::Handle h = platform::null_handle;
    if (devices.open(driver_device_name, ZelmUsbVardoManager::DRIVER_DEVICE_ACCESS, 0, 0, h) != 0)
        return state.SkipWithError("the driver cannot be opened");
    uint8_t out[ZelmUsbVardoManager::VardJsonSize::size];
    for (auto _ : state)
        for (int i = 0; i < burst; ++i) {
            uint32_t returned = 0;
            benchmark::DoNotOptimize(devices.control(h, ZelmUsbVardoManager::IOCTL_GET_TEST_JSON_SIZE, nullptr, 0, out,
                                                     sizeof out, returned));
        }
    devices.close(h);
}

BENCHMARK(BM_100ControlRoundTrips)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_100Decisions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Burst100Devices)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
