#include "devices.h"

#include "driver_client.h"
#include "app/driver_run.h"
#include "host/files.h"
#include "host/paths.h"
#include "json/hostjson/json_node.h"
#include "policy/identity.h"
#include "text/text.h"

namespace ctl {

namespace {

CJsonNode* find_member(CJsonNode& node, const char16_t* key)
{
    auto it = node.children.find(key);
    return it == node.children.end() ? nullptr : it->second;
}

uint16_t number_of(CJsonNode* node, const char16_t* key)
{
    CJsonNode* n = node ? find_member(*node, key) : nullptr;
    return n && n->kind == JSON_INT ? uint16_t(n->intValue) : 0;
}

std::u16string hex4(uint16_t v)
{
    return text::format(u"%.4x", unsigned(v));
}

} // namespace

Machine read_machine()
{
    Machine m;
    create_facade();
    std::u16string list;
    if (!read_present_devices(list)) m.list_error = u"the USB devices cannot be listed";
    CJsonNode doc;
    // The library writes large numbers with an exponent; they must not end the reading.
    doc.fractionalNumbers = 1;
    doc.LoadText(u"{\"DEVS\":" + list + u"}");
    const std::u16string accept = get_path(u"accept");
    if (CJsonNode* devs = find_member(doc, u"DEVS"))
        for (auto& [key, entry] : devs->children) {
            Device d;
            d.document = entry->ToText(0);
            CJsonNode identity;
            d.checksum = build_device_identity(d.document, identity, d.identity);
            CJsonNode* descriptor = find_member(*entry, u"DeviceDescriptor");
            d.vid = number_of(descriptor, u"idVendor");
            d.pid = number_of(descriptor, u"idProduct");
            if (CJsonNode* property = find_member(*entry, u"DeviceProperty")) {
                const std::u16string pdo = property->Member(u"PhysicalDeviceObjectName")->AsString();
                const std::u16string prefix = u"\\Device\\USBPDO-";
                d.port = pdo.rfind(prefix, 0) == 0 ? pdo.substr(prefix.size()) : pdo;
            }
            if (CJsonNode* letters = find_member(*entry, u"DriveLetters")) d.drives = letters->AsString();
            if (CJsonNode* hub = find_member(*entry, u"IsHub"))
                d.hub = hub->kind == JSON_BOOL ? hub->boolValue : hub->intValue != 0;
            CByteBuffer unused;
            d.recorded = !d.checksum.empty() && ReadWholeFile(joined(accept, d.checksum + u".json"), unused, 1u << 20);
            m.devices.push_back(std::move(d));
        }

    driver_client::DriverClient client;
    driver_client::SeenDevices seen;
    platform::Error e = client.open();
    if (!e) e = client.devices(seen);
    if (e) {
        m.driver_error = e == 5 ? u"the driver answers only root (error 5)"
                                : text::format(u"the driver cannot be asked (\\\\.\\ZelmUsb: error %u)", unsigned(e));
        return m;
    }
    m.holding = seen.holding;
    m.hubs_held = seen.hubs_held;
    for (Device& d : m.devices)
        for (const driver_client::SeenDevice& s : seen.devices)
            if (text::from_utf8(s.name) == d.port) {
                d.known = true;
                d.authorized = s.authorized;
                d.held = s.held;
                d.decided = s.decided;
                d.request_id = s.request_id;
            }
    return m;
}

const char* state_word(const Device& d)
{
    if (!d.known) return "unknown";
    switch (d.held) {
    case ZD_HELD_ASKED: return "asked";
    case ZD_HELD_NO_REGISTRATION:
    case ZD_HELD_NO_ROOM:
    case ZD_HELD_READING: return "held";
    default: break;
    }
    if (d.authorized == 0) return "blocked";
    if (d.authorized == 1) return d.decided != ZD_DECIDED_NONE || d.recorded ? "allowed" : "undecided";
    return "unknown";
}

std::u16string state_text(const Device& d)
{
    if (!d.known) return u"unknown (the driver was not asked)";
    switch (d.held) {
    case ZD_HELD_ASKED: return u"waiting for a verdict";
    case ZD_HELD_NO_REGISTRATION: return u"held: no program registered";
    case ZD_HELD_NO_ROOM: return u"held: waiting for room";
    case ZD_HELD_READING: return u"held: its files are being read";
    default: break;
    }
    const std::u16string by = d.decided == ZD_DECIDED_ADMIN     ? u" by the administrator"
                              : d.decided == ZD_DECIDED_VERDICT ? u" by its verdict"
                                                                : u"";
    if (d.authorized == 0) return u"blocked" + by;
    if (d.authorized == 1)
        return d.decided != ZD_DECIDED_NONE || d.recorded ? u"allowed" + by
                                                          : u"not decided (present before protection)";
    return u"unknown (authorized cannot be read)";
}

std::vector<const Device*> find_devices(const Machine& m, const std::string& name)
{
    const std::u16string n = text::from_utf8(name);
    const std::u16string lower = text::to_lower(n);
    std::vector<const Device*> found;
    for (const Device& d : m.devices)
        if (d.port == n) return {&d};
    for (const Device& d : m.devices)
        if (hex4(d.vid) + u":" + hex4(d.pid) == lower || (!d.identity.numer.empty() && d.identity.numer == n))
            found.push_back(&d);
    return found;
}

std::u16string device_line(const Device& d)
{
    return d.port + u" " + hex4(d.vid) + u":" + hex4(d.pid) + u" \"" + d.identity.producent + u"\" \"" +
           d.identity.produkt + u"\"" + (d.identity.numer.empty() ? u"" : u" serial \"" + d.identity.numer + u"\"");
}

} // namespace ctl
