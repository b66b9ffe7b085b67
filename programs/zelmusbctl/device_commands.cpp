// The commands about devices: list, why, generate, allow and block.
#include <algorithm>
#include <memory>
#include <mutex>

#include "ctl.h"
#include "devices.h"
#include "driver_client.h"
#include "app/driver_run.h"
#include "app/settings.h"
#include "host/commp.h"
#include "host/files.h"
#include "settings_whole.h"
#include "json/hostjson/json_node.h"
#include "policy/identity.h"
#include "policy/present.h"
#include "policy/rules.h"
#include "policy/usb_settings.h"
#include "settings_check.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "text/text.h"
#include "watch.h"

namespace ctl {

namespace {

std::u16string hex4(uint16_t v)
{
    return text::format(u"%.4x", unsigned(v));
}

// What the current settings decide for a device plugged in now, as the decision goes: the policy
// off admits without a decision; hubs are admitted without a question (the program has the driver
// accept them); then the first rule that matches; then "action".
struct DryRun {
    const char* verdict = "allow"; // allow, block, ask
    std::u16string by;
    std::u16string list; // the rule's list and position, when a rule decides
    size_t position = 0;
};

DryRun dry_run(const Device& d, const SettingsCheck& c)
{
    DryRun r;
    if (!c.settings.active) {
        r.by = u"policy off: " + c.off;
        return r;
    }
    if (d.hub) {
        r.by = u"a hub: hubs are always admitted";
        return r;
    }
    std::lock_guard<std::recursive_mutex> guard(settings_lock());
    RuleMatch m;
    const int32_t v = match_rules(d.identity, false, m);
    if (v == rule_allows || v == rule_blocks) {
        r.verdict = v == rule_allows ? "allow" : "block";
        r.by = describe_match(m);
        r.list = m.list;
        r.position = m.position;
        return r;
    }
    const int action = c.settings.action;
    r.verdict = action == 0 ? "block" : action == 2 ? "ask" : "allow";
    r.by = text::format(u"default action %i (no rule)%s", action, action == 2 ? u": the user is asked" : u"");
    return r;
}

// The settings as the program would read them now, put in place for dry runs.
SettingsCheck settings_for_dry_runs()
{
    return check_settings(u"", true, true);
}

// Resolves `name` to one device; a message and null when none or several fit.
const Device* one_device(const char* command, const Machine& m, const std::string& name)
{
    const std::vector<const Device*> found = find_devices(m, name);
    if (found.size() == 1) return found[0];
    if (found.empty()) {
        fail(text::from_utf8(std::string(command) + ": no device present is named " + name +
                             " (a port such as 1-2, vendor:product, or a serial number)"));
        if (!m.list_error.empty()) fail(m.list_error);
        return nullptr;
    }
    fail(text::from_utf8(std::string(command) + ": " + name + " names " + std::to_string(found.size()) +
                         " devices; name one by its port:"));
    for (const Device* d : found) fail(u"  " + device_line(*d));
    return nullptr;
}

bool has_serial(const Device& d)
{
    CJsonNode doc;
    doc.fractionalNumbers = 1;
    doc.LoadText(d.document);
    const auto descriptor = doc.children.find(u"DeviceDescriptor");
    if (descriptor == doc.children.end()) return false;
    const auto index = descriptor->second->children.find(u"iSerialNumber");
    return index != descriptor->second->children.end() && index->second->intValue != 0;
}

// The rule a decision would store for the device: its non-empty texts as exact patterns.
CJsonNode* device_rule(const Device& d, bool allow, bool model_wide)
{
    auto* patterns = new CJsonNode;
    const std::pair<const char16_t*, const std::u16string*> texts[] = {{u"producent", &d.identity.producent},
                                                                       {u"produkt", &d.identity.produkt},
                                                                       {u"numer", &d.identity.numer},
                                                                       {u"klasa", &d.identity.klasa},
                                                                       {u"opis", &d.identity.opis}};
    for (const auto& [key, value] : texts) {
        if (model_wide && std::u16string_view(key) == u"numer") continue;
        if (!value->empty()) patterns->SetString(key, u"=" + *value);
    }
    auto* element = new CJsonNode;
    element->AddChild(patterns);
    element->AddInt(allow ? 1 : 0);
    return element;
}

// The settings file the rules are written to: the one the program reads when no monitor answers
// (cfg\cfg.json of the data folder, else the suite's bin\cfg.json); cfg\cfg.json when neither is
// there.
std::u16string settings_file_to_write()
{
    const std::u16string own = suite_config_folder(u"cfg.json");
    std::vector<uint8_t> content;
    if (LoadSuiteBytes(own, content)) return own;
    const std::u16string shipped = joined(joined(suite_root_folder(), u"bin"), u"cfg.json");
    if (LoadSuiteBytes(shipped, content)) return shipped;
    return own;
}

// Puts rules into "rules" of "usb" of the settings file: `first` before the kept rules (a rule that
// must decide before them), `last` after them; a rule already there (the same text) is not added
// again, and one of `first` moves to the front. Everything else in the file stays as it is. The
// file is written as UTF-8. 0 on success, else a message.
std::u16string merge_rules(const std::u16string& path, std::vector<CJsonNode*> first, std::vector<CJsonNode*> last,
                           size_t& added)
{
    std::vector<std::unique_ptr<CJsonNode>> owned;
    for (CJsonNode* n : first) owned.emplace_back(n);
    for (CJsonNode* n : last) owned.emplace_back(n);
    added = 0;
    CJsonNode doc;
    std::vector<uint8_t> content;
    if (LoadSuiteBytes(path, content)) {
        if (content.size() >= container::marker_size &&
            std::equal(content.begin(), content.begin() + container::marker_size, container::marker))
            return path + u" is kept by the suite in its own form; add the rules through the suite";
        if (!ParseSettings(content, doc)) return path + u" does not parse; mend it first (zelmusbctl check)";
        // Written back from what the reader took of it: only when that is all of it.
        if (!settings_file::read_whole(content, doc)) {
            std::u16string why = path;
            why += u" is read only in part (it is not whole JSON, or has a number with a fraction); mend it first "
                   u"(zelmusbctl check)";
            return why;
        }
    }
    CJsonNode* usb = doc.Member(u"usb");
    if (usb->kind != JSON_OBJECT && !usb->children.empty()) return u"\"usb\" of " + path + u" is not an object";
    usb->kind = JSON_OBJECT;
    CJsonNode* kept = usb->Member(u"rules");
    std::vector<std::u16string> first_texts;
    for (CJsonNode* n : first) first_texts.push_back(n->ToText(0));
    auto* rules = new CJsonNode;
    rules->kind = JSON_ARRAY;
    std::vector<std::u16string> present;
    for (size_t i = 0; i < first.size(); ++i) {
        rules->AddChild(owned[i].release());
        present.push_back(first_texts[i]);
        ++added;
    }
    for (const auto& [key, element] : kept->children) {
        const std::u16string t = element->ToText(0);
        if (std::find(present.begin(), present.end(), t) != present.end()) {
            --added; // it was there: moved, not added
            continue;
        }
        rules->AddChild(clone_node(*element));
        present.push_back(t);
    }
    for (size_t i = first.size(); i < owned.size(); ++i) {
        const std::u16string t = owned[i]->ToText(0);
        if (std::find(present.begin(), present.end(), t) != present.end()) continue;
        rules->AddChild(owned[i].release());
        present.push_back(t);
        ++added;
    }
    usb->SetChild(u"rules", rules);
    const std::string bytes = text::to_utf8(doc.ToText(0));
    uint32_t error = 0;
    if (!WriteWholeFile(path, bytes.data(), bytes.size(), &error))
        return text::format(u"%s cannot be written: error %u", path, unsigned(error));
    return {};
}

// Has the running instance read its settings again; false when none runs.
bool reload_running()
{
    class_commp commp(2000, 2000);
    return commp.AskProcess(u"zelmarusb", u"cfg", u"default", 5000) == u"1";
}

CJsonNode* json_device(const Device& d, const DryRun& r)
{
    auto* o = new CJsonNode;
    o->kind = JSON_OBJECT;
    o->SetString(u"port", d.port);
    o->SetString(u"vendor_id", hex4(d.vid));
    o->SetString(u"product_id", hex4(d.pid));
    o->SetString(u"manufacturer", d.identity.producent);
    o->SetString(u"product", d.identity.produkt);
    o->SetString(u"serial", d.identity.numer);
    o->SetString(u"class", d.identity.klasa);
    o->SetString(u"description", d.identity.opis);
    o->SetString(u"drives", d.drives);
    o->SetBool(u"hub", d.hub);
    o->SetString(u"state", text::from_utf8(state_word(d)));
    o->SetString(u"state_text", state_text(d));
    o->SetString(u"decided_by", d.decided == ZD_DECIDED_ADMIN     ? u"administrator"
                                : d.decided == ZD_DECIDED_VERDICT ? u"verdict"
                                                                  : u"");
    o->SetString(u"checksum", d.checksum);
    o->SetString(u"request_id", d.request_id ? text::format(u"%I64u", d.request_id) : u"");
    CJsonNode* now = o->Child(u"settings_now");
    now->kind = JSON_OBJECT;
    now->SetString(u"verdict", text::from_utf8(r.verdict));
    now->SetString(u"by", r.by);
    now->SetString(u"list", r.list);
    now->SetInt(u"position", int32_t(r.position));
    return o;
}

} // namespace

int list_command(const Args& args)
{
    Args options, rest;
    if (!split_options("list", args, {"--json"}, options, rest)) return exit_usage;
    if (!rest.empty()) return usage("list");
    const SettingsCheck c = settings_for_dry_runs();
    const Machine m = read_machine();
    if (!m.list_error.empty()) return fail(u"list: " + m.list_error);
    if (has(options, "--json")) {
        CJsonNode out;
        out.kind = JSON_ARRAY;
        for (const Device& d : m.devices) out.AddChild(json_device(d, dry_run(d, c)));
        say(m.devices.empty() ? u"[]" : out.ToText(0));
    } else {
        for (const Device& d : m.devices) {
            const DryRun r = dry_run(d, c);
            say(device_line(d) + u" class \"" + d.identity.klasa + u"\": " + state_text(d) + u"; settings now: " +
                text::from_utf8(r.verdict) + u", " + r.by);
        }
    }
    if (!m.driver_error.empty()) fail(u"list: the states are unknown: " + m.driver_error);
    return exit_done;
}

int why_command(const Args& args)
{
    Args options, rest;
    if (!split_options("why", args, {}, options, rest)) return exit_usage;
    if (rest.size() != 1) return usage("why");
    const SettingsCheck c = settings_for_dry_runs();
    const Machine m = read_machine();
    if (!m.list_error.empty()) return fail(u"why: " + m.list_error);
    const Device* d = one_device("why", m, rest[0]);
    if (!d) return exit_failed;
    say(device_line(*d));
    say(u"  class \"" + d->identity.klasa + u"\", description \"" + d->identity.opis + u"\"");
    say(u"  state: " + state_text(*d) + (m.driver_error.empty() ? u"" : u" (" + m.driver_error + u")"));
    if (d->recorded)
        say(u"  decided before: its identity " + d->checksum +
            u" is in the accept folder (the trace's \"Verdict\" line of that time says what decided)");
    // What decided it last: its verdict line in the program's trace, when the trace is a file.
    std::u16string trace;
    if (platform::system().environment(u"ZELMUSB_TRACE_FILE", trace) == 0 && !trace.empty()) {
        const auto v = last_verdict(text::to_utf8(trace), "\"" + text::to_utf8(d->identity.produkt) + "\"");
        if (v)
            say(u"  its last verdict in the trace: " + std::u16string(v->allowed ? u"allowed" : u"blocked") + u" by " +
                text::from_utf8(v->decider));
    }
    const DryRun r = dry_run(*d, c);
    say(u"  the settings now (" + (c.source.empty() ? std::u16string(u"none") : c.source) + u"): " +
        text::from_utf8(r.verdict) + u", decided by " + r.by);
    if (!c.mistakes.empty())
        say(text::format(u"  warning: %u mistakes in the settings (zelmusbctl check)", unsigned(c.mistakes.size())));
    return exit_done;
}

int generate_command(const Args& args)
{
    Args options, rest;
    if (!split_options("generate", args, {"--write"}, options, rest)) return exit_usage;
    if (!rest.empty()) return usage("generate");
    const bool write = has(options, "--write");
    if (write && !privileged("generate --write")) return exit_failed;
    create_facade();
    std::u16string devices;
    if (!read_present_devices(devices)) return fail(u"generate: the USB devices cannot be listed");
    CJsonNode list;
    generate_current_usb_list(devices, list, true, false);
    // A device without a serial number is named by what the list gives as its "numer": its rule
    // may fit it only where it is plugged now, or every device of its model.
    for (const Device& d : read_machine().devices)
        if (!d.hub && !has_serial(d))
            fail(u"note: " + device_line(d) + u" has no serial number: " +
                 (d.identity.numer.empty() ? u"its rule (\"numer\" \"=\") fits every device of its model without one"
                                           : u"its rule names \"numer\" \"" + d.identity.numer +
                                                 u"\" as the device list gives it (the port it is plugged into)"));
    if (!write) {
        say(list.ToText(0));
        return exit_done;
    }
    std::vector<CJsonNode*> rules;
    for (const auto& [key, element] : list.Member(u"rules")->children) rules.push_back(clone_node(*element));
    const std::u16string path = settings_file_to_write();
    size_t added = 0;
    const std::u16string error = merge_rules(path, {}, rules, added);
    if (!error.empty()) return fail(u"generate: " + error);
    say(text::format(u"%s: %u rules added", path, unsigned(added)));
    const SettingsCheck c = check_settings(path, false);
    for (const std::u16string& mistake : c.mistakes) say(mistake);
    if (!c.mistakes.empty()) return fail(u"generate: the settings file has mistakes (above)");
    return exit_done;
}

int admit_command(const Args& args, bool allow)
{
    const char* command = allow ? "allow" : "block";
    Args options, rest;
    if (!split_options(command, args, {"--permanent", "--port-bound", "--model-wide"}, options, rest))
        return exit_usage;
    const bool permanent = has(options, "--permanent");
    const bool port_bound = has(options, "--port-bound"), model_wide = has(options, "--model-wide");
    if (rest.size() != 1 || (port_bound && model_wide) || ((port_bound || model_wide) && !permanent))
        return usage(command);
    if (!privileged(command)) return exit_failed;
    const Machine m = read_machine();
    if (!m.list_error.empty()) return fail(text::from_utf8(command) + u": " + m.list_error);
    const Device* d = one_device(command, m, rest[0]);
    if (!d) return exit_failed;
    if (!m.driver_error.empty()) return fail(text::from_utf8(command) + u": " + m.driver_error);
    if (!m.holding)
        return fail(text::from_utf8(command) +
                    u": the driver does not hold this machine's devices (a model machine, or not Linux)");
    if (permanent && !has_serial(*d) && d->identity.numer.empty() && port_bound)
        return fail(text::from_utf8(command) + u": " + device_line(*d) +
                    u" has no serial number, and the device list gives it no \"numer\" to bind a rule to: only "
                    u"--model-wide");
    if (permanent && !has_serial(*d) && !port_bound && !model_wide)
        return fail(text::from_utf8(command) + u": " + device_line(*d) + u" has no serial number: " +
                    (d->identity.numer.empty()
                         ? u"its rule would fit every device of its model; say so with --model-wide"
                         : u"its rule would name it by \"numer\" \"" + d->identity.numer +
                               u"\" as the device list gives it (--port-bound) or every device of its model "
                               u"(--model-wide, without \"numer\"); say which"));

    driver_client::DriverClient client;
    platform::Error e = client.open();
    if (!e) e = client.admit(text::to_utf8(d->port), allow);
    if (e)
        return fail(text::from_utf8(command) + u": the driver did not " + (allow ? u"admit " : u"refuse ") +
                    device_line(*d) + text::format(u": error %u", unsigned(e)));
    say(device_line(*d) + (allow ? u": allowed now" : u": blocked now"));
    if (!permanent) return exit_done;

    CJsonNode* rule = device_rule(*d, allow, model_wide);
    // With a monitor the rule goes where the user's answers go; it then has the program reload.
    CJsonNode identity;
    UsbRule fields;
    build_device_identity(d->document, identity, fields);
    if (model_wide) identity.SetString(u"numer", u"");
    class_commp commp(2000, 2000);
    commp.exchange_limit_ms = rule_message_limit_ms;
    commp.trusted_peers_only = true; // as the program sends a user's answer: to the real monitor only
    const std::u16string answer =
        commp.AskProcess(u"halvarmon.exe", device_rule_message(identity, allow), u"default", rule_message_limit_ms);
    if (!answer.empty()) {
        delete rule;
        say(u"rule sent to the suite's monitor (halvarmon.exe), which stores it");
        return exit_done;
    }
    const std::u16string path = settings_file_to_write();
    size_t added = 0;
    const std::u16string error = merge_rules(path, {rule}, {}, added);
    if (!error.empty()) return fail(text::from_utf8(command) + u": the rule is not stored: " + error);
    say(u"rule stored first in \"rules\" of " + path +
        (reload_running() ? u"; the program has read it"
                          : u"; zelmarusb /start is not running: it reads the rule when it starts"));
    return exit_done;
}

} // namespace ctl
