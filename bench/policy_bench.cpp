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
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "host/files.h"
#include "host/processes.h"
#include "host/settings.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "policy/decision.h"
#include "policy/identity.h"
#include "policy/report.h"
#include "policy/rules.h"
#include "text/text.h"

#include "alloc_counter.h"


namespace {

namespace fs = std::filesystem;

// The heap allocations of one iteration, counted since `first`.
void report_allocations(benchmark::State& state, uint64_t first)
{
    const uint64_t made = heap_allocations() - first;
    state.counters["allocs_per_call"] = state.iterations() ? double(made) / double(state.iterations()) : 0.0;
}

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

// `count` rules that match the device on four fields and fail on the description: by its length,
// or (`same_length`) only at its last character.
void fill_rules(size_t count, bool same_length = false)
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
        r.opis = same_length ? text::format(u"=usb mass storage devic%c", char16_t(u'0' + i % 10))
                             : text::format(u"=printer %i", int(i));
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
    const uint64_t first = heap_allocations();
    for (auto _ : state)
        if (zelmusb_decision(&doc) != 1) state.SkipWithError("not allowed");
    report_allocations(state, first);
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
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        WriteWholeFile(base + u".json", identity_text);
        AppendToFile(base + u".txt", line);
        report_save(report);
    }
    report_allocations(state, first);
}
BENCHMARK(file_writes_alone)->Unit(benchmark::kMicrosecond);

// The matching alone, with the allocations of one call.
void match_rules_alone(benchmark::State& state)
{
    fresh_machine();
    fill_rules(size_t(state.range(0)), state.range(1) != 0);
    UsbRule device;
    device.produkt = u"Flash Stick 64GB";
    device.producent = u"Acme Corporation";
    device.numer = u"0123456789ABCDEF";
    device.klasa = u"DiskDrive";
    device.opis = u"USB Mass Storage Device";
    uint64_t made = 0;
    for (auto _ : state) {
        const uint64_t before = heap_allocations();
        benchmark::DoNotOptimize(match_rules(device, false));
        made += heap_allocations() - before;
    }
    state.counters["rules"] = double(state.range(0));
    state.counters["allocs_per_call"] = double(made) / double(state.iterations());
    state.counters["ns_per_rule"] =
        benchmark::Counter(double(state.range(0)) * double(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// Second argument 1: every rule is compared to the last character of the description.
BENCHMARK(match_rules_alone)
    ->ArgNames({"rules", "same_length"})
    ->Args({10, 0})
    ->Args({1000, 0})
    ->Args({100000, 0})
    ->Args({1000000, 0})
    ->Args({1000, 1})
    ->Args({100000, 1});


// The identity alone (parse, checksum, the logged-on user), and the user lookup by itself.
void identity_alone(benchmark::State& state)
{
    fresh_machine();
    const std::u16string doc = device_document();
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        CJsonNode identity;
        UsbRule fields;
        benchmark::DoNotOptimize(build_device_identity(doc, identity, fields));
    }
    report_allocations(state, first);
}
BENCHMARK(identity_alone)->Unit(benchmark::kMicrosecond);

// A desktop of four processes, one of them the shell, answered from memory: the identity's own
// work (parse, five texts, checksum input, SHA-1, the search for the desktop user) without the
// cost of the system's process list, which the next benchmark shows by itself.
class FourProcesses : public platform::Processes {
public:
    explicit FourProcesses(platform::Processes& real) : real_(real) {}
    platform::Error enumerate(std::vector<uint32_t>& ids) override
    {
        ids = {4, 310, 320, 330};
        return platform::err::success;
    }
    platform::Error open(uint32_t pid, platform::Handle& process) override
    {
        process = platform::Handle(uintptr_t(pid));
        return platform::err::success;
    }
    platform::Error close(platform::Handle) override { return platform::err::success; }
    platform::Error module_file_name(platform::Handle h, std::u16string& path) override
    {
        return module_base_name(h, path);
    }
    platform::Error full_image_name(platform::Handle h, std::u16string& path) override
    {
        return module_base_name(h, path);
    }
    platform::Error module_base_name(platform::Handle h, std::u16string& name) override
    {
        name = uintptr_t(h) == 320 ? u"explorer.exe" : u"svchost.exe";
        return platform::err::success;
    }
    platform::Error token_user_name(platform::Handle, std::u16string& name) override
    {
        name = u"Anna";
        return platform::err::success;
    }
    platform::Error snapshot_exe_name(uint32_t pid, std::u16string& name) override
    {
        return module_base_name(platform::Handle(uintptr_t(pid)), name);
    }
    uint32_t current_id() override { return real_.current_id(); }
    uint32_t current_thread_id() override { return real_.current_thread_id(); }
    platform::Error current_module_path(std::u16string& path) override { return real_.current_module_path(path); }
    std::u16string current_arguments() override { return real_.current_arguments(); }
    platform::Error current_user_name(std::u16string& name) override { return real_.current_user_name(name); }
    uint16_t user_ui_language() override { return real_.user_ui_language(); }
    uint16_t system_ui_language() override { return real_.system_ui_language(); }
    platform::Error launch(const platform::LaunchRequest& r, platform::LaunchResult& out) override
    {
        return real_.launch(r, out);
    }
    [[noreturn]] void terminate_current(uint32_t code) override
    {
        real_.terminate_current(code);
        std::abort(); // not reached
    }

private:
    platform::Processes& real_;
};

void identity_own_work(benchmark::State& state)
{
    fresh_machine();
    FourProcesses desktop(platform::processes());
    platform::Override<platform::Processes> quick(&platform::Platform::processes, desktop);
    const std::u16string doc = device_document();
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        CJsonNode identity;
        UsbRule fields;
        benchmark::DoNotOptimize(build_device_identity(doc, identity, fields));
        if (identity.Member(u"user")->AsString() != u"Anna") state.SkipWithError("no desktop user");
    }
    report_allocations(state, first);
}
BENCHMARK(identity_own_work)->Unit(benchmark::kMicrosecond);
void desktop_users_alone(benchmark::State& state)
{
    fresh_machine();
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        CProcesses p;
        std::vector<std::u16string> users;
        benchmark::DoNotOptimize(p.DesktopUsers(users));
    }
    report_allocations(state, first);
}
BENCHMARK(desktop_users_alone)->Unit(benchmark::kMicrosecond);

// Keeps the median CPU and real time of every benchmark for the closing lines.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {}
    struct Times {
        double cpu = 0, real = 0;
    };
    std::map<std::string, Times> median;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            median[run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
                Times{run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // The decision's own work is everything but what it writes: the decision less the same
    // writes done alone, as a share of the decision (both medians of this run, in microseconds).
    auto writes = collector.median.find("file_writes_alone");
    if (writes == collector.median.end()) return 0;
    std::printf("\nShare of the decision that is not its file writes (medians of this run):\n\n");
    std::printf("%-16s %12s %12s %8s %12s %12s %8s\n", "decision", "cpu us", "writes", "share", "real us", "writes",
                "share");
    for (const char* rules : {"10", "1000", "100000"}) {
        auto d = collector.median.find(std::string("decision/") + rules);
        if (d == collector.median.end()) continue;
        const auto& t = d->second;
        const auto& w = writes->second;
        std::printf("%-16s %12.0f %12.0f %7.1f%% %12.0f %12.0f %7.1f%%\n", (std::string("rules=") + rules).c_str(),
                    t.cpu, w.cpu, 100.0 * (t.cpu - w.cpu) / t.cpu, t.real, w.real, 100.0 * (t.real - w.real) / t.real);
    }
    return 0;
}
