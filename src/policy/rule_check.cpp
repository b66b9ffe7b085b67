#include "policy/rule_check.h"

#include <iterator>
#include <string>

#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

namespace {

bool one_of(std::u16string_view name, std::initializer_list<std::u16string_view> names)
{
    for (std::u16string_view n : names)
        if (n == name) return true;
    return false;
}

// Whether the text starts as `_wtoi` needs it to: blanks, a sign, then a digit.
bool has_number(std::u16string_view s)
{
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t' || s[i] == u'\r' || s[i] == u'\n')) ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
    return i < s.size() && s[i] >= u'0' && s[i] <= u'9';
}

std::u16string lowered(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out) c = text::to_lower(c);
    return out;
}

const char16_t* kind_name(int32_t kind)
{
    switch (kind) {
    case JSON_OBJECT: return u"an object";
    case JSON_ARRAY: return u"an array";
    case JSON_BOOL: return u"true or false";
    case JSON_STRING: return u"a text";
    default: return u"a number";
    }
}

constexpr std::initializer_list<std::u16string_view> pattern_keys = {u"producent", u"produkt", u"numer",
                                                                        u"klasa",     u"opis",    u"dyski"};
constexpr std::initializer_list<std::u16string_view> setting_keys = {
    u"active", u"action", u"allow_io", u"allow_printers", u"allow_network", u"report_on_allow", u"allow_initial"};

} // namespace

std::vector<std::u16string> rule_mistakes(const CJsonNode& rules, std::u16string_view list)
{
    std::vector<std::u16string> found;
    int position = 0;
    for (const auto& [key, element] : rules.children) {
        ++position;
        if (element->children.size() != 2) {
            found.push_back(text::format(u"Rules: element %i of %s is not [ {patterns}, action ]: it is not a rule",
                                         position, list));
            continue;
        }
        const CJsonNode& patterns = *element->children.begin()->second;
        const CJsonNode& action = *std::next(element->children.begin())->second;
        if (patterns.kind != JSON_OBJECT)
            found.push_back(text::format(
                u"Rules: element %i of %s: its patterns are %s, not an object; with no pattern it matches every device",
                position, list, kind_name(patterns.kind)));
        for (const auto& [name, value] : patterns.children) {
            const std::u16string_view member(name);
            if (patterns.kind != JSON_OBJECT) break; // the line above said it
            if (one_of(member, pattern_keys) || one_of(member, {u"checksum", u"user", u"etykieta"})) continue;
            const bool case_only = one_of(lowered(member), pattern_keys);
            found.push_back(text::format(
                u"Rules: element %i of %s: \"%s\" is not a rule key (%s)%s; it is not read, and a pattern left out "
                u"matches every device",
                position, list, member, rule_keys, case_only ? u", which are lower case" : u""));
        }
        if (action.kind == JSON_STRING ? !(action.strValue == u"0" || action.strValue == u"1")
                                       : action.kind != JSON_INT || (action.intValue != 0 && action.intValue != 1)) {
            const int32_t read = action.kind == JSON_STRING ? text::wtoi(action.strValue)
                                                             : action.kind == JSON_INT ? action.intValue : 0;
            found.push_back(text::format(
                u"Rules: element %i of %s: the action reads as %i; 1 allows, 0 blocks, any other value never decides",
                position, list, read));
        }
    }
    return found;
}

std::vector<std::u16string> settings_mistakes(const CJsonNode& doc, std::u16string_view source,
                                              std::u16string_view missing)
{
    std::vector<std::u16string> found;
    const auto usb = doc.children.find(u"usb");
    if (usb == doc.children.end()) {
        std::u16string near;
        for (const auto& [name, value] : doc.children)
            if (lowered(name) == u"usb")
                near = u" (it has \"" + std::u16string(std::u16string_view(name)) + u"\"; names are lower case)";
        found.push_back(text::format(u"Settings: %s has no object \"usb\"%s; %s", source, near, missing));
        return found;
    }
    const CJsonNode& settings = *usb->second;
    if (settings.kind != JSON_OBJECT) {
        found.push_back(text::format(u"Settings: \"usb\" of %s is %s, not an object; %s", source,
                                     kind_name(settings.kind), missing));
        return found;
    }
    for (const auto& [name, value] : settings.children) {
        const std::u16string_view member(name);
        if (member == u"rules") continue;
        if (!one_of(member, setting_keys)) {
            found.push_back(text::format(u"Settings: \"%s\" in \"usb\" of %s is not a setting (active, action, "
                                         u"allow_io, allow_printers, allow_network, report_on_allow, allow_initial, "
                                         u"rules); it is not read",
                                         member, source));
            continue;
        }
        if (value->kind == JSON_INT) continue;
        if (value->kind == JSON_STRING) {
            if (!has_number(value->strValue))
                found.push_back(
                    text::format(u"Settings: \"%s\" of %s is the text \"%s\", which holds no number; it reads as 0",
                                 member, source, value->strValue));
            continue;
        }
        found.push_back(text::format(u"Settings: \"%s\" of %s is %s, neither a number nor a text; it reads as 0",
                                     member, source, kind_name(value->kind)));
    }
    return found;
}

void trace_rule_mistakes(const CJsonNode& rules, std::u16string_view list)
{
    for (const std::u16string& line : rule_mistakes(rules, list)) TRACE(u"%s", line);
}

void trace_settings_mistakes(const CJsonNode& doc, std::u16string_view source, std::u16string_view missing)
{
    for (const std::u16string& line : settings_mistakes(doc, source, missing)) TRACE(u"%s", line);
}
