#include "app/settings.h"

#include <cstring>
#include <mutex>

#include "host/commp.h"
#include "host/files.h"
#include "host/paths.h"
#include "host/trace.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "policy/rule_check.h"
#include "policy/rules.h"
#include "text/text.h"

namespace container {
namespace {
// The key stream: starts at the seed, each next byte is the previous one times the multiplier
// (mod 256); a zero byte would leave the payload bare, so it is replaced. Kept here, and only
// here, so that packing and unpacking can never disagree.
constexpr uint8_t seed = 0xA7;
constexpr uint8_t multiplier = 0x4D;
constexpr uint8_t zero_replacement = 0x3B;
} // namespace

void scramble(uint8_t* bytes, size_t size)
{
    uint8_t key = seed;
    for (size_t i = 0; i < size; ++i) {
        if (key == 0) key = zero_replacement;
        bytes[i] ^= key;
        key = uint8_t(key * multiplier);
    }
}

std::vector<uint8_t> pack(const std::vector<uint8_t>& content)
{
    std::vector<uint8_t> out(marker, marker + marker_size);
    out.insert(out.end(), content.begin(), content.end());
    scramble(out.data() + marker_size, content.size());
    return out;
}
} // namespace container

bool LoadSuiteBytes(const std::u16string& path, std::vector<uint8_t>& content)
{
    CByteBuffer buffer;
    uint64_t size = 0;
    if (!ReadWholeFile(path, buffer, suite_file_limit, &size)) {
        if (size > suite_file_limit)
            TRACE(u"Suite file too large, not read: %s (%I64u bytes, at most %u)", path, size, unsigned(suite_file_limit));
        return false;
    }
    content.assign(buffer.data(), buffer.data() + buffer.size());
    if (content.size() > container::marker_size &&
        std::memcmp(content.data(), container::marker, container::marker_size) == 0) {
        content.erase(content.begin(), content.begin() + container::marker_size);
        container::scramble(content.data(), content.size());
    }
    return true;
}

namespace {
// `strict_utf16`: UTF-16 needs at least two characters, as the suite-file reader demands; the
// settings loader only looks at the second byte.
std::u16string decode(const std::vector<uint8_t>& content, bool strict_utf16)
{
    // UTF-8 with its byte-order mark is what Windows editors save.
    if (content.size() >= 3 && content[0] == 0xEF && content[1] == 0xBB && content[2] == 0xBF)
        return text::from_utf8(std::string_view(reinterpret_cast<const char*>(content.data()) + 3, content.size() - 3));
    size_t start = 0;
    if (content.size() >= 2 && content[0] == 0xFF && content[1] == 0xFE) start = 2;
    const std::span<const uint8_t> rest(content.data() + start, content.size() - start);
    const bool utf16 = rest.size() >= 2 && rest[1] == 0 && (!strict_utf16 || rest.size() >= 4);
    if (utf16) return text::from_utf16le(rest);
    return text::from_system_codepage(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
}
} // namespace

std::u16string DecodeSuiteText(const std::vector<uint8_t>& content)
{
    return decode(content, true);
}

bool LoadSuiteFile(const std::u16string& path, std::u16string& text)
{
    std::vector<uint8_t> content;
    if (!LoadSuiteBytes(path, content)) return false;
    text = DecodeSuiteText(content);
    return true;
}

namespace {
void restore_configuration_copy()
{
    const std::u16string copy = suite_config_folder(u"cfg.json");
    std::u16string text;
    if (LoadSuiteFile(copy, text)) WriteWholeFile(copy + u"." + CompactTimestamp(), text);
    std::u16string original;
    const std::u16string shipped = joined(joined(suite_root_folder(), u"bin"), u"cfg.json");
    if (LoadSuiteFile(shipped, original)) {
        TRACE(u"Settings: %s does not parse; restored from %s", copy, shipped);
        WriteWholeFile(copy, original);
    } else {
        TRACE(u"Settings: %s does not parse and %s cannot be read; the copy is removed", copy, shipped);
        platform::files().remove(copy);
    }
}
} // namespace

std::u16string DecodeSettingsText(const std::vector<uint8_t>& content)
{
    return decode(content, false);
}

bool ParseSettings(const std::vector<uint8_t>& content, CJsonNode& doc)
{
    return doc.LoadText(decode(content, false)) && doc.ToText(0).size() >= 6;
}

SettingsFile LoadSettingsFile(const std::u16string& name)
{
    SettingsFile file;
    file.name = name;
    // The suite holds the mutex only while it writes; a holder that never lets go must not keep
    // the settings (and the listener that reloads them on "cfg") waiting for ever.
    auto& sync = platform::sync();
    uint32_t waited = 0;
    while (MutexPresent(loading_config_mutex)) {
        if (waited >= loading_wait_limit_ms) {
            TRACE(u"Settings: the suite still holds %s after %u ms; reading the file anyway", loading_config_mutex,
                  unsigned(waited));
            break;
        }
        sync.sleep(100);
        waited += 100;
    }

    for (int attempt = 0; attempt <= 6; ++attempt) {
        std::vector<uint8_t> content;
        file.path = suite_config_folder(name);
        if (!LoadSuiteBytes(file.path, content)) {
            file.path = joined(joined(suite_root_folder(), u"bin"), name);
            if (!LoadSuiteBytes(file.path, content)) {
                TRACE(u"Settings: no readable %s in %s or the suite's bin folder; every setting reads as 0", name,
                      suite_config_folder());
                return file;
            }
        }
        if (content.size() < 4) {
            TRACE(u"Settings: %s holds %u bytes; every setting reads as 0", file.path, unsigned(content.size()));
            return file;
        }
        file.doc = std::make_unique<CJsonNode>();
        if (ParseSettings(content, *file.doc)) return file;
        TRACE(u"Settings: %s does not parse (attempt %i)", file.path, attempt);
        if (attempt <= 4) sync.sleep(1000);
        if (attempt == 5) restore_configuration_copy();
    }
    TRACE(u"Settings: %s gave up after 7 attempts; every setting reads as 0", name);
    file.doc = std::make_unique<CJsonNode>();
    return file;
}

namespace {
struct SettingEntry {
    const char16_t* key;
    int32_t UsbSettings::*member; // none for "active", which is stored apart
    int32_t fallback;
};
// In the order the settings are read.
constexpr SettingEntry setting_table[] = {
    {u"active", nullptr, 0},
    {u"action", &UsbSettings::action, 2},
    {u"allow_io", &UsbSettings::allow_io, 1},
    {u"allow_printers", &UsbSettings::allow_printers, 1},
    {u"allow_network", &UsbSettings::allow_network, 1},
    {u"report_on_allow", &UsbSettings::report_on_allow, 1},
    {u"allow_initial", &UsbSettings::allow_initial, 1},
};

int32_t setting_value(CJsonNode* node)
{
    if (node->kind == JSON_STRING) return text::wtoi(node->strValue);
    if (node->kind == JSON_INT) return node->intValue;
    return 0;
}

} // namespace

void read_settings(CJsonNode& doc, UsbSettings& settings)
{
    for (const SettingEntry& entry : setting_table) {
        int32_t value;
        try {
            value = setting_value(doc.Member(u"usb")->Member(entry.key));
        } catch (int) {
            value = entry.fallback;
        }
        if (!entry.member)
            settings.active = value != 0 ? 1 : 0;
        else
            settings.*entry.member = value;
    }
}

namespace {
void load_rule_file(std::vector<UsbRule>& list, const char16_t* relative)
{
    list.clear();
    std::u16string text;
    if (!LoadSuiteFile(joined(suite_root_folder(), relative), text)) return;
    CJsonNode doc;
    if (!doc.LoadText(text)) return;
    CJsonNode* rules = doc.Member(u"rules");
    trace_rule_mistakes(*rules, relative);
    load_rule_list(list, rules);
}
} // namespace

void read_config()
{
    TRACE(u"> Enter");
    std::lock_guard<std::recursive_mutex> guard(settings_lock());

    // Bounded as a whole: "cfg" runs this on the listener, which must be free again within
    // seconds even when the monitor hangs with its pipe busy.
    class_commp commp(2000, 2000);
    commp.exchange_limit_ms = monitor_answer_limit_ms;
    // Settings from a process of another user named like the monitor are not taken: cfg.json
    // applies then, as when no monitor runs.
    commp.trusted_peers_only = true;
    const std::u16string answer =
        commp.AskProcess(u"halvarmon.exe", u"get_config", u"default", monitor_answer_limit_ms);
    SettingsFile file;
    CJsonNode* doc = nullptr;
    CJsonNode monitor_doc;
    std::u16string source;
    const char16_t* missing = u"";
    if (!answer.empty()) {
        if (!monitor_doc.LoadText(answer))
            TRACE(u"Settings: the monitor's answer does not parse; the settings take their fallback values");
        monitor_doc.strict = 1;
        doc = &monitor_doc;
        source = u"the monitor's answer";
        missing = u"they take their fallback values";
    } else {
        TRACE(u"Settings: no answer from halvarmon.exe; reading cfg.json");
        file = LoadSettingsFile(u"cfg.json");
        doc = file.doc.get();
        source = file.path;
        missing = u"every setting reads as 0";
    }
    // A document that was read but says nothing the loader can use; an empty one was traced
    // where it was given up.
    if (!doc->children.empty()) trace_settings_mistakes(*doc, source, missing);

    read_settings(*doc, g_settings);

    load_rule_file(io_rules, u"bin\\u_io.bin");
    load_rule_file(printer_rules, u"bin\\u_pr.bin");
    load_rule_file(network_rules, u"bin\\u_net.bin");

    load_initial_rules();

    main_rules.clear();
    try {
        CJsonNode* rules = doc->Member(u"usb")->Member(u"rules");
        trace_rule_mistakes(*rules, u"\"rules\" in \"usb\" of " + source);
        load_rule_list(main_rules, rules);
    } catch (int) {
        // A monitor answer without rules: no user rules.
    }

    const UsbSettings& s = g_settings;
    TRACE(u"active     : %i", int32_t(s.active));
    TRACE(u"action     : %i", s.action);
    TRACE(u"rules      : %i", int(main_rules.size()));
    TRACE(u"allow_io   : %i", s.allow_io);
    TRACE(u"allow_pr   : %i", s.allow_printers);
    TRACE(u"allow_net  : %i", s.allow_network);
    TRACE(u"initial    : %i", s.allow_initial);
    TRACE(u"rules (pr) : %i", int(printer_rules.size()));
    TRACE(u"rules (io) : %i", int(io_rules.size()));
    TRACE(u"rules (net): %i", int(network_rules.size()));
    TRACE(u"< Leave");
}

std::u16string settings_summary()
{
    std::lock_guard<std::recursive_mutex> guard(settings_lock());
    const UsbSettings& s = g_settings;
    return text::format(u"{\"active\":%i,\"action\":%i,\"allow_io\":%i,\"allow_printers\":%i,\"allow_network\":%i,"
                        u"\"report_on_allow\":%i,\"allow_initial\":%i,\"rules\":%u,\"rules_io\":%u,"
                        u"\"rules_printers\":%u,\"rules_network\":%u,\"rules_initial\":%u}",
                        int32_t(s.active), s.action, s.allow_io, s.allow_printers, s.allow_network, s.report_on_allow,
                        s.allow_initial, unsigned(main_rules.size()), unsigned(io_rules.size()),
                        unsigned(printer_rules.size()), unsigned(network_rules.size()), unsigned(initial_rules.size()));
}

void load_initial_rules()
{
    TRACE(u"> Enter");
    {
        std::lock_guard<std::recursive_mutex> guard(settings_lock());
        initial_rules.clear();
        std::u16string text;
        if (!LoadSuiteFile(get_path(u"current_usb"), text) || text.empty()) {
            _COUT(u"No initial rules file.");
        } else {
            CJsonNode doc;
            if (doc.LoadText(text)) {
                CJsonNode* rules = doc.Member(u"rules");
                _COUT(u"Initial rules count: " + IntText(int(rules->children.size())));
                load_rule_list(initial_rules, rules);
            }
        }
        TRACE(u"< Leave");
    }
}

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

namespace {

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
    trace_rule_mistakes(*doc.Member(u"rules"), path);
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
    WriteOutputFile(out, bytes.data(), bytes.size());
}
