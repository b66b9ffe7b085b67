// The list of USB devices present on model machines of growing size (8 host controllers, up to 127
// devices behind nested hubs), beside the number of platform requests the list makes and the time
// of those same requests replayed alone. Requests per device should stay the same as the machine
// grows (no step re-walks the tree per controller or per device), and the whole list should take
// at most about twice the time of its platform requests.
#include <benchmark/benchmark.h>

#include "listed_devices.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "drivercontrol/manager.h"
#include "platform/model/engine.h"
#include "platform/model/families.h"
#include "platform/platform.h"

using namespace ZelmUsbVardoManager;

namespace {

// --- the machine -------------------------------------------------------------------------------------

struct Builder {
    int remaining = 0;
    int serial = 0;
    int letters = 0;
    int hubs = 0;

    std::string leaf(int port)
    {
        const int n = ++serial;
        std::string disk;
        // Every eighth device is a flash drive with a volume, while letters last.
        if (n % 8 == 0 && letters < 20) {
            const char letter = char('E' + letters++);
            disk = R"(, "children": [{"id": "USBSTOR\\DISK\\)" + std::to_string(n) + R"(", "disk": {"number": )" +
                   std::to_string(n) + R"(, "volumes": [{"letter": ")" + std::string(1, letter) + R"("}]}}])";
        }
        return R"({"port": )" + std::to_string(port) +
               R"(, "device": "12 01 00 02 00 00 00 40 81 07 67 55 00 01 01 02 03 01",
          "configs": ["09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a"],
          "strings": {"1": "Globex", "2": "Device )" +
               std::to_string(n) + R"(", "3": null},
          "node": {"id": "USB\\VID_0781&PID_5567\\SN)" +
               std::to_string(n) + R"(", "props": {"CLASS": "USB", "DEVICEDESC": "Device", "MFG": "Globex"})" + disk +
               "}}";
    }

    // A hub's port list: leaves on ports 1..6, a nested hub on port 7 while devices remain.
    std::string ports(int depth)
    {
        std::string list;
        for (int p = 1; p <= 7 && remaining > 0; ++p) {
            if (!list.empty()) list += ",";
            --remaining;
            if (p == 7 && remaining > 0 && depth < 5) {
                const int h = ++hubs;
                list += R"({"port": 7, "device": "12 01 00 02 09 00 01 40 11 11 22 22 00 01 00 01 00 01",
                  "configs": ["09 02 19 00 01 01 00 e0 00 09 04 00 00 01 09 00 00 00 07 05 81 03 01 00 0c"],
                  "strings": {"1": "Hub"}, "node": {"id": "USB\\VID_1111&PID_2222\\H)" +
                        std::to_string(h) + R"("}, "hub": {"name": "HUB)" + std::to_string(h) +
                        R"(", "ports": 7, "devices": [)" + ports(depth + 1) + "]}}";
            } else {
                list += leaf(p);
            }
        }
        return list;
    }
};

std::string machine_json(int devices)
{
    Builder b;
    std::string controllers;
    for (int c = 0; c < 8; ++c) {
        b.remaining = devices / 8 + (c < devices % 8 ? 1 : 0);
        if (c) controllers += ",";
        controllers += R"({"index": )" + std::to_string(c) + R"(, "node": {"id": "PCI\\C)" + std::to_string(c) +
                       R"(", "props": {"DEVICEDESC": "xHCI"}}, "root_hub": {"name": "RH)" + std::to_string(c) +
                       R"(", "ports": 7, "node": {"id": "USB\\ROOT_HUB30\\)" + std::to_string(c) +
                       R"("}, "devices": [)" + b.ports(0) + "]}}";
    }
    return R"({"controllers": [)" + controllers + "]}";
}

// --- counting and recording the requests -------------------------------------------------------------

struct Open { std::u16string path; uint32_t access, share; platform::Handle recorded; };
struct Control { platform::Handle recorded; uint32_t code; std::vector<uint8_t> input; uint32_t output_size; };
struct Close { platform::Handle recorded; };
struct Tree { int op; platform::DevNode node; uint32_t arg; uint32_t size; };
using Call = std::variant<Open, Control, Close, Tree>;

class CountingDevices : public platform::Devices {
public:
    explicit CountingDevices(platform::Devices& inner) : inner_(inner) {}
    platform::Error open(const std::u16string& path, uint32_t access, uint32_t share, uint32_t flags,
                         platform::Handle& device) override
    {
        ++requests;
        const platform::Error e = inner_.open(path, access, share, flags, device);
        if (recording) calls.push_back(Open{path, access, share, e == 0 ? device : 0});
        return e;
    }
    platform::Error control(platform::Handle device, uint32_t code, const void* input, uint32_t input_size,
                            void* output, uint32_t output_size, uint32_t& returned) override
    {
        ++requests;
        if (recording) {
            const auto* in = static_cast<const uint8_t*>(input);
            calls.push_back(Control{device, code, std::vector<uint8_t>(in, in + (in ? input_size : 0)), output_size});
        }
        return inner_.control(device, code, input, input_size, output, output_size, returned);
    }
    platform::Error close(platform::Handle device) override
    {
        ++requests;
        if (recording) calls.push_back(Close{device});
        return inner_.close(device);
    }
    uint64_t requests = 0;
    bool recording = false;
    std::vector<Call> calls;

private:
    platform::Devices& inner_;
};

class CountingTree : public platform::DeviceTree {
public:
    CountingTree(platform::DeviceTree& inner, std::vector<Call>& calls) : inner_(inner), calls_(calls) {}
    uint32_t locate_root(platform::DevNode& root) override { note(0, 0, 0, 0); return inner_.locate_root(root); }
    uint32_t child(platform::DevNode n, platform::DevNode& r) override { note(1, n, 0, 0); return inner_.child(n, r); }
    uint32_t sibling(platform::DevNode n, platform::DevNode& r) override { note(2, n, 0, 0); return inner_.sibling(n, r); }
    uint32_t parent(platform::DevNode n, platform::DevNode& r) override { note(3, n, 0, 0); return inner_.parent(n, r); }
    uint32_t device_id_size(platform::DevNode n, uint32_t& l) override { note(4, n, 0, 0); return inner_.device_id_size(n, l); }
    uint32_t device_id(platform::DevNode n, uint32_t b, std::u16string& id) override
    {
        note(5, n, b, 0);
        return inner_.device_id(n, b, id);
    }
    uint32_t registry_property(platform::DevNode n, uint32_t p, uint32_t& t, std::span<uint8_t> b, uint32_t& l) override
    {
        note(6, n, p, uint32_t(b.size()));
        return inner_.registry_property(n, p, t, b, l);
    }
    // The interface enumeration is a handful of calls per list; it is counted, not replayed.
    platform::Error get_class_devs(const platform::Guid& g, uint32_t f, platform::Handle& s) override
    {
        ++requests;
        return inner_.get_class_devs(g, f, s);
    }
    platform::Error enum_device_info(platform::Handle s, uint32_t i, platform::DeviceInfo& d) override
    {
        ++requests;
        return inner_.enum_device_info(s, i, d);
    }
    platform::Error enum_device_interfaces(platform::Handle s, const platform::Guid& g, uint32_t i,
                                           platform::DeviceInterface& d) override
    {
        ++requests;
        return inner_.enum_device_interfaces(s, g, i, d);
    }
    platform::Error interface_detail(platform::Handle s, const platform::DeviceInterface& d, uint32_t b, uint32_t& r,
                                     std::u16string& p) override
    {
        ++requests;
        return inner_.interface_detail(s, d, b, r, p);
    }
    platform::Error destroy_info_list(platform::Handle s) override
    {
        ++requests;
        return inner_.destroy_info_list(s);
    }
    uint64_t requests = 0;
    bool recording = false;

private:
    void note(int op, platform::DevNode n, uint32_t a, uint32_t s)
    {
        ++requests;
        if (recording) calls_.push_back(Tree{op, n, a, s});
    }
    platform::DeviceTree& inner_;
    std::vector<Call>& calls_;
};

struct Machine {
    explicit Machine(int count)
        : path(std::filesystem::temp_directory_path() / ("zelmusb-bench-" + std::to_string(count) + ".json")),
          engine((std::ofstream(path, std::ios::binary | std::ios::trunc) << machine_json(count),
                  std::make_unique<platform::model::PathStore>(path))),
          devices(engine), tree(engine), counting_devices(devices), counting_tree(tree, counting_devices.calls),
          o1(&platform::Platform::devices, counting_devices), o2(&platform::Platform::devicetree, counting_tree)
    {
    }
    ~Machine() { std::filesystem::remove(path); }
    uint64_t requests() const { return counting_devices.requests + counting_tree.requests; }
    void record(bool on)
    {
        counting_devices.recording = on;
        counting_tree.recording = on;
    }

    std::filesystem::path path;
    platform::model::Engine engine;
    platform::model::ModelDevices devices;
    platform::model::ModelDeviceTree tree;
    CountingDevices counting_devices;
    CountingTree counting_tree;
    platform::Override<platform::Devices> o1;
    platform::Override<platform::DeviceTree> o2;
};

using bench_inventory::listed;

void BM_DeviceList(benchmark::State& state)
{
    Machine m(int(state.range(0)));
    std::u16string text, error;
    uint64_t requests = 0, lists = 0;
    for (auto _ : state) {
        const uint64_t before = m.requests();
        if (Manager::GetCurrentUSBDevicesJSONListText(100, text, error) != 0) state.SkipWithError("list failed");
        requests += m.requests() - before;
        ++lists;
    }
    const int devices = listed(text);
    state.counters["devices"] = devices;
    state.counters["requests"] = double(requests) / double(lists);
    state.counters["requests/device"] = double(requests) / double(lists) / std::max(devices, 1);
}

// The same platform requests one list makes, replayed without the inventory around them.
void BM_PlatformRequestsAlone(benchmark::State& state)
{
    Machine m(int(state.range(0)));
    std::u16string text, error;
    m.record(true);
    Manager::GetCurrentUSBDevicesJSONListText(100, text, error);
    m.record(false);
    const std::vector<Call> calls = m.counting_devices.calls;
    auto& devices = m.devices;
    auto& tree = m.tree;
    std::vector<uint8_t> output;
    std::map<platform::Handle, platform::Handle> handles;
    for (auto _ : state) {
        handles.clear();
        for (const Call& call : calls) {
            if (const auto* o = std::get_if<Open>(&call)) {
                platform::Handle h = 0;
                if (devices.open(o->path, o->access, o->share, 0, h) == 0) handles[o->recorded] = h;
            } else if (const auto* c = std::get_if<Control>(&call)) {
                output.assign(c->output_size, 0);
                uint32_t returned = 0;
                devices.control(handles[c->recorded], c->code, c->input.empty() ? nullptr : c->input.data(),
                                uint32_t(c->input.size()), output.data(), c->output_size, returned);
            } else if (const auto* k = std::get_if<Close>(&call)) {
                devices.close(handles[k->recorded]);
            } else if (const auto* t = std::get_if<Tree>(&call)) {
                platform::DevNode r = 0;
                uint32_t l = 0, type = 0;
                std::u16string id;
                switch (t->op) {
                case 0: tree.locate_root(r); break;
                case 1: tree.child(t->node, r); break;
                case 2: tree.sibling(t->node, r); break;
                case 3: tree.parent(t->node, r); break;
                case 4: tree.device_id_size(t->node, l); break;
                case 5: tree.device_id(t->node, t->arg, id); break;
                default:
                    output.assign(t->size, 0);
                    l = t->size;
                    tree.registry_property(t->node, t->arg, type, output, l);
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.counters["requests"] = double(calls.size());
}

BENCHMARK(BM_DeviceList)->Arg(16)->Arg(32)->Arg(64)->Arg(127)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlatformRequestsAlone)->Arg(16)->Arg(32)->Arg(64)->Arg(127)->Unit(benchmark::kMillisecond);

} // namespace

// main() is the sysfs rows' (inventory_sysfs_bench.cpp on Linux).
#ifdef _WIN32
BENCHMARK_MAIN();
#endif
