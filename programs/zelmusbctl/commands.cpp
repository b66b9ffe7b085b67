// zelmusbctl's dispatch, its help, and the commands about the settings and the running system:
// check, status, reload.
#include <cstdio>
#include <map>

#include "ctl.h"
#include "driver_client.h"
#include "app/app.h"
#include "host/commp.h"
#include "host/files.h"
#include "json/hostjson/json_node.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/system.h"
#include "settings_check.h"
#include "text/text.h"

namespace ctl {

namespace {

struct Help {
    const char* usage;
    const char* text;
};

const std::map<std::string, Help> helps = {
    {"status",
     {"status", "Whether the machine is protected, and why not: the settings, the /start instance, the driver."}},
    {"list", {"list [--json]", "One line per USB device present: port, vendor:product, names, serial, class, state."}},
    {"why", {"why <device>", "What decides a device: its state, and what the current settings decide for it now."}},
    {"allow",
     {"allow <device> [--permanent [--port-bound|--model-wide]]",
      "Admits a present device now, through the driver; --permanent also adds a rule for it."}},
    {"block",
     {"block <device> [--permanent [--port-bound|--model-wide]]",
      "Refuses a present device now, through the driver; --permanent also adds a rule for it."}},
    {"reload", {"reload", "Has the running zelmarusb /start read its settings again; prints what changed."}},
    {"check", {"check [settings file]", "Reports every mistake in the settings and rule lists; exit 1 on any."}},
    {"generate", {"generate [--write]", "Rules from the devices present; --write merges them into the settings file."}},
    {"watch",
     {"watch [--ask] [<trace file> | -]",
      "One line per verdict as it happens, from the program's trace (or standard input); --ask answers "
      "the program's questions to the user here."}},
};

void print_help()
{
    say(u"usage: zelmusbctl <command> [arguments]   (zelmusbctl <command> --help for one command)");
    say(u"");
    for (const auto& [name, help] : helps) {
        std::string line = "  " + std::string(help.usage);
        if (line.size() < 40) line.resize(40, ' ');
        say(line + " " + help.text);
    }
    say(u"");
    say(u"A device is named by its port (sysfs name, \"1-2.3\"), vendor:product (\"0781:5567\") or serial number.");
    say(u"Exit codes: 0 done, 1 failed, 2 usage.");
}

// The settings in effect in the running instance (its answer to "usb_state"), or empty.
std::u16string ask_running(const std::u16string& question)
{
    class_commp commp(2000, 2000);
    return commp.AskProcess(u"zelmarusb", question, u"default", 5000);
}

} // namespace

void say(std::u16string_view line)
{
    say(std::string_view(text::to_utf8(line)));
}

void say(std::string_view line)
{
    // One write per line: watch --ask says things from two threads.
    const std::string whole = std::string(line) + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

int fail(std::u16string_view what)
{
    const std::string line = "zelmusbctl: " + text::to_utf8(what) + "\n";
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
    return exit_failed;
}

bool privileged(const char* command)
{
    if (platform::processes().current_privileged()) return true;
    fail(u"" + text::from_utf8(command) + u": only root may change the protection (run it with sudo)");
    return false;
}

int usage(const char* command)
{
    const auto it = helps.find(command);
    const std::string line = "usage: zelmusbctl " + std::string(it == helps.end() ? command : it->second.usage) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return exit_usage;
}

bool split_options(const char* command, const Args& args, const std::vector<std::string>& known, Args& options,
                   Args& rest)
{
    for (const std::string& a : args) {
        if (a.rfind("--", 0) != 0) {
            rest.push_back(a);
            continue;
        }
        bool ok = false;
        for (const std::string& k : known) ok = ok || a == k;
        if (!ok) {
            fail(text::from_utf8(std::string(command) + ": unknown option " + a));
            usage(command);
            return false;
        }
        options.push_back(a);
    }
    return true;
}

bool has(const Args& options, const char* option)
{
    for (const std::string& o : options)
        if (o == option) return true;
    return false;
}

int check_command(const Args& args)
{
    Args options, rest;
    if (!split_options("check", args, {}, options, rest)) return exit_usage;
    if (rest.size() > 1) return usage("check");
    const SettingsCheck c = check_settings(rest.empty() ? u"" : text::from_utf8(rest[0]), rest.empty());
    for (const std::u16string& m : c.mistakes) say(m);
    if (c.source.empty()) return fail(u"check: no settings to read");
    if (!c.mistakes.empty())
        return fail(text::format(u"check: %u mistake%s in %s and the rule lists", unsigned(c.mistakes.size()),
                                 c.mistakes.size() == 1 ? u"" : u"s", c.source));
    say(text::format(u"%s: no mistakes (active %i, action %i, %u rules)", c.source, int32_t(c.settings.active),
                     c.settings.action, unsigned(c.rules)));
    if (!c.settings.active) say(u"note: protection is off: " + c.off);
    return exit_done;
}

int status_command(const Args& args)
{
    Args options, rest;
    if (!split_options("status", args, {}, options, rest)) return exit_usage;
    if (!rest.empty()) return usage("status");
    std::vector<std::u16string> off;

    const SettingsCheck c = check_settings(u"", true);
    if (!c.settings.active) off.push_back(u"the policy is off: " + c.off);
    const bool running = MutexPresent(run_mutex);
    if (!running) off.push_back(u"zelmarusb /start is not running");

    driver_client::DriverClient client;
    driver_client::DriverState state;
    driver_client::SeenDevices seen;
    platform::Error e = client.open();
    if (!e) e = client.state(state);
    const bool driver = e == 0;
    if (!driver)
        off.push_back(e == 2 || e == 3 ? u"the driver is not running (\\\\.\\ZelmUsb does not exist)"
                                       : text::format(u"the driver cannot be asked (\\\\.\\ZelmUsb: error %u%s)",
                                                      unsigned(e), e == 5 || e == 6 ? u"; only root may ask it" : u""));
    const bool listed = driver && client.devices(seen) == 0;
    if (driver && !state.registered) off.push_back(u"no program is registered with the driver");
    if (driver && !state.filter) off.push_back(u"the driver's filter is off (\"filter\": false in its configuration)");
    if (listed && seen.holding && seen.hubs_held == 0) off.push_back(u"the driver holds no hub");

    say(off.empty() ? u"protection: on" : u"protection: OFF");
    if (!platform::processes().current_privileged())
        say(u"  note: not run as root: the service's settings and its driver may be unreadable to you");
    for (const std::u16string& why : off) say(u"  why: " + why);
    say(u"settings: " + (c.source.empty() ? std::u16string(u"none") : c.source) +
        text::format(u" (active %i, action %i, %u rules, %u mistakes: zelmusbctl check)", int32_t(c.settings.active),
                     c.settings.action, unsigned(c.rules), unsigned(c.mistakes.size())));
    say(running ? u"program: zelmarusb /start is running" : u"program: not running");
    if (driver) {
        say(text::format(u"driver: running, %s, %u questions pending",
                         state.registered ? u"a program is registered" : u"no program registered",
                         unsigned(state.pending)));
        if (listed && seen.holding) {
            unsigned asked = 0, waiting = 0;
            for (const driver_client::SeenDevice& d : seen.devices) {
                if (d.held == ZD_HELD_ASKED) ++asked;
                if (d.held != ZD_HELD_NONE && d.held != ZD_HELD_ASKED) ++waiting;
            }
            say(text::format(u"hubs held: %u", unsigned(seen.hubs_held)));
            say(text::format(u"devices waiting: %u for a verdict, %u for the program or for room", asked, waiting));
        }
    } else {
        say(u"driver: not reachable");
    }
    return off.empty() ? exit_done : exit_failed;
}

int reload_command(const Args& args)
{
    Args options, rest;
    if (!split_options("reload", args, {}, options, rest)) return exit_usage;
    if (!rest.empty()) return usage("reload");
    if (!privileged("reload")) return exit_failed;
    const std::u16string before = ask_running(u"usb_state");
    if (before.empty()) return fail(u"reload: zelmarusb /start is not running (or does not answer)");
    if (ask_running(u"cfg") != u"1") return fail(u"reload: the running zelmarusb did not take \"cfg\"");
    const std::u16string after = ask_running(u"usb_state");
    CJsonNode a, b;
    a.LoadText(before);
    b.LoadText(after);
    bool changed = false;
    for (auto& [key, value] : b.children) {
        const int32_t was = a.Member(std::u16string(std::u16string_view(key)))->intValue;
        if (was == value->intValue) continue;
        changed = true;
        say(text::format(u"%s: %i -> %i", std::u16string_view(key), was, value->intValue));
    }
    if (!changed) say(u"reloaded; nothing changed");
    const SettingsCheck c = check_settings(u"", true);
    if (!c.mistakes.empty())
        say(text::format(u"warning: %u mistakes in the settings (zelmusbctl check)", unsigned(c.mistakes.size())));
    return exit_done;
}

int ctl_main(const Args& all)
{
    if (all.empty()) {
        print_help();
        return exit_usage;
    }
    const std::string command = all[0];
    if (command == "--help" || command == "-h" || command == "help") {
        print_help();
        return exit_done;
    }
    const Args args(all.begin() + 1, all.end());
    if (helps.find(command) == helps.end()) {
        fail(text::from_utf8("unknown command " + command));
        print_help();
        return exit_usage;
    }
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") {
            say(std::string("usage: zelmusbctl ") + helps.at(command).usage);
            say(std::string("  ") + helps.at(command).text);
            return exit_done;
        }
    if (command == "check") return check_command(args);
    if (command == "status") return status_command(args);
    if (command == "reload") return reload_command(args);
    if (command == "list") return list_command(args);
    if (command == "why") return why_command(args);
    if (command == "generate") return generate_command(args);
    if (command == "allow") return admit_command(args, true);
    if (command == "block") return admit_command(args, false);
    return watch_command(args);
}

} // namespace ctl
