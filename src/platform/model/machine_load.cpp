// Building the machine from the text of a machine file.
#include <algorithm>
#include <cmath>
#include <set>
#include <unordered_set>

#include "platform/model/json_text.h"
#include "platform/model/machine.h"
#include "text/text.h"

namespace platform::model {

const Guid disk_interface{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const Guid cdrom_interface{0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

const Port* Hub::port(uint32_t number) const
{
    for (const Port& p : ports)
        if (p.number == number) return &p;
    return nullptr;
}

const Volume* Machine::volume(char16_t letter) const
{
    if (letter >= u'a' && letter <= u'z') letter = char16_t(letter - u'a' + u'A');
    for (const Volume& v : volumes)
        if (v.letter == letter && !v.ejected) return &v;
    return nullptr;
}

namespace {

int hex_value(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

} // namespace

bool parse_guid(std::u16string_view t, Guid& out)
{
    if (t.size() == 38 && t.front() == u'{' && t.back() == u'}') t = t.substr(1, 36);
    if (t.size() != 36) return false;
    uint8_t b[16];
    size_t k = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != u'-') return false;
            ++i;
            continue;
        }
        const int hi = hex_value(t[i]), lo = hex_value(t[i + 1]);
        if (hi < 0 || lo < 0) return false;
        b[k++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    out.data1 = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    out.data2 = uint16_t(b[4] << 8 | b[5]);
    out.data3 = uint16_t(b[6] << 8 | b[7]);
    std::copy(b + 8, b + 16, out.data4.begin());
    return true;
}

std::u16string guid_text(const Guid& g)
{
    std::u16string s = text::format(u"{%08x-%04x-%04x-", g.data1, g.data2, g.data3);
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2) s += u'-';
        s += text::format(u"%02x", g.data4[i]);
    }
    return s + u"}";
}

namespace {

using json::Value;

enum class PropKind { text, multi, dword, guid };
struct PropDef {
    const char* name;
    uint32_t number;
    PropKind kind;
};
constexpr PropDef prop_defs[] = {
    {"DEVICEDESC", 1, PropKind::text},
    {"HARDWAREID", 2, PropKind::multi},
    {"COMPATIBLEIDS", 3, PropKind::multi},
    {"SERVICE", 5, PropKind::text},
    {"CLASS", 8, PropKind::text},
    {"CLASSGUID", 9, PropKind::text},
    {"DRIVER", 10, PropKind::text},
    {"CONFIGFLAGS", 11, PropKind::dword},
    {"MFG", 12, PropKind::text},
    {"FRIENDLYNAME", 13, PropKind::text},
    {"LOCATION_INFORMATION", 14, PropKind::text},
    {"PHYSICAL_DEVICE_OBJECT_NAME", 15, PropKind::text},
    {"CAPABILITIES", 16, PropKind::dword},
    {"UI_NUMBER", 17, PropKind::dword},
    {"UPPERFILTERS", 18, PropKind::multi},
    {"LOWERFILTERS", 19, PropKind::multi},
    {"BUSTYPEGUID", 20, PropKind::guid},
    {"LEGACYBUSTYPE", 21, PropKind::dword},
    {"BUSNUMBER", 22, PropKind::dword},
    {"ENUMERATOR_NAME", 23, PropKind::text},
    {"ADDRESS", 29, PropKind::dword},
    {"REMOVAL_POLICY", 32, PropKind::dword},
    {"REMOVAL_POLICY_HW_DEFAULT", 33, PropKind::dword},
    {"REMOVAL_POLICY_OVERRIDE", 34, PropKind::dword},
    {"INSTALL_STATE", 35, PropKind::dword},
    {"LOCATION_PATHS", 36, PropKind::multi},
    {"BASE_CONTAINERID", 37, PropKind::text},
};
constexpr uint32_t drp_driver = devnode_property::driver;
constexpr uint32_t drp_pdo_name = devnode_property::physical_device_object_name;

const std::u16string usb_class_guid = u"{36fc9e60-c465-11cf-8056-444553540000}";

void append_utf16(Bytes& out, std::u16string_view s)
{
    for (char16_t c : s) {
        out.push_back(uint8_t(c & 0xFF));
        out.push_back(uint8_t(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

class Builder {
public:
    Builder(Machine& m, std::string& error) : m_(m), error_(error) {}

    bool build(const Value& doc)
    {
        if (!doc.is_object()) return fail("the machine is not a JSON object", doc);
        m_.nodes.assign(2, Node{});
        m_.nodes[1].id = u"HTREE\\ROOT\\0";
        last_child_.assign(2, 0);
        flags_.assign(2, 0);

        if (const Value* b = doc.find("booted_at"); b && !b->is_null()) {
            if (!b->is_number() || !std::isfinite(b->number) || std::fabs(b->number) > 1e16)
                return fail("booted_at is not a time in milliseconds", *b);
            m_.booted_at = int64_t(b->number);
        }

        if (const Value* cs = doc.find("controllers"); cs && !cs->is_null()) {
            if (!cs->is_array()) return fail("controllers is not an array", *cs);
            std::vector<std::pair<uint32_t, const Value*>> order;
            for (const Value& c : cs->items) {
                if (!c.is_object()) return fail("a controller is not an object", c);
                uint32_t index;
                if (!number(c, "index", index, 0, 0x7FFFFFFF, true)) return false;
                for (const auto& o : order)
                    if (o.first == index) return fail("controller index " + std::to_string(index) + " appears twice", c);
                order.emplace_back(index, &c);
            }
            std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            for (const auto& [index, c] : order)
                if (!controller(index, *c)) return false;
        }

        if (const Value* ns = doc.find("nodes"); ns && !ns->is_null()) {
            if (!ns->is_array()) return fail("nodes is not an array", *ns);
            for (const Value& n : ns->items)
                if (!node(n, 1)) return false;
        }
        return make_up_names();
    }

private:
    Machine& m_;
    std::string& error_;
    std::vector<DevNode> last_child_;
    std::vector<uint8_t> flags_; // per node: 1 DRIVER given (or null), 2 PDO name given (or null)

    bool fail(const std::string& what, const Value& where)
    {
        error_ = what + " (at byte " + std::to_string(where.begin) + ")";
        return false;
    }

    // An integer member in [lo, hi]; absent: `required` fails, otherwise `out` stays.
    bool number(const Value& obj, const char* name, uint32_t& out, double lo, double hi, bool required)
    {
        const Value* v = obj.find(name);
        if (!v || v->is_null()) {
            if (required) return fail(std::string("missing member ") + name, obj);
            return true;
        }
        if (!v->is_number() || v->number != std::floor(v->number) || v->number < lo || v->number > hi)
            return fail(std::string(name) + " is not a whole number from " + std::to_string(int64_t(lo)) +
                            " to " + std::to_string(int64_t(hi)),
                        *v);
        out = uint32_t(int64_t(v->number));
        return true;
    }

    bool hex(const Value& v, Bytes& out, const char* what)
    {
        if (!v.is_string()) return fail(std::string(what) + " is not a hexadecimal text", v);
        out.clear();
        int pending = -1;
        for (char16_t c : v.text) {
            if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') continue;
            const int d = hex_value(c);
            if (d < 0) return fail(std::string(what) + " holds a character that is not hexadecimal", v);
            if (pending < 0) {
                pending = d;
            } else {
                out.push_back(uint8_t(pending * 16 + d));
                pending = -1;
            }
        }
        if (pending >= 0) return fail(std::string(what) + " has an odd number of digits", v);
        return true;
    }

    DevNode new_node(DevNode parent)
    {
        const DevNode n = DevNode(m_.nodes.size());
        m_.nodes.emplace_back();
        last_child_.push_back(0);
        flags_.push_back(0);
        m_.nodes[n].parent = parent;
        if (parent) {
            if (last_child_[parent])
                m_.nodes[last_child_[parent]].sibling = n;
            else
                m_.nodes[parent].child = n;
            last_child_[parent] = n;
        }
        return n;
    }

    // A NODE and its subtree; `made` gets its number.
    bool node(const Value& v, DevNode parent, DevNode* made = nullptr)
    {
        if (!v.is_object()) return fail("a device node is not an object", v);
        const Value* id = v.find("id");
        if (!id || !id->is_string()) return fail("a device node has no id text", v);
        const DevNode n = new_node(parent);
        if (made) *made = n;
        m_.nodes[n].id = id->text;
        if (const Value* props = v.find("props"); props && !props->is_null()) {
            if (!props->is_object()) return fail("props is not an object", *props);
            for (size_t i = 0; i < props->names.size(); ++i)
                if (!property(n, props->names[i], props->items[i])) return false;
        }
        if (const Value* d = v.find("disk"); d && !d->is_null())
            if (!disk(n, *d)) return false;
        if (const Value* cs = v.find("children"); cs && !cs->is_null()) {
            if (!cs->is_array()) return fail("children is not an array", *cs);
            for (const Value& c : cs->items)
                if (!node(c, n)) return false;
        }
        return true;
    }

    bool property(DevNode n, const std::u16string& name, const Value& v)
    {
        const PropDef* def = nullptr;
        for (const PropDef& d : prop_defs)
            if (text::u16(d.name) == name) def = &d;
        if (!def) return true; // not a property this machine knows: ignored
        if (def->number == drp_driver) flags_[n] |= 1;
        if (def->number == drp_pdo_name) flags_[n] |= 2;
        if (v.is_null()) return true;
        Property p;
        const std::string what = text::to_utf8(name);
        if (v.is_object()) {
            const Value* h = v.find("hex");
            if (!h) return fail("property " + what + " is an object without hex", v);
            p.type = reg::binary;
            if (!hex(*h, p.data, what.c_str())) return false;
        } else if (v.is_string()) {
            if (def->kind == PropKind::guid) {
                Guid g;
                if (!parse_guid(v.text, g)) return fail("property " + what + " is not a GUID", v);
                p.type = reg::binary;
                for (int i = 0; i < 4; ++i) p.data.push_back(uint8_t(g.data1 >> (8 * i)));
                for (int i = 0; i < 2; ++i) p.data.push_back(uint8_t(g.data2 >> (8 * i)));
                for (int i = 0; i < 2; ++i) p.data.push_back(uint8_t(g.data3 >> (8 * i)));
                p.data.insert(p.data.end(), g.data4.begin(), g.data4.end());
            } else {
                p.type = reg::sz;
                append_utf16(p.data, v.text);
            }
        } else if (v.is_array()) {
            p.type = reg::multi_sz;
            for (const Value& item : v.items) {
                if (!item.is_string()) return fail("property " + what + " holds an item that is not a text", item);
                append_utf16(p.data, item.text);
            }
            p.data.push_back(0);
            p.data.push_back(0);
        } else if (v.is_number()) {
            if (v.number != std::floor(v.number) || v.number < -2147483648.0 || v.number > 4294967295.0)
                return fail("property " + what + " is not a 32-bit number", v);
            const uint32_t d = uint32_t(int64_t(v.number));
            p.type = reg::dword;
            for (int i = 0; i < 4; ++i) p.data.push_back(uint8_t(d >> (8 * i)));
        } else {
            return fail("property " + what + " has a value of the wrong kind", v);
        }
        m_.nodes[n].props[def->number] = std::move(p);
        return true;
    }

    bool disk(DevNode n, const Value& v)
    {
        if (!v.is_object()) return fail("disk is not an object", v);
        Disk d;
        d.node = n;
        if (!number(v, "number", d.number, 0, 0x7FFFFFFF, true)) return false;
        if (const Value* t = v.find("type"); t && t->is_string() && t->text == u"cdrom") d.cdrom = true;
        const Value* vols = v.find("volumes");
        if (vols && !vols->is_null() && !vols->is_array()) return fail("volumes is not an array", *vols);
        if (vols)
            for (const Value& vol : vols->items)
                if (const Value* t = vol.find("type"); t && t->is_string() && t->text == u"cdrom") d.cdrom = true;
        for (const Disk& other : m_.disks)
            if (other.number == d.number && other.cdrom == d.cdrom)
                return fail("disk number " + std::to_string(d.number) + " appears twice", v);
        const int disk_index = int(m_.disks.size());
        if (vols) {
            for (const Value& vol : vols->items) {
                Volume volume;
                if (!this->volume(vol, d.cdrom, volume)) return false;
                volume.disk = disk_index;
                d.volumes.push_back(int(m_.volumes.size()));
                m_.volumes.push_back(volume);
            }
        }
        std::u16string path = u"\\\\?\\";
        for (char16_t c : text::to_lower(m_.nodes[n].id)) path += c == u'\\' ? u'#' : c;
        path += u"#" + guid_text(d.cdrom ? cdrom_interface : disk_interface);
        if (m_.disk_by_path.count(path)) return fail("two disks under one device instance identifier", v);
        m_.disk_by_path[path] = disk_index;
        d.interface_path = path;
        m_.nodes[n].disk = disk_index;
        m_.disks.push_back(std::move(d));
        return true;
    }

    bool volume(const Value& v, bool cdrom, Volume& out)
    {
        if (!v.is_object()) return fail("a volume is not an object", v);
        const Value* letter = v.find("letter");
        if (!letter || !letter->is_string() || letter->text.size() != 1)
            return fail("a volume has no drive letter", v);
        char16_t c = letter->text[0];
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
        if (c < u'A' || c > u'Z') return fail("a drive letter is not a letter", *letter);
        out.letter = c;
        if (!number(v, "partition", out.partition, 0, 0xFFFFFFFF, false)) return false;
        out.drive_type = cdrom ? 5 : 2;
        if (const Value* t = v.find("type"); t && !t->is_null()) {
            if (t->text == u"removable" && t->is_string())
                out.drive_type = 2;
            else if (t->text == u"fixed" && t->is_string())
                out.drive_type = 3;
            else if (t->text == u"cdrom" && t->is_string())
                out.drive_type = 5;
            else
                return fail("a volume's type is not removable, fixed or cdrom", *t);
        }
        if (const Value* l = v.find("lock_failures"); l && !l->is_null()) {
            if (l->is_string() && l->text == u"always")
                out.lock_never = true;
            else if (!number(v, "lock_failures", out.lock_failures, 0, 1e9, false))
                return false;
        }
        if (const Value* e = v.find("ejected"); e && !e->is_null()) {
            if (!e->is_bool()) return fail("ejected is not true or false", *e);
            out.ejected = e->flag;
            out.ejected_begin = e->begin;
            out.ejected_end = e->end;
        }
        out.object_end = v.end;
        // An ejected volume gave its letter back: a drive plugged later may have it again.
        if (!out.ejected)
            for (const Volume& other : m_.volumes)
                if (other.letter == c && !other.ejected)
                    return fail("drive letter " + text::to_utf8(std::u16string(1, c)) + " appears twice", v);
        return true;
    }

    bool controller(uint32_t index, const Value& v)
    {
        Controller c;
        c.index = index;
        DevNode parent = 1;
        if (const Value* n = v.find("node"); n && !n->is_null()) {
            if (!node(*n, 1, &c.node)) return false;
            parent = c.node;
        }
        const Value* rh = v.find("root_hub");
        if (rh && !rh->is_null()) {
            if (!rh->is_object()) return fail("root_hub is not an object", *rh);
            DevNode hub_node = 0;
            if (const Value* n = rh->find("node"); n && !n->is_null())
                if (!node(*n, parent, &hub_node)) return false;
            if (!hub(*rh, hub_node, hub_node ? hub_node : parent, 1, c.root_hub)) return false;
        }
        m_.controllers[index] = c;
        return true;
    }

    // A hub whose device node is `hub_node` (0: none); its ports' nodes go below `parent`.
    bool hub(const Value& v, DevNode hub_node, DevNode parent, int tier, int& made)
    {
        if (tier > max_hub_tiers) return fail("hubs nested deeper than USB allows", v);
        const Value* name = v.find("name");
        if (!name || !name->is_string() || name->text.empty()) return fail("a hub has no name", v);
        const std::u16string key = text::to_lower(name->text);
        if (m_.hub_by_name.count(key))
            return fail("hub name " + text::to_utf8(name->text) + " appears twice (the hubs would form a loop)", *name);
        Hub h;
        h.name = name->text;
        h.node = hub_node;
        h.tier = tier;
        if (!number(v, "ports", h.port_count, 1, 255, true)) return false;
        if (!number(v, "node_type", h.node_type, 0, 1, false)) return false;
        made = int(m_.hubs.size());
        m_.hub_by_name[key] = made;
        m_.hubs.push_back(h);

        const Value* devices = v.find("devices");
        if (!devices || devices->is_null()) return true;
        if (!devices->is_array()) return fail("devices is not an array", *devices);
        std::vector<std::pair<uint32_t, const Value*>> order;
        for (const Value& p : devices->items) {
            if (!p.is_object()) return fail("a port is not an object", p);
            uint32_t number_ = 0;
            if (!number(p, "port", number_, 1, h.port_count, true)) return false;
            for (const auto& o : order)
                if (o.first == number_) return fail("port " + std::to_string(number_) + " appears twice", p);
            order.emplace_back(number_, &p);
        }
        std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [number_, p] : order) {
            // Status 0 (no device connected) keeps the description of a device that is unplugged
            // (usbsim plugs it): the port is empty, and nothing of the device is on the machine.
            uint32_t status = 1;
            if (!number(*p, "status", status, 0, 0xFFFFFFFF, false)) return false;
            if (status == 0) continue;
            Port port;
            if (!this->port(*p, number_, parent, tier, port)) return false;
            m_.hubs[size_t(made)].ports.push_back(std::move(port));
        }
        return true;
    }

    bool port(const Value& v, uint32_t number_, DevNode parent, int tier, Port& p)
    {
        p.number = number_;
        p.address = number_;
        if (!number(v, "status", p.status, 0, 0xFFFFFFFF, false)) return false;
        if (!number(v, "speed", p.speed, 0, 255, false)) return false;
        if (!number(v, "address", p.address, 0, 65535, false)) return false;
        if (!number(v, "configuration", p.configuration, 0, 255, false)) return false;
        p.device.assign(18, 0);
        if (const Value* d = v.find("device"); d && !d->is_null()) {
            if (!hex(*d, p.device, "device")) return false;
            if (p.device.size() != 18) return fail("a device descriptor is not 18 bytes", *d);
        }
        if (const Value* cs = v.find("configs"); cs && !cs->is_null()) {
            if (!cs->is_array()) return fail("configs is not an array", *cs);
            for (const Value& c : cs->items) {
                Bytes b;
                if (!hex(c, b, "configuration set")) return false;
                if (b.size() > 65535) return fail("a configuration set is longer than 65535 bytes", c);
                p.configs.push_back(std::move(b));
            }
        }
        if (const Value* ss = v.find("strings"); ss && !ss->is_null()) {
            if (!ss->is_object()) return fail("strings is not an object", *ss);
            for (size_t i = 0; i < ss->names.size(); ++i)
                if (!string_entry(ss->names[i], ss->items[i], p)) return false;
        }
        if (const Value* ps = v.find("pipes"); ps && !ps->is_null()) {
            if (!ps->is_array()) return fail("pipes is not an array", *ps);
            std::vector<Bytes> pipes;
            for (const Value& e : ps->items) {
                Bytes b;
                if (!hex(e, b, "pipe")) return false;
                if (b.size() != 7) return fail("a pipe's endpoint descriptor is not 7 bytes", e);
                pipes.push_back(std::move(b));
            }
            p.pipes = std::move(pipes);
        }
        if (const Value* fs = v.find("faults"); fs && !fs->is_null()) {
            if (!fs->is_array()) return fail("faults is not an array", *fs);
            for (const Value& f : fs->items) {
                if (f.is_string() && f.text == u"driver_key_fails")
                    p.faults |= fault::driver_key_fails;
                else if (f.is_string() && f.text == u"connection_name_fails")
                    p.faults |= fault::connection_name_fails;
                else if (f.is_string() && f.text == u"node_info_fails")
                    p.faults |= fault::node_info_fails;
                else if (f.is_string() && f.text == u"pipes_grow")
                    p.faults |= fault::pipes_grow;
                else
                    return fail("unknown fault", f);
            }
        }
        if (const Value* n = v.find("node"); n && !n->is_null())
            if (!node(*n, parent, &p.node)) return false;
        if (const Value* h = v.find("hub"); h && !h->is_null()) {
            if (!h->is_object()) return fail("hub is not an object", *h);
            // The hub's ports hang below the hub's device node (the port's node).
            if (!hub(*h, p.node, p.node ? p.node : parent, tier + 1, p.hub)) return false;
            m_.hubs[size_t(p.hub)].faults = p.faults;
        }
        return true;
    }

    bool answer(const Value& v, StringAnswer& a)
    {
        if (v.is_null()) {
            a.kind = StringAnswer::Kind::fail;
            a.error = 31;
            return true;
        }
        if (v.is_string()) {
            a.kind = StringAnswer::Kind::text;
            a.text = v.text;
            return true;
        }
        if (v.is_object()) {
            if (v.find("error")) {
                a.kind = StringAnswer::Kind::fail;
                return number(v, "error", a.error, 1, 0xFFFFFFFF, true);
            }
            if (const Value* raw = v.find("raw")) {
                a.kind = StringAnswer::Kind::raw;
                return hex(*raw, a.raw, "raw string descriptor");
            }
        }
        return fail("a string descriptor is not a text, null, error or raw", v);
    }

    bool string_entry(const std::u16string& key, const Value& v, Port& p)
    {
        uint32_t index = 0;
        if (key.empty() || key.size() > 3) return fail("a string index is not a number from 0 to 255", v);
        for (char16_t c : key) {
            if (c < u'0' || c > u'9') return fail("a string index is not a number from 0 to 255", v);
            index = index * 10 + uint32_t(c - u'0');
        }
        if (index > 255) return fail("a string index is not a number from 0 to 255", v);
        StringEntry e;
        if (v.is_object() && !v.find("error") && !v.find("raw")) {
            e.per_language = true;
            for (size_t i = 0; i < v.names.size(); ++i) {
                const std::u16string& lang = v.names[i];
                uint32_t id = 0;
                if (lang.empty() || lang.size() > 4) return fail("a language is not 1 to 4 hexadecimal digits", v.items[i]);
                for (char16_t c : lang) {
                    const int d = hex_value(c);
                    if (d < 0) return fail("a language is not 1 to 4 hexadecimal digits", v.items[i]);
                    id = id * 16 + uint32_t(d);
                }
                StringAnswer a;
                if (!answer(v.items[i], a)) return false;
                e.by_language[uint16_t(id)] = std::move(a);
            }
        } else if (!answer(v, e.all)) {
            return false;
        }
        p.strings[index] = std::move(e);
        return true;
    }

    // DRIVER and PHYSICAL_DEVICE_OBJECT_NAME of every node that was not given them, unique.
    bool make_up_names()
    {
        std::unordered_set<std::u16string> drivers, pdos;
        const auto text_of = [](const Property& p) {
            std::u16string s = text::from_utf16le(p.data);
            if (const size_t z = s.find(u'\0'); z != std::u16string::npos) s.resize(z);
            return text::to_lower(s);
        };
        for (const Node& n : m_.nodes) {
            if (auto it = n.props.find(drp_driver); it != n.props.end()) drivers.insert(text_of(it->second));
            if (auto it = n.props.find(drp_pdo_name); it != n.props.end()) pdos.insert(text_of(it->second));
        }
        uint32_t usb_pdo = 0, instance = 0, other_pdo = 0x20;
        for (DevNode n = 1; n < m_.nodes.size(); ++n) {
            Node& node = m_.nodes[n];
            if (!(flags_[n] & 1)) {
                std::u16string name;
                do {
                    name = usb_class_guid + text::format(u"\\%04u", instance++);
                } while (drivers.count(name));
                drivers.insert(name);
                Property p;
                append_utf16(p.data, name);
                node.props[drp_driver] = std::move(p);
            }
            if (!(flags_[n] & 2)) {
                const bool usb = node.id.size() >= 4 && text::to_lower(node.id.substr(0, 4)) == u"usb\\";
                std::u16string name;
                do {
                    name = usb ? text::format(u"\\Device\\USBPDO-%u", usb_pdo++)
                               : text::format(u"\\Device\\%08x", other_pdo++);
                } while (pdos.count(text::to_lower(name)));
                pdos.insert(text::to_lower(name));
                Property p;
                append_utf16(p.data, name);
                node.props[drp_pdo_name] = std::move(p);
            }
        }
        return true;
    }
};

} // namespace

bool load_machine(std::string_view text_, Machine& out, std::string& error)
{
    out = Machine{};
    json::Value doc;
    if (!json::parse(text_, doc, error)) return false;
    Machine m;
    Builder b(m, error);
    if (!b.build(doc)) return false;
    out = std::move(m);
    return true;
}

} // namespace platform::model
