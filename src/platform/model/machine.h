// The machine description as the model engine holds it: host controllers, hubs and their ports,
// the device tree with its registry properties, disks and volumes.
//
// `load_machine` builds it from the text of a machine file (the format of <root>/machine.json)
// and checks it whole: a file that is not JSON, has a member of the wrong kind, repeats a hub name
// (which would let a walk of the hubs go round in a loop), a controller index or a drive letter,
// or nests hubs deeper than USB allows is refused with a message naming the place; nothing of it
// is answered. A port whose status is 0 (no device connected) describes a device that is not
// plugged in: it is left out entirely, nodes, disks, volumes and hub (ports.h plugs it). Device
// nodes are numbered in pre-order from 1 (the root), so that walking the tree
// with child/sibling/parent visits them in number order; every relative is an index, so each
// step of a walk costs O(1).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/devicetree.h"

namespace platform::model {

using Bytes = std::vector<uint8_t>;

// Registry value types of device-node properties.
namespace reg {
constexpr uint32_t sz = 1;
constexpr uint32_t binary = 3;
constexpr uint32_t dword = 4;
constexpr uint32_t multi_sz = 7;
} // namespace reg

// Hubs nest at most this many tiers, the root hub the first; a deeper description is refused.
// (USB itself has six tiers of hubs, the seventh for devices only: the model is one tier lenient.)
constexpr int max_hub_tiers = 7;

struct Property {
    uint32_t type = reg::sz;
    Bytes data;
};

struct Node {
    std::u16string id;
    std::map<uint32_t, Property> props; // by CM_DRP number
    DevNode parent = 0;
    DevNode child = 0;   // first child
    DevNode sibling = 0; // next sibling
    int disk = -1;       // index into Machine::disks
};

// One answer to a string descriptor request.
struct StringAnswer {
    enum class Kind { text, fail, raw } kind = Kind::fail;
    std::u16string text;
    uint32_t error = 31;
    Bytes raw;
};

struct StringEntry {
    bool per_language = false;
    StringAnswer all;                        // when not per language
    std::map<uint16_t, StringAnswer> by_language;
};

namespace fault {
constexpr uint32_t driver_key_fails = 1;
constexpr uint32_t connection_name_fails = 2;
constexpr uint32_t node_info_fails = 4;
constexpr uint32_t pipes_grow = 8;
} // namespace fault

struct Port {
    uint32_t number = 0;
    uint32_t status = 1;
    uint32_t speed = 2;
    uint32_t address = 0;
    uint32_t configuration = 1;
    Bytes device;                 // 18 bytes
    std::vector<Bytes> configs;
    std::map<uint32_t, StringEntry> strings;
    std::optional<std::vector<Bytes>> pipes; // endpoint descriptors, when given
    DevNode node = 0;
    int hub = -1;                 // index into Machine::hubs when the device is a hub
    uint32_t faults = 0;
};

struct Hub {
    std::u16string name;
    uint32_t port_count = 0;
    uint32_t node_type = 0;
    DevNode node = 0;
    std::vector<Port> ports; // connected ports, in port order
    int tier = 1;            // 1 for a root hub
    uint32_t faults = 0;     // those of the port the hub is plugged into

    // The port with that number, or null (an empty port).
    const Port* port(uint32_t number) const;
};

struct Controller {
    uint32_t index = 0;
    DevNode node = 0;
    int root_hub = -1;
};

struct Volume {
    char16_t letter = 0;          // upper case
    uint32_t partition = 1;
    uint32_t drive_type = 2;      // GetDriveTypeW's answer
    uint32_t lock_failures = 0;
    bool lock_never = false;      // "always"
    bool ejected = false;
    int disk = -1;
    // Where the volume's object and its "ejected" value are in the file, for marking it.
    size_t object_end = 0;        // the offset just past its closing brace
    size_t ejected_begin = 0, ejected_end = 0; // 0, 0 when the member is not there
};

struct Disk {
    uint32_t number = 0;
    bool cdrom = false;
    DevNode node = 0;
    std::vector<int> volumes;
    std::u16string interface_path; // \\?\... of its disk or CD-ROM interface
};

struct Machine {
    std::vector<Node> nodes; // [0] unused; [1] the root
    std::map<uint32_t, Controller> controllers;
    std::vector<Hub> hubs;
    std::vector<Disk> disks; // in node order
    std::vector<Volume> volumes;
    std::optional<int64_t> booted_at; // Unix milliseconds

    std::unordered_map<std::u16string, int> hub_by_name; // lower-cased name
    std::unordered_map<std::u16string, int> disk_by_path; // lower-cased interface path

    bool valid(DevNode n) const { return n >= 1 && n < nodes.size(); }
    // The volume of a drive letter that is not ejected, or null.
    const Volume* volume(char16_t letter) const;
};

// The interface classes of disks and CD-ROM drives.
extern const Guid disk_interface;
extern const Guid cdrom_interface;

// Builds the machine from a machine file's text; false with `error` saying what and where.
bool load_machine(std::string_view text, Machine& out, std::string& error);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, any case) as a GUID.
bool parse_guid(std::u16string_view text, Guid& out);
// Lower-case "{...}" form.
std::u16string guid_text(const Guid& g);

} // namespace platform::model
