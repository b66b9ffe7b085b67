#include "policy/rules.h"

#include <cstring>
#include <memory>

#include "host/commp.h"
#include "host/trace.h"
#include "json/hostjson/json_node.h"
#include "policy/usb_settings.h"
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
    // The texts are kept as read: the suite and the rules test see them as written, and case is
    // ignored where they are matched.
    for (auto& [key, element] : rules->children) {
        if (element->children.size() != 2) continue;
        UsbRule rule;
        clear_rule(rule);
        parse_rule(rule, element);
        list.push_back(std::move(rule));
    }
}

namespace {

// A device text lower-cased once for a whole walk of the rule lists, in room of its own when it
// fits (a USB string descriptor holds at most 126 code units), so the walk allocates nothing.
class LoweredText {
public:
    explicit LoweredText(std::u16string_view s)
    {
        char16_t* to = room_;
        if (s.size() > kRoom) {
            long_.resize(s.size());
            to = long_.data();
        }
        for (size_t i = 0; i < s.size(); ++i)
            to[i] = text::to_lower(s[i]);
        view_ = std::u16string_view(to, s.size());
    }
    LoweredText(const LoweredText&) = delete;
    LoweredText& operator=(const LoweredText&) = delete;
    std::u16string_view view() const { return view_; }

private:
    static constexpr size_t kRoom = 256;
    char16_t room_[kRoom];
    std::u16string long_;
    std::u16string_view view_;
};

struct LoweredDevice {
    explicit LoweredDevice(const UsbRule& device)
        : produkt(device.produkt), producent(device.producent), numer(device.numer), klasa(device.klasa),
          opis(device.opis), serial_empty(device.numer.empty())
    {
    }
    LoweredText produkt, producent, numer, klasa, opis;
    bool serial_empty;
};

// The lower case of a pattern unit; the Latin letters of ASCII inline, the rest by the shared
// table (which maps no other ASCII unit).
inline char16_t lower_unit(char16_t c)
{
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
    return text::to_lower(c);
}

// Four UTF-16 units of one 64-bit word lower-cased at once, when all four are ASCII: a unit from
// 'A' to 'Z' gets its 0x20 bit. In each 16-bit lane, adding 0x3F sets bit 7 from 'A' up and adding
// 0x25 from 'Z' + 1 up (no carry leaves a lane below 0x80), so the two differ in bit 7 exactly for
// the capitals. False, and nothing lowered, when a unit is beyond ASCII.
inline bool lower_ascii4(uint64_t w, uint64_t& lowered)
{
    if (w & 0xFF80FF80FF80FF80ull) return false;
    const uint64_t capital = ((w + 0x003F003F003F003Full) ^ (w + 0x0025002500250025ull)) & 0x0080008000800080ull;
    lowered = w | (capital >> 2);
    return true;
}

// `lowered` (already lower-cased) against `pattern` as given (rules keep their texts as written).
bool same_lowered(const char16_t* lowered, const char16_t* pattern, size_t n)
{
    // Four units at a time (one 64-bit word): equal words decide at once, and an ASCII word of the
    // pattern is lowered in the word; only a word with a unit beyond ASCII is looked at unit by unit.
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t a, b, b_lowered;
        std::memcpy(&a, lowered + i, sizeof a);
        std::memcpy(&b, pattern + i, sizeof b);
        if (a == b) continue;
        if (lower_ascii4(b, b_lowered)) {
            if (a != b_lowered) return false;
            continue;
        }
        for (size_t k = i; k < i + 4; ++k)
            if (lowered[k] != pattern[k] && lowered[k] != lower_unit(pattern[k])) return false;
    }
    for (; i < n; ++i)
        if (lowered[i] != pattern[i] && lowered[i] != lower_unit(pattern[i])) return false;
    return true;
}

bool equal_lowered(std::u16string_view lowered, std::u16string_view pattern)
{
    return lowered.size() == pattern.size() && same_lowered(lowered.data(), pattern.data(), pattern.size());
}

bool contains_lowered(std::u16string_view lowered, std::u16string_view pattern)
{
    if (pattern.empty()) return true;
    if (pattern.size() > lowered.size()) return false;
    const char16_t first = lower_unit(pattern[0]);
    const size_t last_start = lowered.size() - pattern.size();
    for (size_t i = 0; i <= last_start; ++i) {
        if (lowered[i] != first) continue;
        if (same_lowered(lowered.data() + i + 1, pattern.data() + 1, pattern.size() - 1)) return true;
    }
    return false;
}

inline bool is_exact(const std::u16string& pattern)
{
    return !pattern.empty() && pattern[0] == u'=';
}

bool match_lowered(std::u16string_view lowered, const std::u16string& pattern)
{
    if (is_exact(pattern)) return equal_lowered(lowered, std::u16string_view(pattern).substr(1));
    return contains_lowered(lowered, pattern);
}

// Whether the lengths alone leave a match possible: an exact pattern needs a text of its length,
// a contained one a text at least as long. Lowering keeps the length of a text.
bool length_allows(std::u16string_view lowered, const std::u16string& pattern)
{
    if (!pattern.empty() && pattern[0] == u'=') return lowered.size() == pattern.size() - 1;
    return pattern.size() <= lowered.size();
}

// The five fields of a rule whose lengths allow a match: the exact patterns first, one
// comparison each, before any search for a contained one. Kept out of line, so that the length
// test that rejects most rules stays small enough to be inlined into the walk of the lists.
[[gnu::noinline]] bool all_fields_match(const UsbRule& rule, const LoweredDevice& device)
{
    const std::pair<std::u16string_view, const std::u16string*> fields[] = {
        {device.produkt.view(), &rule.produkt}, {device.producent.view(), &rule.producent},
        {device.numer.view(), &rule.numer},     {device.klasa.view(), &rule.klasa},
        {device.opis.view(), &rule.opis},
    };
    for (const auto& [lowered, pattern] : fields)
        if (is_exact(*pattern) && !equal_lowered(lowered, std::u16string_view(*pattern).substr(1))) return false;
    for (const auto& [lowered, pattern] : fields)
        if (!is_exact(*pattern) && !contains_lowered(lowered, *pattern)) return false;
    return true;
}

int32_t match_rule_lowered(const UsbRule& rule, const LoweredDevice& device, bool serial_only)
{
    if (serial_only) {
        if (device.serial_empty || rule.numer.empty() || rule.numer == u"=") return 2;
        return match_lowered(device.numer.view(), rule.numer) ? rule.action : 2;
    }
    // The five fields have no effect on one another, so the cheap length test of all of them may
    // come first: most rules a device meets differ from it in the length of some exact pattern
    // (the rules the suite stores for single devices are exact in every field).
    if (!(length_allows(device.produkt.view(), rule.produkt) && length_allows(device.producent.view(), rule.producent) &&
          length_allows(device.numer.view(), rule.numer) && length_allows(device.klasa.view(), rule.klasa) &&
          length_allows(device.opis.view(), rule.opis)))
        return 2;
    return all_fields_match(rule, device) ? rule.action : 2;
}

} // namespace

bool match_field(const std::u16string& value, const std::u16string& pattern)
{
    const LoweredText lowered(value);
    return match_lowered(lowered.view(), pattern);
}

int32_t match_rule(const UsbRule& rule, const UsbRule& device, bool serial_only)
{
    const LoweredDevice lowered(device);
    return match_rule_lowered(rule, lowered, serial_only);
}

namespace {

// The walk of the lists; `decided`, when given, learns which rule decided (out of the loop, so
// the walk itself is the same with it or without it).
inline int32_t walk_rule_lists(const UsbRule& device, bool serial_only, RuleMatch* decided)
{
    const UsbSettings& s = g_settings;
    const std::vector<UsbRule>* lists[] = {
        s.allow_io ? &io_rules : nullptr,
        s.allow_printers ? &printer_rules : nullptr,
        s.allow_network ? &network_rules : nullptr,
        &main_rules,
        s.allow_initial ? &initial_rules : nullptr,
    };
    static constexpr const char16_t* names[] = {u"io", u"printers", u"network", u"main", u"initial"};
    const LoweredDevice lowered(device); // once for every rule of every list
    for (size_t l = 0; l < std::size(lists); ++l) {
        if (!lists[l]) continue;
        for (const UsbRule& rule : *lists[l]) {
            const int32_t r = match_rule_lowered(rule, lowered, serial_only);
            if (r == rule_allows || r == rule_blocks) {
                if (decided) *decided = RuleMatch{names[l], size_t(&rule - lists[l]->data()) + 1, &rule};
                return r;
            }
        }
    }
    if (decided) *decided = RuleMatch{};
    return no_rule_decided;
}

} // namespace

int32_t match_rules(const UsbRule& device, bool serial_only)
{
    return walk_rule_lists(device, serial_only, nullptr);
}

int32_t match_rules(const UsbRule& device, bool serial_only, RuleMatch& decided)
{
    return walk_rule_lists(device, serial_only, &decided);
}

std::u16string describe_match(const RuleMatch& decided)
{
    if (!decided.rule) return u"no rule";
    const UsbRule& r = *decided.rule;
    return std::u16string(decided.list) + u" rule " + IntText(int(decided.position)) + u" (produkt \"" + r.produkt +
           u"\", producent \"" + r.producent + u"\", numer \"" + r.numer + u"\", klasa \"" + r.klasa +
           u"\", opis \"" + r.opis + u"\")";
}

std::u16string device_rule_message(const CJsonNode& identity, bool allow)
{
    // The copy is what the monitor stores; reading it never touches the caller's identity.
    CJsonNode copy;
    copy.LoadCopy(identity);

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
    commp.trusted_peers_only = true; // the rule and the device's identity go to the real monitor only
    commp.AskProcess(u"halvarmon.exe", device_rule_message(identity, allow), u"default", rule_message_limit_ms);
}
