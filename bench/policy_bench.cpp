// The verdict on a new device against growing rule lists: whole, beside the same file writes done
// alone, and in parts measured within the same decisions (its file and registry calls, the process
// list, its own work); the identity and the rule matching by themselves, with the allocations
// they make.
//
// The decision runs with the policy on, "action" 1 and reports on, against rules that all fail on
// their last field, so that every rule is looked at and none decides: the device is allowed, its
// arrival recorded and a report written, which is the most a decision writes without the user.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "app/settings.h"
#include "host/files.h"
#include "host/processes.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "platform/files.h"
#include "platform/forwarding.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "policy/decision.h"
#include "policy/identity.h"
#include "policy/report.h"
#include "policy/rules.h"
#include "text/text.h"

#include "alloc_counter.h"
#include "peer_rules.h"


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

// Every decision writes a new report into the day's folder. A folder of many thousands of
// reports (as a long benchmark run would leave) makes each new name costlier to create on Linux,
// where a missing name is looked for without regard to case; a real machine gets a few a day.
// The folder is emptied every so often, outside the timed part.
void keep_report_folder_small(benchmark::State& state, uint64_t& calls)
{
    if (++calls % 256 != 0) return;
    state.PauseTiming();
    platform::Files& files = platform::files();
    const std::u16string logs = suite_data_folder(u"logs");
    std::vector<platform::FindEntry> days;
    if (files.find(logs + u"\\*", days) == platform::err::success) {
        for (const auto& day : days) {
            if (day.name == u"." || day.name == u".." || !(day.attributes & platform::attribute::directory)) continue;
            std::vector<platform::FindEntry> reports;
            if (files.find(logs + u"\\" + day.name + u"\\*.json", reports) != platform::err::success) continue;
            for (const auto& r : reports) files.remove(logs + u"\\" + day.name + u"\\" + r.name);
        }
    }
    state.ResumeTiming();
}

void decision(benchmark::State& state)
{
    fresh_machine();
    fill_rules(size_t(state.range(0)));
    const std::u16string doc = device_document();
    uint64_t calls = 0;
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        if (zelmusb_decision(&doc) != 1) state.SkipWithError("not allowed");
        keep_report_folder_small(state, calls);
    }
    report_allocations(state, first);
    state.counters["rules"] = double(state.range(0));
}
BENCHMARK(decision)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// --- the decision in parts ---------------------------------------------------------------------
// The same decision, with the platform families it reaches the system through wrapped so that the
// wall time spent inside their calls is summed: the file and registry calls (its writes: the
// identity file, the arrival line, the report and its running number), and the process list (the
// search for the desktop user). Measured in the same calls as the whole, the parts do not depend
// on two benchmarks meeting the same load on a shared machine.

using Clock = std::chrono::steady_clock;

// Adds the wall time of its scope to `sum` (seconds).
class Timed {
public:
    explicit Timed(double& sum) : sum_(sum), start_(Clock::now()) {}
    ~Timed() { sum_ += std::chrono::duration<double>(Clock::now() - start_).count(); }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;

private:
    double& sum_;
    Clock::time_point start_;
};

class TimedFiles : public platform::Files {
public:
    TimedFiles(platform::Files& real, double& sum) : real_(real), sum_(sum) {}
    platform::Error open(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                         uint32_t flags, platform::Handle& out) override
    {
        Timed t(sum_);
        return real_.open(path, access, share, disposition, flags, out);
    }
    platform::Error read(platform::Handle h, void* buffer, uint32_t size, uint32_t& read) override
    {
        Timed t(sum_);
        return real_.read(h, buffer, size, read);
    }
    platform::Error write(platform::Handle h, const void* data, uint32_t size, uint32_t& written) override
    {
        Timed t(sum_);
        return real_.write(h, data, size, written);
    }
    platform::Error size(platform::Handle h, uint64_t& size) override
    {
        Timed t(sum_);
        return real_.size(h, size);
    }
    platform::Error close(platform::Handle h) override
    {
        Timed t(sum_);
        return real_.close(h);
    }
    platform::Error remove(const std::u16string& path) override
    {
        Timed t(sum_);
        return real_.remove(path);
    }
    platform::Error create_directory(const std::u16string& path) override
    {
        Timed t(sum_);
        return real_.create_directory(path);
    }
    uint32_t attributes(const std::u16string& path, platform::Error& error) override
    {
        Timed t(sum_);
        return real_.attributes(path, error);
    }
    platform::Error find(const std::u16string& pattern, std::vector<platform::FindEntry>& entries) override
    {
        Timed t(sum_);
        return real_.find(pattern, entries);
    }
    platform::Error move_replace(const std::u16string& from, const std::u16string& to) override
    {
        Timed t(sum_);
        return real_.move_replace(from, to);
    }
    int stat(const std::u16string& path, bool& is_directory) override
    {
        Timed t(sum_);
        return real_.stat(path, is_directory);
    }
    int make_writable(const std::u16string& path) override
    {
        Timed t(sum_);
        return real_.make_writable(path);
    }
    uint32_t drive_type(const std::u16string& root) override
    {
        Timed t(sum_);
        return real_.drive_type(root);
    }

private:
    platform::Files& real_;
    double& sum_;
};

class TimedRegistry : public platform::Registry {
public:
    TimedRegistry(platform::Registry& real, double& sum) : real_(real), sum_(sum) {}
    platform::Error open_key(const std::u16string& path, uint32_t access, platform::Handle& key) override
    {
        Timed t(sum_);
        return real_.open_key(path, access, key);
    }
    platform::Error create_key(const std::u16string& path, uint32_t access, platform::Handle& key) override
    {
        Timed t(sum_);
        return real_.create_key(path, access, key);
    }
    platform::Error close_key(platform::Handle key) override
    {
        Timed t(sum_);
        return real_.close_key(key);
    }
    platform::Error query_value(platform::Handle key, const std::u16string& name, uint32_t& type,
                                std::vector<uint8_t>& data) override
    {
        Timed t(sum_);
        return real_.query_value(key, name, type, data);
    }
    platform::Error set_value(platform::Handle key, const std::u16string& name, uint32_t type,
                              std::span<const uint8_t> data) override
    {
        Timed t(sum_);
        return real_.set_value(key, name, type, data);
    }
    platform::Error delete_value(platform::Handle key, const std::u16string& name) override
    {
        Timed t(sum_);
        return real_.delete_value(key, name);
    }
    platform::Error enum_subkeys(platform::Handle key, std::vector<std::u16string>& names) override
    {
        Timed t(sum_);
        return real_.enum_subkeys(key, names);
    }
    platform::Error enum_values(platform::Handle key, std::vector<platform::RegistryValue>& values) override
    {
        Timed t(sum_);
        return real_.enum_values(key, values);
    }
    platform::Error delete_key(const std::u16string& path) override
    {
        Timed t(sum_);
        return real_.delete_key(path);
    }
    platform::Error delete_tree(const std::u16string& path) override
    {
        Timed t(sum_);
        return real_.delete_tree(path);
    }

private:
    platform::Registry& real_;
    double& sum_;
};

// The calls of the running process itself, passed to the real family: the wrappers below answer
// or time only the calls that look at other processes.
class OwnProcessCalls : public platform::Processes {
public:
    explicit OwnProcessCalls(platform::Processes& real) : real_(real) {}
    uint32_t current_id() override { return real_.current_id(); }
    uint32_t current_thread_id() override { return real_.current_thread_id(); }
    platform::Error current_module_path(std::u16string& path) override { return real_.current_module_path(path); }
    std::u16string current_arguments() override { return real_.current_arguments(); }
    platform::Error current_user_name(std::u16string& name) override { return real_.current_user_name(name); }
    bool current_privileged() override { return real_.current_privileged(); }
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

protected:
    platform::Processes& real_;
};

// Only the calls the search for the desktop user makes are timed; the rest pass through.
class TimedProcessList : public OwnProcessCalls {
public:
    TimedProcessList(platform::Processes& real, double& sum) : OwnProcessCalls(real), sum_(sum) {}
    platform::Error enumerate(std::vector<uint32_t>& ids) override
    {
        Timed t(sum_);
        return real_.enumerate(ids);
    }
    platform::Error open(uint32_t pid, platform::Handle& process) override
    {
        Timed t(sum_);
        return real_.open(pid, process);
    }
    platform::Error close(platform::Handle process) override
    {
        Timed t(sum_);
        return real_.close(process);
    }
    platform::Error module_file_name(platform::Handle h, std::u16string& path) override
    {
        Timed t(sum_);
        return real_.module_file_name(h, path);
    }
    platform::Error full_image_name(platform::Handle h, std::u16string& path) override
    {
        Timed t(sum_);
        return real_.full_image_name(h, path);
    }
    platform::Error module_base_name(platform::Handle h, std::u16string& name) override
    {
        Timed t(sum_);
        return real_.module_base_name(h, name);
    }
    platform::Error token_user_name(platform::Handle h, std::u16string& name) override
    {
        Timed t(sum_);
        return real_.token_user_name(h, name);
    }
    platform::Error snapshot_exe_name(uint32_t pid, std::u16string& name) override
    {
        Timed t(sum_);
        return real_.snapshot_exe_name(pid, name);
    }

private:
    double& sum_;
};

// The named objects (the capture mutex the decision looks for) and the environment, clock and
// trace output: the operating system's work too, timed apart from the decision's own.
class TimedSync : public platform::ForwardingSync {
public:
    TimedSync(platform::Sync& real, double& sum) : ForwardingSync(real), sum_(sum) {}
    platform::Error create_mutex(const std::u16string& n, platform::Handle& h) override
    {
        Timed t(sum_);
        return inner_.create_mutex(n, h);
    }
    platform::Error open_mutex(const std::u16string& n, platform::Handle& h) override
    {
        Timed t(sum_);
        return inner_.open_mutex(n, h);
    }
    platform::Error create_event(bool m, bool s, const std::u16string& n, platform::Handle& h) override
    {
        Timed t(sum_);
        return inner_.create_event(m, s, n, h);
    }
    platform::Error close(platform::Handle h) override
    {
        Timed t(sum_);
        return inner_.close(h);
    }

private:
    double& sum_;
};

// The SHA-1 of the identity stays in the decision's own work: it is computation, not a request.
class TimedSystem : public platform::ForwardingSystem {
public:
    TimedSystem(platform::System& real, double& sum) : ForwardingSystem(real), sum_(sum) {}
    platform::Error environment(const std::u16string& name, std::u16string& value) override
    {
        Timed t(sum_);
        return inner_.environment(name, value);
    }
    platform::LocalTime local_time() override
    {
        Timed t(sum_);
        return inner_.local_time();
    }
    // The tick counter is a clock call like the local time: on Linux it asks whether the machine
    // file says when the machine booted.
    uint32_t tick_count() override
    {
        Timed t(sum_);
        return inner_.tick_count();
    }
    uint64_t tick_count64() override
    {
        Timed t(sum_);
        return inner_.tick_count64();
    }
    void debug_output(const std::u16string& line) override
    {
        Timed t(sum_);
        inner_.debug_output(line);
    }

private:
    double& sum_;
};

void decision_parts(benchmark::State& state)
{
    fresh_machine();
    fill_rules(size_t(state.range(0)));
    const std::u16string doc = device_document();
    double whole = 0, writes = 0, process_list = 0, other_system = 0;
    TimedFiles files(platform::files(), writes);
    TimedRegistry registry(platform::registry(), writes);
    TimedProcessList processes(platform::processes(), process_list);
    TimedSync sync(platform::sync(), other_system);
    TimedSystem system(platform::system(), other_system);
    platform::Override<platform::Files> timed_files(&platform::Platform::files, files);
    platform::Override<platform::Registry> timed_registry(&platform::Platform::registry, registry);
    platform::Override<platform::Processes> timed_processes(&platform::Platform::processes, processes);
    platform::Override<platform::Sync> timed_sync(&platform::Platform::sync, sync);
    platform::Override<platform::System> timed_system(&platform::Platform::system, system);
    // Only what the decisions spend counts: emptying the report folder goes through the files
    // family too.
    double decision_writes = 0, decision_process_list = 0, decision_other_system = 0;
    uint64_t calls = 0;
    for (auto _ : state) {
        const double writes_before = writes, process_list_before = process_list, other_before = other_system;
        {
            Timed t(whole);
            if (zelmusb_decision(&doc) != 1) state.SkipWithError("not allowed");
        }
        decision_writes += writes - writes_before;
        decision_process_list += process_list - process_list_before;
        decision_other_system += other_system - other_before;
        keep_report_folder_small(state, calls);
    }
    const double n = state.iterations() ? double(state.iterations()) : 1.0;
    state.counters["rules"] = double(state.range(0));
    state.counters["whole_us"] = whole / n * 1e6;
    state.counters["writes_us"] = decision_writes / n * 1e6;
    state.counters["process_list_us"] = decision_process_list / n * 1e6;
    state.counters["objects_trace_us"] = decision_other_system / n * 1e6;
    state.counters["own_us"] = (whole - decision_writes - decision_process_list - decision_other_system) / n * 1e6;
    // Everything but the file writes, as a share of the whole.
    state.counters["not_writes_pct"] = whole > 0 ? 100.0 * (whole - decision_writes) / whole : 0.0;
}
BENCHMARK(decision_parts)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

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
    uint64_t calls = 0;
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        WriteWholeFile(base + u".json", identity_text);
        AppendToFile(base + u".txt", line);
        report_save(report);
        keep_report_folder_small(state, calls);
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

// The matching on the rule sets USBGuard's engine gets in usbguard_peer.cpp: product name and
// serial number, exact, the other three patterns empty, as the suite stores them (texts as read).
void match_rules_peer_set(benchmark::State& state)
{
    fresh_machine();
    const size_t count = size_t(state.range(0));
    const bool matching_last = state.range(1) != 0;
    {
        std::lock_guard<std::recursive_mutex> lock(settings_lock());
        for (auto* list : {&io_rules, &printer_rules, &network_rules, &main_rules, &initial_rules}) list->clear();
        main_rules.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            UsbRule r;
            r.produkt = text::from_utf8("=" + peer::rule_name(i));
            r.numer = text::from_utf8("=" + peer::rule_serial(i));
            r.action = 1;
            main_rules.push_back(std::move(r));
        }
        g_settings = UsbSettings{};
        g_settings.active = 1;
    }
    UsbRule device;
    device.produkt = text::from_utf8(peer::device_name(count, matching_last));
    device.producent = u"Acme Corporation";
    device.numer = text::from_utf8(peer::device_serial(count, matching_last));
    device.klasa = u"DiskDrive";
    device.opis = u"USB Mass Storage Device";
    const int32_t expected = matching_last ? rule_allows : no_rule_decided;
    for (auto _ : state) {
        const int32_t r = match_rules(device, false);
        if (r != expected) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(r);
    }
    peer::count_rules(state, count);
}
BENCHMARK(match_rules_peer_set)->Apply(peer::sizes);

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
class FourProcesses : public OwnProcessCalls {
public:
    explicit FourProcesses(platform::Processes& real) : OwnProcessCalls(real) {}
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

// Keeps the median times and counters of every benchmark for the closing lines.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {}
    struct Times {
        double cpu = 0, real = 0;
    };
    std::map<std::string, Times> median;
    std::map<std::string, std::map<std::string, double>> counters;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string name =
                run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
            median[name] = Times{run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
            for (const auto& [counter, value] : run.counters) counters[name][counter] = value.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Side by side with USBGuard's rule engine on the same rule sets, in this run: nanoseconds per rule
// (medians, CPU time) and how many times faster the program's matching is; then the decision's own
// work (decision_parts: everything but its file, registry, process-list, named-object, clock and
// trace calls) beside USBGuard's look-up alone on as many rules (none of them naming the device).
void print_peer_table(Collector& collector)
{
#if ZELMUSB_BENCH_USBGUARD
    std::printf("\nRule matching beside USBGuard's MemoryRuleSet::getFirstMatchingRule (same rules: exact name "
                "and serial; ns per rule, medians of this run):\n\n");
    std::printf("%-8s %-10s %12s %12s %10s\n", "rules", "device", "zelmusb", "USBGuard", "ratio");
    for (const char* rules : {"10", "1000", "100000"}) {
        for (const char* last : {"1", "0"}) {
            const std::string args = std::string("/rules:") + rules + "/match_last:" + last;
            auto ours = collector.counters.find("match_rules_peer_set" + args);
            auto peer = collector.counters.find("usbguard_first_match" + args);
            if (ours == collector.counters.end() || peer == collector.counters.end()) continue;
            // The counters hold seconds per rule.
            const double a = ours->second["ns_per_rule"] * 1e9, b = peer->second["ns_per_rule"] * 1e9;
            std::printf("%-8s %-10s %12.2f %12.2f %9.1fx\n", rules, *last == '1' ? "last rule" : "no rule", a, b,
                        a > 0 ? b / a : 0.0);
        }
    }
    std::printf("\n%-8s %22s %26s %10s\n", "rules", "decision own work (us)", "USBGuard look-up alone (us)",
                "ratio");
    for (const char* rules : {"10", "1000", "100000"}) {
        auto own = collector.counters.find(std::string("decision_parts/") + rules);
        auto peer = collector.median.find(std::string("usbguard_first_match/rules:") + rules + "/match_last:0");
        if (own == collector.counters.end() || peer == collector.median.end()) continue;
        // Google Benchmark's adjusted times are in the benchmark's unit: nanoseconds here.
        const double a = own->second["own_us"], b = peer->second.cpu / 1000.0;
        std::printf("%-8s %22.2f %26.2f %9.2fx\n", rules, a, b, a > 0 ? b / a : 0.0);
    }
#else
    (void)collector;
    std::printf("\nUSBGuard (libusbguard) was not found when this program was built: the comparison with its "
                "rule engine is skipped.\n");
#endif
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // The decision in parts, measured within the same calls (medians of the repetitions): the
    // file and registry calls, the process list, and the rest, which is the decision's own work.
    std::printf("\nThe decision in parts (wall time per decision in microseconds, medians of this run):\n\n");
    std::printf("%-14s %10s %10s %14s %15s %10s %16s\n", "decision", "whole", "writes", "process list",
                "objects, trace", "own", "all but writes");
    for (const char* rules : {"10", "1000", "100000"}) {
        auto d = collector.counters.find(std::string("decision_parts/") + rules);
        if (d == collector.counters.end()) continue;
        auto& c = d->second;
        std::printf("%-14s %10.0f %10.0f %14.0f %15.0f %10.0f %15.1f%%\n", (std::string("rules=") + rules).c_str(),
                    c["whole_us"], c["writes_us"], c["process_list_us"], c["objects_trace_us"], c["own_us"],
                    c["not_writes_pct"]);
    }
    print_peer_table(collector);
    return 0;
}
