// zelmusb-notify: shows one desktop notification on the session bus it is given and reports what
// the user did with it, one word on standard output. The menu starts it as the session's user (never
// with root's rights in the session), so that the notification server sees an ordinary client of
// that user.
//
//   zelmusb-notify ask <summary> <body> <limit ms>     Allow and Block actions; waits at most the
//                                                      limit: "allow", "block", "closed", "timeout"
//   zelmusb-notify tell <summary> <body> <expire ms>   no actions, does not wait: "shown"
// Anything that fails prints "error <what>" and exits 1. The bus is DBUS_SESSION_BUS_ADDRESS.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* path = "/org/freedesktop/Notifications";
constexpr const char* interface = "org.freedesktop.Notifications";

struct Event {
    uint32_t id;
    std::string what; // an action's key, or "closed"
};
std::vector<Event> g_events;

int on_action(sd_bus_message* m, void*, sd_bus_error*)
{
    uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(m, "us", &id, &key) >= 0 && key) g_events.push_back({id, key});
    return 0;
}

int on_closed(sd_bus_message* m, void*, sd_bus_error*)
{
    uint32_t id = 0, reason = 0;
    if (sd_bus_message_read(m, "uu", &id, &reason) >= 0) g_events.push_back({id, "closed"});
    return 0;
}

uint64_t now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

int fail(const char* what, int r)
{
    std::printf("error %s: %s\n", what, std::strerror(r < 0 ? -r : r));
    std::fflush(stdout);
    return 1;
}

// The bus and its messages, released on every way out.
struct Held {
    sd_bus* bus = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Held()
    {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_flush_close_unref(bus);
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5 || (std::strcmp(argv[1], "ask") != 0 && std::strcmp(argv[1], "tell") != 0)) {
        std::fprintf(stderr, "usage: zelmusb-notify ask|tell <summary> <body> <limit ms>\n");
        return 2;
    }
    const bool ask = std::strcmp(argv[1], "ask") == 0;
    const long limit_ms = std::strtol(argv[4], nullptr, 10);
    if (limit_ms <= 0) return fail("limit", EINVAL);

    Held held;
    sd_bus*& bus = held.bus;
    int r = sd_bus_open_user(&bus);
    if (r < 0) return fail("session bus", r);
    if (ask) {
        // Subscribed before the notification exists: an answer cannot come before we listen.
        r = sd_bus_match_signal(bus, nullptr, nullptr, path, interface, "ActionInvoked", on_action, nullptr);
        if (r >= 0) r = sd_bus_match_signal(bus, nullptr, nullptr, path, interface, "NotificationClosed", on_closed, nullptr);
        if (r < 0) return fail("signals", r);
    }

    sd_bus_message*& call = held.call;
    r = sd_bus_message_new_method_call(bus, &call, service, path, interface, "Notify");
    if (r >= 0) r = sd_bus_message_append(call, "susss", "zelmarusb", uint32_t(0), "drive-removable-media", argv[2], argv[3]);
    if (r >= 0) {
        if (ask) r = sd_bus_message_append(call, "as", 4, "allow", "Allow", "block", "Block");
        else r = sd_bus_message_append(call, "as", 0);
    }
    // A question stays until it is answered (critical urgency: not expired by the server early).
    if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 1, "urgency", "y", uint8_t(ask ? 2 : 1));
    if (r >= 0) r = sd_bus_message_append(call, "i", int32_t(limit_ms));
    if (r < 0) return fail("message", r);
    sd_bus_error& error = held.error;
    sd_bus_message*& reply = held.reply;
    r = sd_bus_call(bus, call, 5 * 1000000ull, &error, &reply);
    if (r < 0) {
        std::printf("error Notify: %s\n", error.message ? error.message : std::strerror(-r));
        std::fflush(stdout);
        return 1;
    }
    uint32_t id = 0;
    r = sd_bus_message_read(reply, "u", &id);
    if (r < 0) return fail("Notify's reply", r);
    if (!ask) {
        std::printf("shown\n");
        std::fflush(stdout);
        return 0;
    }

    const uint64_t deadline = now_us() + uint64_t(limit_ms) * 1000u;
    std::string outcome;
    while (outcome.empty()) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) return fail("bus", r);
        for (const Event& e : g_events)
            if (e.id == id && outcome.empty()) outcome = e.what == "allow" ? "allow" : e.what == "closed" ? "closed" : "block";
        if (!outcome.empty() || r > 0) continue;
        const uint64_t now = now_us();
        if (now >= deadline) {
            outcome = "timeout";
            break;
        }
        r = sd_bus_wait(bus, deadline - now);
        if (r < 0) return fail("bus", r);
    }
    if (outcome == "timeout" || outcome == "allow" || outcome == "block")
        // The question is over: it must not stay on the screen to be answered in vain.
        sd_bus_call_method(bus, service, path, interface, "CloseNotification", nullptr, nullptr, "u", id);
    std::printf("%s\n", outcome.c_str());
    std::fflush(stdout);
    return 0;
}
