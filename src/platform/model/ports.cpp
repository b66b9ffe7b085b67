#include "platform/model/ports.h"

#include "platform/model/json_text.h"
#include "platform/model/machine.h"

namespace platform::model {

namespace {

// A decimal number of at most `digits` digits at the start of `text`, consumed.
bool take_number(std::string_view& text, uint32_t& out, size_t digits)
{
    size_t n = 0;
    uint32_t v = 0;
    while (n < text.size() && n < digits && text[n] >= '0' && text[n] <= '9') v = v * 10 + uint32_t(text[n++] - '0');
    if (n == 0 || (n < text.size() && text[n] >= '0' && text[n] <= '9')) return false;
    text.remove_prefix(n);
    out = v;
    return true;
}

bool is_whole(const json::Value* v, uint32_t wanted)
{
    return v && v->is_number() && v->number == double(wanted);
}

// The status of a port object as the model reads it: absent or null is 1.
bool connected_status(const json::Value& port)
{
    const json::Value* s = port.find("status");
    return !s || s->is_null() || !s->is_number() || s->number != 0;
}

} // namespace

std::optional<PortPath> parse_port_path(std::string_view text)
{
    PortPath path;
    if (!take_number(text, path.controller, 9) || text.empty() || text.front() != '-') return std::nullopt;
    text.remove_prefix(1);
    for (;;) {
        uint32_t port = 0;
        if (!take_number(text, port, 3) || port < 1 || port > 255) return std::nullopt;
        path.ports.push_back(port);
        if (text.empty()) break;
        if (text.front() != '.' || path.ports.size() == size_t(max_hub_tiers)) return std::nullopt;
        text.remove_prefix(1);
    }
    return path;
}

std::string port_path_text(const PortPath& path)
{
    std::string s = std::to_string(path.controller) + "-";
    for (size_t i = 0; i < path.ports.size(); ++i) {
        if (i) s += '.';
        s += std::to_string(path.ports[i]);
    }
    return s;
}

Error set_port_status(std::string_view text, const PortPath& path, bool connected, std::string& edited,
                      std::string& message)
{
    json::Value doc;
    std::string error;
    Machine check;
    // The file as it is must be usable: an edit must not turn a broken file into a different one.
    if (!json::parse(text, doc, error) || !load_machine(text, check, error)) {
        message = "the machine file is not usable: " + error;
        return err::invalid_data;
    }
    const json::Value* hub = nullptr;
    if (const json::Value* cs = doc.find("controllers"); cs && cs->is_array())
        for (const json::Value& c : cs->items)
            if (is_whole(c.find("index"), path.controller)) hub = c.find("root_hub");
    if (!hub || !hub->is_object()) {
        message = "the machine has no controller " + std::to_string(path.controller) + " with a root hub";
        return port_not_found;
    }
    const json::Value* port = nullptr;
    for (size_t depth = 0; depth < path.ports.size(); ++depth) {
        const PortPath here{path.controller, {path.ports.begin(), path.ports.begin() + long(depth) + 1}};
        if (depth > 0) {
            // The device above must be a connected hub for this port to exist.
            hub = port->find("hub");
            const PortPath above{path.controller, {path.ports.begin(), path.ports.begin() + long(depth)}};
            if (!hub || !hub->is_object()) {
                message = "the device at " + port_path_text(above) + " is not a hub";
                return port_not_found;
            }
            if (!connected_status(*port)) {
                message = "the hub at " + port_path_text(above) + " is not connected";
                return port_not_connected;
            }
        }
        port = nullptr;
        if (const json::Value* ds = hub->find("devices"); ds && ds->is_array())
            for (const json::Value& p : ds->items)
                if (is_whole(p.find("port"), path.ports[depth])) port = &p;
        if (!port) {
            message = "no device is described at port " + port_path_text(here);
            return port_not_found;
        }
    }
    const bool now = connected_status(*port);
    if (now == connected) {
        message = "the device at " + port_path_text(path) + (connected ? " is connected already" : " is not connected");
        return connected ? port_already_connected : port_not_connected;
    }
    const std::string value = connected ? "1" : "0";
    const json::Value* status = port->find("status");
    if (status)
        edited = std::string(text.substr(0, status->begin)) + value + std::string(text.substr(status->end));
    else // a port object has at least its number, so the new member is followed by a comma
        edited = std::string(text.substr(0, port->begin + 1)) + "\"status\": " + value + ", " +
                 std::string(text.substr(port->begin + 1));
    if (!load_machine(edited, check, error)) {
        message = "the machine with the device at " + port_path_text(path) +
                  (connected ? " connected" : " disconnected") + " is not usable: " + error;
        edited.clear();
        return err::invalid_data;
    }
    return err::success;
}

} // namespace platform::model
