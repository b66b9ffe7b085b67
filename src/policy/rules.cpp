#include "policy/rules.h"

#include "host/settings.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

std::vector<UsbRule> io_rules;
std::vector<UsbRule> printer_rules;
std::vector<UsbRule> network_rules;
std::vector<UsbRule> main_rules;
std::vector<UsbRule> initial_rules;

void clear_rule(UsbRule& rule)
{
    rule = UsbRule{};
}

int parse_rule(UsbRule& rule, CJsonNode* node)
{
    auto it = node->children.begin();
    CJsonNode* texts = it->second;
    CJsonNode* action = std::next(it)->second;
    rule.produkt = texts->Member(u"produkt")->AsString();
    rule.producent = texts->Member(u"producent")->AsString();
    rule.numer = texts->Member(u"numer")->AsString();
    rule.klasa = texts->Member(u"klasa")->AsString();
    rule.opis = texts->Member(u"opis")->AsString();
    rule.action = action->kind == JSON_STRING ? text::wtoi(action->strValue) : action->intValue;
    return 1;
}

void load_rule_list(std::vector<UsbRule>& list, CJsonNode* rules)
{
    for (auto& [key, element] : rules->children) {
        if (element->children.size() != 2) continue;
        UsbRule rule;
        clear_rule(rule);
        parse_rule(rule, element);
        list.push_back(std::move(rule));
    }
}

bool match_field(const std::u16string& value, const std::u16string& pattern)
{
    const bool exact = !pattern.empty() && pattern[0] == u'=';
    const std::u16string p = text::to_lower(exact ? std::u16string_view(pattern).substr(1) : std::u16string_view(pattern));
    const std::u16string v = text::to_lower(value);
    if (exact) return v == p;
    return p.empty() || v.find(p) != std::u16string::npos;
}

int32_t match_rule(const UsbRule& rule, const UsbRule& device, bool serial_only)
{
    if (serial_only) {
        if (device.numer.empty() || rule.numer.empty() || rule.numer == u"=") return 2;
        return match_field(device.numer, rule.numer) ? rule.action : 2;
    }
    const bool all = match_field(device.produkt, rule.produkt) && match_field(device.producent, rule.producent) &&
                     match_field(device.numer, rule.numer) && match_field(device.klasa, rule.klasa) &&
                     match_field(device.opis, rule.opis);
    return all ? rule.action : 2;
}

int32_t match_rules(const UsbRule& device, bool serial_only)
{
    const UsbSettings& s = g_settings;
    const std::vector<UsbRule>* lists[] = {
        s.allow_io ? &io_rules : nullptr,
        s.allow_printers ? &printer_rules : nullptr,
        s.allow_network ? &network_rules : nullptr,
        &main_rules,
        s.allow_initial ? &initial_rules : nullptr,
    };
    for (const auto* list : lists) {
        if (!list) continue;
        for (const UsbRule& rule : *list) {
            const int32_t r = match_rule(rule, device, serial_only);
            if (r == rule_allows || r == rule_blocks) return r;
        }
    }
    return no_rule_decided;
}
