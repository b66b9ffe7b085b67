#include "policy/rules.h"

#include "host/app.h"
#include "host/commp.h"
#include "host/files.h"
#include "host/settings.h"
#include "host/trace.h"
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

namespace {

// Compares code unit by code unit through the one-unit lower-case mapping, so that matching a
// device against a long rule list allocates nothing.
bool equal_ignoring_case(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && text::to_lower(a[i]) != text::to_lower(b[i])) return false;
    return true;
}

bool contains_ignoring_case(std::u16string_view value, std::u16string_view pattern)
{
    if (pattern.empty()) return true;
    if (pattern.size() > value.size()) return false;
    const char16_t first = text::to_lower(pattern[0]);
    const std::u16string_view rest = pattern.substr(1);
    for (size_t i = 0; i + pattern.size() <= value.size(); ++i) {
        if (text::to_lower(value[i]) != first) continue;
        if (equal_ignoring_case(value.substr(i + 1, rest.size()), rest)) return true;
    }
    return false;
}

} // namespace

bool match_field(const std::u16string& value, const std::u16string& pattern)
{
    if (!pattern.empty() && pattern[0] == u'=') return equal_ignoring_case(value, std::u16string_view(pattern).substr(1));
    return contains_ignoring_case(value, pattern);
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

std::u16string device_rule_message(const CJsonNode& identity, bool allow)
{
    // The copy is what the monitor stores; reading it never touches the caller's identity.
    CJsonNode copy;
    copy.LoadText(identity.ToText(0));

    const std::u16string producent = copy.Member(u"producent")->AsString();
    const std::u16string produkt = copy.Member(u"produkt")->AsString();
    const std::u16string klasa = copy.Member(u"klasa")->AsString();
    std::u16string label = producent;
    if (!producent.empty()) label += u"/";
    label += produkt;
    if (!produkt.empty()) label += u"/";
    label += klasa;
    if (!klasa.empty()) label += u"/";
    label += LocalTimestamp();

    // The stored rule names exactly this device, not every device whose texts contain its texts.
    make_patterns_exact(copy);
    copy.SetString(u"etykieta", label);

    return std::u16string(u"usb_device_add_rule") + (allow ? u"1" : u"0") + u":" + copy.ToText(0);
}

void make_patterns_exact(CJsonNode& identity)
{
    for (const char16_t* member : {u"producent", u"produkt", u"klasa", u"opis", u"numer"}) {
        std::u16string& value = identity.Member(member)->AsString();
        if (!value.empty()) value.insert(0, 1, u'=');
    }
}

void add_device_rule(CJsonNode& identity, bool allow)
{
    // Sent while the driver waits for the verdict: the answer is not needed, so a monitor that is
    // slow to answer, or busy with another asker, holds the decision a few seconds at most.
    class_commp commp(2000, 2000);
    commp.exchange_limit_ms = rule_message_limit_ms;
    commp.AskProcess(u"halvarmon.exe", device_rule_message(identity, allow), u"default", rule_message_limit_ms);
}

namespace {

// A faithful copy of a node and its subtree. Writing an element and reading the text back would
// not do for rule elements: the reader wraps a text that is an array into one more array.
CJsonNode* clone_node(const CJsonNode& source)
{
    auto* node = new CJsonNode;
    node->kind = source.kind;
    node->name = source.name;
    node->intValue = source.intValue;
    node->strValue = source.strValue;
    node->boolValue = source.boolValue;
    for (const auto& [key, child] : source.children) node->children.emplace(key, clone_node(*child));
    return node;
}

void drop_exact_mark(std::u16string& pattern)
{
    if (!pattern.empty() && pattern[0] == u'=') pattern.erase(0, 1);
}

} // namespace

void test_rules_file(const std::u16string& path)
{
    read_config();

    std::u16string input;
    if (!LoadSuiteFile(path, input) || input.empty()) {
        _COUT(u"Rules test: nothing to read in " + path);
        return;
    }
    CJsonNode doc;
    doc.LoadText(input);

    CJsonNode result;
    {
        std::lock_guard<std::recursive_mutex> guard(settings_lock());
        for (const auto& [key, element] : doc.Member(u"rules")->children) {
            // Each element is tested as the device it describes: its patterns taken as texts.
            UsbRule device;
            clear_rule(device);
            if (element->children.size() == 2) parse_rule(device, element);
            for (std::u16string* t : {&device.produkt, &device.producent, &device.numer, &device.klasa, &device.opis})
                drop_exact_mark(*t);
            if (match_rules(device, false) == rule_allows) continue;
            // The element is listed as the rule reader left it: the members it read are there
            // (created empty when the element left them out, numbers turned into their texts), so
            // the suite sees the five texts that were tested.
            CJsonNode* blocked = result.Member(u"rules");
            blocked->kind = JSON_ARRAY;
            blocked->SetChild(u"", clone_node(*element));
        }
    }

    // Other programs of the suite read this file as UTF-8; characters beyond the Basic
    // Multilingual Plane are kept as their four-byte sequences.
    const std::string bytes = text::to_utf8(result.ToText(0));
    const std::u16string out = path + u".blocked.json";
    if (!WriteWholeFile(out, bytes.data(), bytes.size())) _COUT(u"Rules test: cannot write " + out);
}
