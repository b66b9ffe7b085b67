#include "settings_check.h"

#include <memory>

#include "app/settings.h"
#include "host/commp.h"
#include "host/files.h"
#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"
#include "policy/rule_check.h"
#include "policy/rules.h"
#include "text/text.h"

namespace ctl {

namespace {

// Rules whose every pattern is empty match every device: one such rule decides for all of them,
// and the lists after it are never consulted. The program takes it as it stands.
void everything_rules(CJsonNode& rules, std::u16string_view list, std::vector<std::u16string>& found)
{
    int position = 0;
    for (auto& [key, element] : rules.children) {
        ++position;
        if (element->children.size() != 2 || element->children.begin()->second->kind != JSON_OBJECT) continue;
        UsbRule rule;
        clear_rule(rule);
        parse_rule(rule, element);
        if (!rule.produkt.empty() || !rule.producent.empty() || !rule.numer.empty() || !rule.klasa.empty() ||
            !rule.opis.empty() || (rule.action != 0 && rule.action != 1))
            continue;
        found.push_back(text::format(u"Rules: element %i of %s has no pattern: it matches every device and %s it",
                                     position, list, rule.action == 1 ? u"allows" : u"blocks"));
    }
}

// The program's reader takes what it can of a text that is not JSON (a file cut short, a comma
// too many) in silence; the library's strict parser says where it stops.
void check_well_formed(std::u16string_view text, std::u16string_view what, std::vector<std::u16string>& found)
{
    ZelmUsbVardoManager::JsonHolder parsed;
    std::u16string error;
    if (!ZelmUsbVardoManager::JsonHolder::Parse(text, parsed, error))
        found.push_back(u"Settings: " + std::u16string(what) + u" is not well-formed JSON (the parser: " + error +
                        u"); the program reads what it can of it, and may miss settings or rules");
}

void check_rule_list(CJsonNode& rules, std::u16string_view list, std::vector<std::u16string>& found)
{
    for (std::u16string& line : rule_mistakes(rules, list)) found.push_back(std::move(line));
    everything_rules(rules, list, found);
}

} // namespace

SettingsCheck check_settings(const std::u16string& file, bool ask_monitor, bool install)
{
    std::lock_guard<std::recursive_mutex> guard(settings_lock());
    if (install) {
        for (std::vector<UsbRule>* list : {&main_rules, &io_rules, &printer_rules, &network_rules}) list->clear();
        load_initial_rules();
    }
    SettingsCheck c;
    auto doc = std::make_unique<CJsonNode>();
    std::u16string missing = u"every setting reads as 0";
    if (file.empty() && ask_monitor) {
        class_commp commp(2000, 2000);
        commp.exchange_limit_ms = monitor_answer_limit_ms;
        commp.trusted_peers_only = true; // as the program takes the settings
        const std::u16string answer =
            commp.AskProcess(u"halvarmon.exe", u"get_config", u"default", monitor_answer_limit_ms);
        if (!answer.empty()) {
            c.source = u"the monitor's answer";
            missing = u"they take their fallback values";
            c.parsed = doc->LoadText(answer);
            if (!c.parsed)
                c.mistakes.push_back(
                    u"Settings: the monitor's answer does not parse; the settings take their fallback values");
            doc->strict = 1;
        }
    }
    if (c.source.empty()) {
        std::vector<std::u16string> paths;
        if (!file.empty())
            paths = {file};
        else
            paths = {suite_config_folder(u"cfg.json"), joined(joined(suite_root_folder(), u"bin"), u"cfg.json")};
        std::vector<uint8_t> content;
        for (const std::u16string& path : paths)
            if (LoadSuiteBytes(path, content)) {
                c.source = path;
                break;
            }
        if (c.source.empty()) {
            std::u16string names = paths[0];
            for (size_t i = 1; i < paths.size(); ++i) names += u" or " + paths[i];
            c.mistakes.push_back(u"Settings: no settings file can be read (" + names + u"); every setting reads as 0");
            c.off = u"no settings file (" + names + u")";
        } else if (content.size() < 4) {
            c.mistakes.push_back(text::format(u"Settings: %s holds %u bytes; every setting reads as 0", c.source,
                                              unsigned(content.size())));
            c.off = u"the settings file " + c.source + u" is empty";
        } else if (!ParseSettings(content, *doc)) {
            c.mistakes.push_back(text::format(u"Settings: %s does not parse; every setting reads as 0", c.source));
            c.off = u"the settings file " + c.source + u" does not parse";
            doc = std::make_unique<CJsonNode>();
        } else {
            c.parsed = true;
            check_well_formed(DecodeSettingsText(content), c.source, c.mistakes);
        }
    }

    if (c.parsed) {
        for (std::u16string& line : settings_mistakes(*doc, c.source, missing)) c.mistakes.push_back(std::move(line));
        if (!doc->strict) {
            const auto usb = doc->children.find(u"usb");
            if (usb != doc->children.end() && usb->second->kind == JSON_OBJECT &&
                !usb->second->children.count(u"active"))
                c.mistakes.push_back(u"Settings: \"usb\" of " + c.source + u" has no \"active\"; it reads as 0");
        }
    }
    // Reading a member creates it in a document that is not strict: what the document has is seen
    // before.
    const bool has_usb = doc->children.count(u"usb") != 0;
    read_settings(*doc, c.settings);
    if (c.parsed) {
        try {
            CJsonNode* rules = doc->Member(u"usb")->Member(u"rules");
            c.rules = rules->children.size();
            if (install) load_rule_list(main_rules, rules);
            check_rule_list(*rules, u"\"rules\" in \"usb\" of " + c.source, c.mistakes);
        } catch (int) {
            // A monitor answer without rules: no user rules.
        }
    }
    const std::pair<const char16_t*, std::vector<UsbRule>*> lists[] = {
        {u"bin\\u_io.bin", &io_rules}, {u"bin\\u_pr.bin", &printer_rules}, {u"bin\\u_net.bin", &network_rules}};
    for (const auto& [relative, loaded] : lists) {
        std::u16string text;
        if (!LoadSuiteFile(joined(suite_root_folder(), relative), text)) continue; // a list the suite does not ship
        CJsonNode list;
        list.LoadText(text);
        check_well_formed(text, relative, c.mistakes);
        check_rule_list(*list.Member(u"rules"), relative, c.mistakes);
        if (install) load_rule_list(*loaded, list.Member(u"rules"));
    }
    if (install) g_settings = c.settings;

    if (c.off.empty() && !c.settings.active) {
        if (!c.parsed)
            c.off = c.source + u" does not parse";
        else if (!has_usb)
            c.off = c.source + u" has no object \"usb\"";
        else
            c.off = u"\"active\" reads as 0 in " + c.source;
    }
    return c;
}

} // namespace ctl
