#include "rule_store.h"

#include <algorithm>

#include "app/settings.h"
#include "json/holder/json_holder.h"

namespace monitor {

namespace {

// "active" is left out as the file leaves it: the program takes it as 0 from either, and the
// settings check then says that it is missing.
constexpr const char16_t* setting_keys[] = {u"action", u"allow_io", u"allow_printers", u"allow_network",
                                            u"report_on_allow", u"allow_initial"};
constexpr const char16_t* rule_keys[] = {u"producent", u"produkt", u"numer", u"klasa", u"opis"};
constexpr std::u16string_view head = u"usb_device_add_rule";

// The host's reader takes what it can of a text that is not JSON (a file cut short) in silence; the
// library's strict parser says whether it is whole.
bool well_formed(std::u16string_view text)
{
    ZelmUsbVardoManager::JsonHolder parsed;
    std::u16string error;
    return ZelmUsbVardoManager::JsonHolder::Parse(text, parsed, error);
}

bool well_formed_settings(const std::vector<uint8_t>& content)
{
    return well_formed(DecodeSettingsText(content));
}

} // namespace

std::u16string config_answer(const std::vector<uint8_t>& content)
{
    CJsonNode doc;
    if (!well_formed_settings(content) || !ParseSettings(content, doc)) return {};
    const auto usb = doc.children.find(u"usb");
    if (usb == doc.children.end() || usb->second->kind != JSON_OBJECT) return {};
    for (const char16_t* key : setting_keys)
        if (usb->second->children.find(key) == usb->second->children.end()) usb->second->SetInt(key, 0);
    return doc.ToText(0);
}

bool parse_rule_message(const std::u16string& message, Rule& rule, std::u16string& error)
{
    if (message.rfind(head, 0) != 0) {
        error = u"not a rule message";
        return false;
    }
    const std::u16string rest = message.substr(head.size());
    if (rest.size() < 2 || (rest[0] != u'0' && rest[0] != u'1') || rest[1] != u':') {
        error = u"the action is not 0: or 1:";
        return false;
    }
    rule.allow = rest[0] == u'1';
    std::u16string device = rest.substr(2);
    const size_t first = device.find_first_not_of(u" \t\r\n"), last = device.find_last_not_of(u" \t\r\n");
    if (first == std::u16string::npos || device[first] != u'{' || device[last] != u'}' || !well_formed(device)) {
        error = u"the device is not a JSON object";
        return false;
    }
    CJsonNode identity;
    identity.LoadText(device);
    if (identity.kind != JSON_OBJECT) {
        error = u"the device is not a JSON object";
        return false;
    }
    rule.patterns = std::make_unique<CJsonNode>();
    if (const auto c = identity.children.find(u"checksum"); c != identity.children.end() && c->second->kind == JSON_STRING)
        rule.checksum = c->second->strValue;
    bool any = false;
    for (const char16_t* key : rule_keys) {
        const auto it = identity.children.find(key);
        if (it == identity.children.end()) continue;
        if (it->second->kind != JSON_STRING) {
            error = u"\"" + std::u16string(key) + u"\" is not a text";
            return false;
        }
        const std::u16string& pattern = it->second->strValue;
        if (pattern.empty() || pattern == u"=") continue; // an empty text is no pattern
        rule.patterns->SetString(key, pattern);
        any = true;
    }
    if (!any) {
        error = u"the device has no text to name it by: its rule would match every device";
        return false;
    }
    return true;
}

bool store_rule(CJsonNode& doc, const Rule& rule, std::u16string& error)
{
    if (doc.kind != JSON_OBJECT) {
        error = u"the settings are not a JSON object";
        return false;
    }
    CJsonNode* usb = doc.Member(u"usb");
    if (usb->kind != JSON_OBJECT) {
        error = u"\"usb\" is not an object";
        return false;
    }
    const auto kept_it = usb->children.find(u"rules");
    std::vector<const CJsonNode*> kept;
    if (kept_it != usb->children.end()) {
        if (kept_it->second->kind != JSON_ARRAY) {
            error = u"\"rules\" of \"usb\" is not an array";
            return false;
        }
        for (const auto& [key, element] : kept_it->second->children) kept.push_back(element);
    }
    const std::u16string patterns_text = rule.patterns->ToText(0);
    auto* rules = new CJsonNode;
    rules->kind = JSON_ARRAY;
    auto* element = new CJsonNode;
    element->AddChild(clone_node(*rule.patterns));
    element->AddInt(rule.allow ? 1 : 0);
    rules->AddChild(element);
    for (const CJsonNode* k : kept) {
        const bool same_device = k->kind == JSON_ARRAY && k->children.size() == 2 &&
                                 k->children.begin()->second->kind == JSON_OBJECT &&
                                 k->children.begin()->second->ToText(0) == patterns_text;
        if (!same_device) rules->AddChild(clone_node(*k));
    }
    usb->SetChild(u"rules", rules);
    return true;
}

} // namespace monitor
