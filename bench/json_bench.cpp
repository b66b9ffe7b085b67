// Loading the system's JSON documents: the library's JsonHolder (from its UTF-16LE file, and from
// text in memory), the host's CJsonNode (text in memory), and, in the same run on the same
// documents, nlohmann::json and RapidJSON (from a UTF-8 file and from memory).
//
// Throughput is the document's length in characters per second, the same figure for every
// reader, so the MB/s of the UTF-16 readers and the UTF-8 readers compare the same work. Each
// timed load includes releasing the document it built, for every reader alike.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>

#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

#include "alloc_counter.h"

using ZelmUsbVardoManager::JsonHolder;

namespace {

// ---------------------------------------------------------------------------------------------
// Documents of the shapes the system handles, made by the library's own writer (compact, names in
// order, numbers in "%G" form). Numbers stay below a million: the library's reader does not take
// the writer's exponent form, and every reader here must read the same text.

class Maker {
public:
    explicit Maker(uint32_t seed) : rng_(seed) {}

    int number(int below) { return int(rng_() % uint32_t(below)); }
    std::u16string pick(std::initializer_list<const char16_t*> choices)
    {
        auto it = choices.begin();
        std::advance(it, number(int(choices.size())));
        return *it;
    }
    std::u16string digits(int n, const char16_t* alphabet = u"0123456789ABCDEF")
    {
        const std::u16string a = alphabet;
        std::u16string s;
        for (int i = 0; i < n; ++i)
            s.push_back(a[size_t(number(int(a.size())))]);
        return s;
    }

private:
    std::mt19937 rng_;
};

JsonHolder* num(double v) { return new JsonHolder(v); }
JsonHolder* str(const std::u16string& s) { return new JsonHolder(s); }
JsonHolder* obj() { return new JsonHolder(JsonHolder::CreateObject()); }
JsonHolder* arr() { return new JsonHolder(JsonHolder::CreateArray()); }

JsonHolder* endpoint(Maker& m, int address)
{
    JsonHolder* e = obj();
    e->Add(u"bDescriptorType", num(5));
    e->Add(u"bEndpointAddress", num(address));
    e->Add(u"bInterval", num(m.number(2) ? 0 : 10));
    e->Add(u"bLength", num(7));
    e->Add(u"bmAttributes", num(2 + m.number(2)));
    e->Add(u"wMaxPacketSize", num(m.number(2) ? 64 : 512));
    return e;
}

JsonHolder* device_descriptor(Maker& m, const std::u16string& maker, const std::u16string& product,
                              const std::u16string& serial, int vendor, int product_id)
{
    JsonHolder* d = obj();
    d->Add(u"Manufacturer", str(maker));
    d->Add(u"Product", str(product));
    d->Add(u"SerialNumber", str(serial));
    d->Add(u"bDescriptorType", num(1));
    d->Add(u"bDeviceClass", num(0));
    d->Add(u"bDeviceProtocol", num(0));
    d->Add(u"bDeviceSubClass", num(0));
    d->Add(u"bLength", num(18));
    d->Add(u"bMaxPacketSize0", num(64));
    d->Add(u"bNumConfigurations", num(1));
    d->Add(u"bcdDevice", num(256 + m.number(4096)));
    d->Add(u"bcdUSB", num(m.number(2) ? 512 : 784));
    d->Add(u"iManufacturer", num(1));
    d->Add(u"iProduct", num(2));
    d->Add(u"iSerialNumber", num(3));
    d->Add(u"idProduct", num(product_id));
    d->Add(u"idVendor", num(vendor));
    JsonHolder* configurations = d->Add(u"Configurations", arr());
    JsonHolder* configuration = configurations->Add(obj());
    configuration->Add(u"Configuration", str(u"Default configuration"));
    configuration->Add(u"MaxPower", num(50 * (1 + m.number(10))));
    configuration->Add(u"bConfigurationValue", num(1));
    configuration->Add(u"bDescriptorType", num(2));
    configuration->Add(u"bLength", num(9));
    configuration->Add(u"bNumInterfaces", num(1));
    configuration->Add(u"bmAttributes", num(128));
    configuration->Add(u"iConfiguration", num(4));
    configuration->Add(u"wTotalLength", num(32));
    JsonHolder* interfaces = configuration->Add(u"Interfaces", arr());
    JsonHolder* interface = interfaces->Add(obj());
    interface->Add(u"Interface", str(u"Mass Storage"));
    interface->Add(u"bAlternateSetting", num(0));
    interface->Add(u"bDescriptorType", num(4));
    interface->Add(u"bInterfaceClass", num(8));
    interface->Add(u"bInterfaceNumber", num(0));
    interface->Add(u"bInterfaceProtocol", num(80));
    interface->Add(u"bInterfaceSubClass", num(6));
    interface->Add(u"bLength", num(9));
    interface->Add(u"bNumEndpoints", num(2));
    interface->Add(u"iInterface", num(5));
    JsonHolder* endpoints = interface->Add(u"EndPoints", arr());
    endpoints->Add(endpoint(m, 129));
    endpoints->Add(endpoint(m, 2));
    return d;
}

JsonHolder* device_entry(Maker& m, int index)
{
    const std::u16string maker = m.pick({u"SanDisk", u"Kingston", u"Logitech", u"Generic", u"Verbatim", u"Wacom"});
    const std::u16string product =
        m.pick({u"Cruzer Blade", u"DataTraveler 3.0", u"USB Receiver", u"Flash Disk", u"Store 'n' Go", u"Pen Tablet"});
    const std::u16string serial = m.digits(20);
    const int vendor = 1000 + m.number(9000), product_id = 1000 + m.number(60000);
    const int port = 1 + m.number(8);

    JsonHolder* e = obj();
    JsonHolder* connection = e->Add(u"ConnectionInformation", obj());
    connection->Add(u"ConnectionIndex", num(port));
    connection->Add(u"ConnectionStatus", str(u"DeviceConnected"));
    connection->Add(u"CurrentConfigurationValue", num(1));
    connection->Add(u"DeviceAddress", num(1 + index % 127));
    connection->Add(u"DeviceDescriptor", device_descriptor(m, maker, product, serial, vendor, product_id));
    connection->Add(u"DeviceIsHub", num(0));
    connection->Add(u"NumberOfOpenPipes", num(2));
    JsonHolder* pipes = connection->Add(u"PipeList", arr());
    for (int address : {129, 2}) {
        JsonHolder* pipe = pipes->Add(obj());
        pipe->Add(u"EndpointDescriptor", endpoint(m, address));
        pipe->Add(u"ScheduleOffset", num(0));
    }
    connection->Add(u"Speed", num(2 + m.number(2)));
    e->Add(u"DEVINST", num(1 + m.number(900000)));
    e->Add(u"DeviceDescriptor", device_descriptor(m, maker, product, serial, vendor, product_id));

    JsonHolder* property = e->Add(u"DeviceProperty", obj());
    property->Add(u"BusNumber", num(0));
    JsonHolder* guid = property->Add(u"BusTypeGuid", obj());
    guid->Add(u"Data1", num(m.number(999999)));
    guid->Add(u"Data2", num(m.number(65536)));
    guid->Add(u"Data3", num(m.number(65536)));
    JsonHolder* data4 = guid->Add(u"Data4", arr());
    for (int i = 0; i < 8; ++i)
        data4->Add(num(m.number(256)));
    property->Add(u"ClassGuid", str(u"{36fc9e60-c465-11cf-8056-444553540000}"));
    property->Add(u"ClassName", str(m.pick({u"USB", u"DiskDrive", u"HIDClass", u"Image"})));
    JsonHolder* compatible = property->Add(u"CompatibleIDs", arr());
    compatible->Add(str(u"USB\\Class_08&SubClass_06&Prot_50"));
    compatible->Add(str(u"USB\\Class_08&SubClass_06"));
    compatible->Add(str(u"USB\\Class_08"));
    property->Add(u"DeviceDescription", str(m.pick({u"USB Mass Storage Device", u"USB Input Device", u"Urządzenie wejściowe USB"})));
    property->Add(u"DriverKeyName", str(u"{36fc9e60-c465-11cf-8056-444553540000}\\" + m.digits(4, u"0123456789")));
    property->Add(u"EnumeratorName", str(u"USB"));
    property->Add(u"FriendlyName", str(maker + u" " + product + u" USB Device"));
    JsonHolder* hardware = property->Add(u"HardwareID", arr());
    hardware->Add(str(text::format(u"USB\\VID_%04X&PID_%04X&REV_0100", vendor, product_id)));
    hardware->Add(str(text::format(u"USB\\VID_%04X&PID_%04X", vendor, product_id)));
    property->Add(u"InstallState", str(u"InstallStateInstalled"));
    property->Add(u"LegacyBusType", str(u"PNPBus"));
    property->Add(u"LocationInformation", str(text::format(u"Port_#%.4i.Hub_#%.4i", port, 1 + m.number(6))));
    property->Add(u"Manufacturer", str(maker));
    property->Add(u"PhysicalDeviceObjectName", str(text::format(u"\\Device\\USBPDO-%i", index)));
    property->Add(u"RemovalPolicy", str(u"RemovalPolicyExpectSurpriseRemoval"));
    property->Add(u"UINumber", num(m.number(16)));
    e->Add(u"DriveLetters", str(m.number(3) ? u"" : m.digits(1, u"DEFGHIJ")));
    e->Add(u"IsHub", new JsonHolder(false));
    e->Add(u"PortNumberOfBus", num(port));
    return e;
}

std::u16string device_list(size_t at_least)
{
    Maker m(4);
    JsonHolder list = JsonHolder::CreateArray();
    std::u16string text;
    for (int i = 0; text.size() < at_least; ++i) {
        // Grow in steps and measure, rather than writing the whole list for every entry.
        for (int k = 0; k < 16; ++k)
            list.Add(device_entry(m, i * 16 + k));
        text = list.ToString();
    }
    return text;
}

std::u16string settings(size_t at_least)
{
    Maker m(7);
    JsonHolder doc = JsonHolder::CreateObject();
    JsonHolder* usb = doc.Add(u"usb", obj());
    for (const char16_t* key : {u"action", u"active", u"allow_initial", u"allow_io", u"allow_network",
                                u"allow_printers", u"report_on_allow"})
        usb->Add(key, num(1 + m.number(2)));
    JsonHolder* rules = usb->Add(u"rules", arr());
    while (doc.ToString().size() < at_least) {
        JsonHolder* rule = rules->Add(arr());
        JsonHolder* pattern = rule->Add(obj());
        pattern->Add(u"klasa", str(m.pick({u"DiskDrive", u"Printer", u"Net", u"HIDClass", u""})));
        std::u16string serial = m.number(2) ? m.digits(16) : u"";
        if (!serial.empty()) serial.insert(serial.begin(), u'='); // an exact-match pattern
        pattern->Add(u"numer", str(serial));
        pattern->Add(u"opis", str(m.pick({u"USB Mass Storage Device", u"Drukarka USB", u""})));
        pattern->Add(u"producent", str(m.pick({u"=SanDisk", u"Kingston", u"HP", u"Żywiec Tech"})));
        pattern->Add(u"produkt", str(m.pick({u"Cruzer", u"=DataTraveler 3.0", u"LaserJet", u""})));
        rule->Add(num(m.number(2)));
    }
    return doc.ToString();
}

std::u16string device_document()
{
    return u"{\"DeviceDescriptor\":{\"Manufacturer\":\"SanDisk\",\"Product\":\"Cruzer Blade\","
           u"\"SerialNumber\":\"4C530001230518117094\",\"idProduct\":21863,\"idVendor\":1921},"
           u"\"DeviceProperty\":{\"ClassName\":\"DiskDrive\",\"DeviceDescription\":\"USB Mass Storage Device\"},"
           u"\"DriveLetters\":\"E\"}";
}

// ---------------------------------------------------------------------------------------------

struct Document {
    std::string name;
    std::u16string text;   // the text, as the system holds it
    std::string utf8;      // the same text for the UTF-8 readers
    std::u16string utf16_file;
    std::string utf8_file;
};

std::vector<Document>& documents()
{
    static std::vector<Document> docs;
    return docs;
}

void prepare(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    struct Made {
        const char* name;
        std::u16string text;
    };
    Made made[] = {
        {"device_200B", device_document()},
        {"settings_10KB", settings(10 * 1024)},
        {"devices_1MB", device_list(1024 * 1024)},
    };
    for (auto& m : made) {
        Document d;
        d.name = m.name;
        d.text = std::move(m.text);
        d.utf8 = text::to_utf8(d.text);
        const auto utf16 = folder / (d.name + ".utf16.json");
        const auto utf8 = folder / (d.name + ".utf8.json");
        const auto bytes = text::to_utf16le(d.text);
        std::ofstream(utf16, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        std::ofstream(utf8, std::ios::binary).write(d.utf8.data(), std::streamsize(d.utf8.size()));
        d.utf16_file = utf16.u16string();
        d.utf8_file = utf8.string();
        documents().push_back(std::move(d));
    }
}

// Throughput, and the heap allocations of one load (with its release) counted since `first`.
void count(benchmark::State& state, const Document& d, uint64_t first)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.text.size()));
    const uint64_t made = heap_allocations() - first;
    state.counters["allocs_per_call"] = state.iterations() ? double(made) / double(state.iterations()) : 0.0;
}

// --- the readers ---------------------------------------------------------------------------------

void jsonholder_file(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        JsonHolder value;
        std::u16string status;
        if (JsonHolder::LoadFromFile(d.utf16_file, value, status) != 0) {
            state.SkipWithError(text::to_utf8(status).c_str());
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

void jsonholder_memory(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        JsonHolder value;
        std::u16string error;
        if (!JsonHolder::Parse(d.text, value, error)) {
            state.SkipWithError(text::to_utf8(error).c_str());
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

void cjsonnode_memory(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        CJsonNode node;
        node.fractionalNumbers = 1; // as the host reads the library's device list
        node.LoadText(d.text);
        benchmark::DoNotOptimize(node);
    }
    count(state, d, first);
}

void nlohmann_file(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        std::ifstream in(d.utf8_file, std::ios::binary);
        nlohmann::json value = nlohmann::json::parse(in);
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

void nlohmann_memory(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(d.utf8);
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

void rapidjson_file(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        FILE* f = std::fopen(d.utf8_file.c_str(), "rb");
        rapidjson::FileReadStream in(f, buffer.data(), buffer.size());
        rapidjson::Document value;
        value.ParseStream(in);
        std::fclose(f);
        if (value.HasParseError()) {
            state.SkipWithError("RapidJSON parse error");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

void rapidjson_memory(benchmark::State& state, const Document& d)
{
    const uint64_t first = heap_allocations();
    for (auto _ : state) {
        rapidjson::Document value;
        value.Parse(d.utf8.c_str(), d.utf8.size());
        if (value.HasParseError()) {
            state.SkipWithError("RapidJSON parse error");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    count(state, d, first);
}

struct Reader {
    const char* name;
    const char* baseline; // the nlohmann reader it is compared with
    const char* fastest;  // the RapidJSON reader it is compared with
    void (*run)(benchmark::State&, const Document&);
};

const Reader kReaders[] = {
    {"file/JsonHolder::LoadFromFile", "file/nlohmann::json", "file/RapidJSON", jsonholder_file},
    {"file/nlohmann::json", "file/nlohmann::json", "file/RapidJSON", nlohmann_file},
    {"file/RapidJSON", "file/nlohmann::json", "file/RapidJSON", rapidjson_file},
    {"memory/JsonHolder::Parse", "memory/nlohmann::json", "memory/RapidJSON", jsonholder_memory},
    {"memory/CJsonNode::LoadText", "memory/nlohmann::json", "memory/RapidJSON", cjsonnode_memory},
    {"memory/nlohmann::json", "memory/nlohmann::json", "memory/RapidJSON", nlohmann_memory},
    {"memory/RapidJSON", "memory/nlohmann::json", "memory/RapidJSON", rapidjson_memory},
};

// Keeps the throughput of every run (the median when repeated) for the closing table.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {} // plain text: the output usually goes to a log

    std::map<std::string, double> bytes_per_second;
    std::map<std::string, double> allocs_per_call;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && !run.error_occurred)
                bytes_per_second[run.run_name.function_name] = it->second.value;
            auto allocs = run.counters.find("allocs_per_call");
            if (allocs != run.counters.end() && !run.error_occurred)
                allocs_per_call[run.run_name.function_name] = allocs->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    const auto folder = std::filesystem::temp_directory_path() / ("zelmusb-bench-" + std::to_string(std::random_device{}()));
    prepare(folder);
    for (const Document& d : documents())
        for (const Reader& r : kReaders)
            benchmark::RegisterBenchmark((std::string(r.name) + "/" + d.name).c_str(),
                                         [&r, &d](benchmark::State& s) { r.run(s, d); });

    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    if (!std::getenv("ZELMUSB_BENCH_KEEP")) std::filesystem::remove_all(folder);

    std::printf("\nThroughput in MB/s of document characters (CPU time, the median of the repetitions), the\n"
                "ratio to nlohmann::json reading the same document the same way (from a file, or from\n"
                "memory) in this same run, and the heap allocations of one load with its release:\n\n");
    std::printf("%-16s %-32s %10s %8s %10s %12s\n", "document", "reader", "MB/s", "ratio", "/RapidJSON",
                "allocs/call");
    for (const Document& d : documents()) {
        for (const Reader& r : kReaders) {
            auto own = collector.bytes_per_second.find(std::string(r.name) + "/" + d.name);
            auto base = collector.bytes_per_second.find(std::string(r.baseline) + "/" + d.name);
            if (own == collector.bytes_per_second.end()) continue;
            const double ratio = base != collector.bytes_per_second.end() ? own->second / base->second : 0;
            auto fast = collector.bytes_per_second.find(std::string(r.fastest) + "/" + d.name);
            const double to_fastest = fast != collector.bytes_per_second.end() ? own->second / fast->second : 0;
            auto allocs = collector.allocs_per_call.find(std::string(r.name) + "/" + d.name);
            const double made = allocs != collector.allocs_per_call.end() ? allocs->second : 0;
            std::printf("%-16s %-32s %10.1f %8.2f %10.2f %12.1f\n", d.name.c_str(), r.name, own->second / 1e6, ratio,
                        to_fastest, made);
        }
    }
    return 0;
}
