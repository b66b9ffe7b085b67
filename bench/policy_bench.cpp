// The verdict on a new device against growing rule lists, beside the same file writes done alone,
// and the rule matching by itself with the allocations it makes.
//
// The decision runs with the policy on, "action" 1 and reports on, against rules that all fail on
// their last field, so that every rule is looked at and none decides: the device is allowed, its
// arrival recorded and a report written, which is the most a decision writes without the user.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>

#include "host/files.h"
#include "host/processes.h"
#include "host/settings.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "policy/decision.h"
#include "policy/identity.h"
#include "policy/report.h"
#include "policy/rules.h"
#include "text/text.h"

namespace {
std::atomic<uint64_t> allocations{0};
}

void* operator new(size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept // pairs with the counting operator new above
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

namespace fs = std::filesystem;

// A fresh emulated machine with its data folder; the trace goes nowhere.
void fresh_machine()
{
    static bool done = false;
    if (done) return;
    done = true;
    const fs::path root = fs::temp_directory_path() / "zelmusb-bench-policy";
    fs::remove_all(root);
    fs::create_directories(root);
    ::setenv("ZELMUSB_PLATFORM_ROOT", (root / "machine").c_str(), 1);
    ::setenv("ALLUSERSPROFILE", (root / "all-users").c_str(), 1);
    ::setenv("ZELMUSB_TRACE_FILE", "/dev/null", 1);
}

// A device document of about 2 KB: the sections the policy reads, and the rest the driver sends.
std::u16string device_document()
{
    std::u16string doc =
        u"{\"DeviceDescriptor\":{\"Manufacturer\":\"Acme Corporation\",\"Product\":\"Flash Stick 64GB\","
        u"\"SerialNumber\":\"0123456789ABCDEF\",\"bcdUSB\":512,\"idVendor\":1234,\"idProduct\":5678,"
        u"\"bDeviceClass\":0,\"bNumConfigurations\":1},"
        u"\"DeviceProperty\":{\"ClassName\":\"DiskDrive\",\"DeviceDescription\":\"USB Mass Storage Device\","
        u"\"DriveLetters\":\"E\"},\"Configurations\":[";
    for (int i = 0; doc.size() < 1900; ++i)
        doc += text::format(u"%s{\"Interface\":%i,\"Class\":8,\"SubClass\":6,\"Protocol\":80,\"EndPoints\":[129,2]}",
                            i ? u"," : u"", i);
    return doc + u"]}";
}

// `count` rules that match the device on four fields and fail on the description.
void fill_rules(size_t count)
{
    std::lock_guard<std::recursive_mutex> lock(settings_lock());
    for (auto* list : {&io_rules, &printer_rules, &network_rules, &main_rules, &initial_rules}) list->clear();
    main_rules.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        UsbRule r;
        r.produkt = u"flash";
        r.producent = u"=acme corporation";
        r.numer = u"0123456789";
        r.klasa = u"disk";
        r.opis = text::format(u"=printer %i", int(i));
        r.action = 0;
        main_rules.push_back(std::move(r));
    }
    g_settings = UsbSettings{};
    g_settings.active = 1;
    g_settings.action = 1;
    g_settings.report_on_allow = 1;
}

void decision(benchmark::State& state)
{
    fresh_machine();
    fill_rules(size_t(state.range(0)));
    const std::u16string doc = device_document();
    for (auto _ : state)
        if (zelmusb_decision(&doc) != 1) state.SkipWithError("not allowed");
    state.counters["rules"] = double(state.range(0));
}
BENCHMARK(decision)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// What a decision writes, done alone: the identity file, the arrival line, the report (with its
// running number from the registry).
void file_writes_alone(benchmark::State& state)
{
    fresh_machine();
    fill_rules(0);
    const std::u16string doc = device_document();
    CJsonNode identity;
    UsbRule fields;
    const std::u16string checksum = build_device_identity(doc, identity, fields);
    const std::u16string identity_text = identity.ToText(0);
    const std::u16string base = joined(suite_data_folder(u"zelmusb\\accept"), checksum);
    UsbReport report;
    report_begin(report, u"");
    report.category = report_category_usb;
    report.level = report_level_allowed;
    for (int i = 0; i < 8; ++i) report_add_entry(report, u"Opis", u"USB Mass Storage Device", u"");
    report_attach(report, u"info", &identity);
    const std::string line = text::to_utf8(LocalTimestamp() + u"\r\n");
    for (auto _ : state) {
        WriteWholeFile(base + u".json", identity_text);
        AppendToFile(base + u".txt", line);
        report_save(report);
    }
}
BENCHMARK(file_writes_alone)->Unit(benchmark::kMicrosecond);

// The matching alone, with the allocations of one call.
void match_rules_alone(benchmark::State& state)
{
    fresh_machine();
    fill_rules(size_t(state.range(0)));
    UsbRule device;
    device.produkt = u"Flash Stick 64GB";
    device.producent = u"Acme Corporation";
    device.numer = u"0123456789ABCDEF";
    device.klasa = u"DiskDrive";
    device.opis = u"USB Mass Storage Device";
    uint64_t made = 0;
    for (auto _ : state) {
        const uint64_t before = allocations.load(std::memory_order_relaxed);
        benchmark::DoNotOptimize(match_rules(device, false));
        made += allocations.load(std::memory_order_relaxed) - before;
    }
    state.counters["rules"] = double(state.range(0));
    state.counters["allocs_per_call"] = double(made) / double(state.iterations());
    state.counters["ns_per_rule"] =
        benchmark::Counter(double(state.range(0)) * double(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(match_rules_alone)->Arg(10)->Arg(1000)->Arg(100000)->Arg(1000000);


// The identity alone (parse, checksum, the logged-on user), and the user lookup by itself.
void identity_alone(benchmark::State& state)
{
    fresh_machine();
    const std::u16string doc = device_document();
    for (auto _ : state) {
        CJsonNode identity;
        UsbRule fields;
        benchmark::DoNotOptimize(build_device_identity(doc, identity, fields));
    }
}
BENCHMARK(identity_alone)->Unit(benchmark::kMicrosecond);
void desktop_users_alone(benchmark::State& state)
{
    fresh_machine();
    for (auto _ : state) {
        CProcesses p;
        std::vector<std::u16string> users;
        benchmark::DoNotOptimize(p.DesktopUsers(users));
    }
}
BENCHMARK(desktop_users_alone)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
