#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "host/paths.h"
#include "json/hostjson/json_node.h"
#include "policy_fixture.h"

// Counts the allocations of the thread that asks, so that a test can show a piece of code makes
// none. Every form of the plain operators is replaced, so that each block is freed the way it was
// taken.
namespace {
thread_local bool g_counting = false;
thread_local size_t g_allocations = 0;

void* counted_allocation(size_t size)
{
    if (g_counting) ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(size_t size) { return counted_allocation(size); }
void* operator new[](size_t size) { return counted_allocation(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    if (g_counting) ++g_allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using policy_test::PolicyTest;

UsbRule rule(std::u16string produkt, std::u16string producent, std::u16string numer, int32_t action,
             std::u16string klasa = {}, std::u16string opis = {})
{
    return UsbRule{std::move(produkt), std::move(producent), std::move(numer), std::move(klasa), std::move(opis), action};
}
UsbRule device(std::u16string produkt, std::u16string producent = {}, std::u16string numer = {},
               std::u16string klasa = {}, std::u16string opis = {})
{
    return rule(std::move(produkt), std::move(producent), std::move(numer), 1, std::move(klasa), std::move(opis));
}

UsbSettings all_lists()
{
    UsbSettings s;
    s.allow_io = s.allow_printers = s.allow_network = s.allow_initial = 1;
    return s;
}

class Matching : public ::testing::Test {
protected:
    policy_test::SavedPolicyState saved_;
};

TEST_F(Matching, FirstDecidingRuleOverTheListsTheSettingsAllow)
{
    struct Case {
        const char* what;
        UsbSettings settings;
        std::vector<UsbRule> main;
        UsbRule device;
        bool serial_only;
        int32_t expected;
        std::vector<UsbRule> io = {};
        std::vector<UsbRule> initial = {};
    };
    UsbSettings no_io = all_lists();
    no_io.allow_io = 0;
    UsbSettings no_initial = all_lists();
    no_initial.allow_initial = 0;
    const Case cases[] = {
        {"containment ignores case", all_lists(), {rule(u"acme", u"", u"", 0)}, device(u"Acme Flash"), false, 0},
        {"containment of the whole text", all_lists(), {rule(u"acme", u"", u"", 0)}, device(u"ACME"), false, 0},
        {"containment needs all of the pattern", all_lists(), {rule(u"acme", u"", u"", 0)}, device(u"Acm"), false, 0xFFFF},
        {"exact ignores case", all_lists(), {rule(u"=acme", u"", u"", 0)}, device(u"AcMe"), false, 0},
        {"exact is not containment", all_lists(), {rule(u"=acme", u"", u"", 0)}, device(u"acme flash"), false, 0xFFFF},
        {"lower-casing is not only ASCII", all_lists(), {rule(u"=łódź", u"", u"", 0)}, device(u"ŁÓDŹ"), false, 0},
        {"a lone = matches only the empty text", all_lists(), {rule(u"", u"", u"=", 0)}, device(u"x", u"y", u""), false, 0},
        {"a lone = does not match a text", all_lists(), {rule(u"", u"", u"=", 0)}, device(u"x", u"y", u"1"), false, 0xFFFF},
        {"all-empty rule matches every device", all_lists(), {rule(u"", u"", u"", 0)}, device(u"any", u"thing", u"9", u"c", u"d"), false, 0},
        {"every field must match", all_lists(), {rule(u"acme", u"", u"", 0, u"", u"disk")}, device(u"acme", u"", u"", u"", u"printer"), false, 0xFFFF},
        {"io rules come first", all_lists(), {rule(u"", u"", u"", 1)}, device(u"a"), false, 0, {rule(u"", u"", u"", 0)}},
        {"io rules are skipped with allow_io 0", no_io, {rule(u"", u"", u"", 1)}, device(u"a"), false, 1, {rule(u"", u"", u"", 0)}},
        {"main rules are always consulted", no_io, {rule(u"", u"", u"", 0)}, device(u"a"), false, 0},
        {"initial rules are skipped with allow_initial 0", no_initial, {}, device(u"a"), false, 0xFFFF, {}, {rule(u"", u"", u"", 0)}},
        {"initial rules decide last", all_lists(), {rule(u"zzz", u"", u"", 0)}, device(u"a"), false, 1, {}, {rule(u"", u"", u"", 1)}},
        {"the first deciding rule wins", all_lists(), {rule(u"a", u"", u"", 0), rule(u"a", u"", u"", 1)}, device(u"a"), false, 0},
        {"action 2 never decides", all_lists(), {rule(u"", u"", u"", 2), rule(u"", u"", u"", 1)}, device(u"a"), false, 1},
        {"action 2 alone leaves it undecided", no_initial, {rule(u"", u"", u"", 2)}, device(u"a"), false, 0xFFFF},
        {"serial only: other fields do not count", all_lists(), {rule(u"zzz", u"zzz", u"=ab12", 0)}, device(u"a", u"b", u"AB12"), true, 0},
        {"serial only: containment", all_lists(), {rule(u"", u"", u"b1", 0)}, device(u"a", u"b", u"AB12"), true, 0},
        {"serial only: device without serial", no_initial, {rule(u"", u"", u"ab", 0)}, device(u"a"), true, 0xFFFF},
        {"serial only: empty serial pattern", no_initial, {rule(u"", u"", u"", 0)}, device(u"a", u"b", u"AB12"), true, 0xFFFF},
        {"serial only: a lone =", no_initial, {rule(u"", u"", u"=", 0)}, device(u"a", u"b", u"AB12"), true, 0xFFFF},
        // A device string may hold a NUL (the inventory reads descriptors raw): the text goes on after it.
        {"exact over the whole product, NUL included", no_initial, {rule(u"=Good Mouse", u"", u"", 1)}, device(std::u16string(u"Good Mouse\0Evil", 15)), false, 0xFFFF},
        {"exact over the whole serial, NUL included", no_initial, {rule(u"", u"", u"=SAFE-1", 1)}, device(u"p", u"m", std::u16string(u"SAFE-1\0X", 8)), true, 0xFFFF},
        {"exact over the whole manufacturer, NUL included", no_initial, {rule(u"", u"=Trusted", u"", 1)}, device(u"p", std::u16string(u"Trusted\0", 8)), false, 0xFFFF},
        {"containment sees past a NUL", no_initial, {rule(u"evil", u"", u"", 0)}, device(std::u16string(u"Good Mouse\0Evil", 15)), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_settings = c.settings;
        io_rules = c.io;
        printer_rules.clear();
        network_rules.clear();
        main_rules = c.main;
        initial_rules = c.initial;
        EXPECT_EQ(match_rules(c.device, c.serial_only), c.expected);
    }
}

// The field test compares code unit by code unit, and four ASCII units at a time; it must give
// what lower-casing both texts and searching did, on texts with mixed case, non-ASCII letters,
// repeats, "=" and the units next to the capitals ("@" and "[", whose 0x20 bit makes "`" and "{").
TEST_F(Matching, FieldTestAgreesWithLowerCasingAndSearching)
{
    const std::u16string alphabet = u"aAbB=ąĄżŻzZ@[`{";
    // A unit and the one it is swapped with: its other case, or a near miss.
    const std::u16string from = u"aAbBąĄżŻzZ@`[{", to = u"AaBbĄąŻżZz`@{[";
    std::mt19937 random(42);
    auto some_text = [&](size_t max) {
        std::u16string s(random() % (max + 1), u' ');
        for (char16_t& c : s) c = alphabet[random() % alphabet.size()];
        return s;
    };
    // A part of `value` (all of it, behind "=", one time in four) with some units swapped, so that
    // patterns long enough for whole words meet texts they nearly match.
    auto pattern_from = [&](const std::u16string& value) {
        const size_t at = value.empty() ? 0 : random() % value.size();
        std::u16string p = random() % 4 == 0 ? u"=" + value : value.substr(at, random() % (value.size() - at + 1));
        for (char16_t& c : p)
            if (const size_t k = from.find(c); k != std::u16string::npos && random() % 3 == 0) c = to[k];
        return p;
    };
    for (int i = 0; i < 40000; ++i) {
        const std::u16string value = some_text(14);
        const std::u16string pattern = i % 2 ? pattern_from(value) : some_text(9);
        const bool exact = !pattern.empty() && pattern[0] == u'=';
        const std::u16string p = text::to_lower(exact ? pattern.substr(1) : pattern), v = text::to_lower(value);
        const bool expected = exact ? v == p : v.find(p) != std::u16string::npos;
        ASSERT_EQ(match_field(value, pattern), expected)
            << text::to_utf8(value) << " / " << text::to_utf8(pattern);
    }
}

// A device text longer than the room the matcher lowers it in (USB strings are short, a device
// description need not be) is matched all the same, to its last unit.
TEST_F(Matching, LongDeviceTextsAreMatchedWhole)
{
    std::u16string long_text(300, u'x');
    long_text += u"ŻÓŁW Tail";
    struct Case {
        const char16_t* pattern;
        bool expected;
    } cases[] = {
        {u"żółw tail", true},
        {u"ŻÓŁW TAIL", true},
        {u"żółw tails", false},
        {u"=żółw tail", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(match_field(long_text, c.pattern), c.expected) << text::to_utf8(c.pattern);
    const std::u16string lowered = text::to_lower(long_text);
    EXPECT_TRUE(match_field(long_text, u"=" + lowered));
    EXPECT_FALSE(match_field(long_text, u"=" + lowered.substr(1)));
}

// Rules read from their JSON form keep their texts as written; they decide with case ignored,
// whatever the case of pattern and device.
TEST_F(Matching, LoadedRulesKeepTheirTextsAndMatchAsGiven)
{
    CJsonNode doc;
    doc.LoadText(u"{\"rules\" : [[{\"produkt\" : \"=ŻÓŁW Pendrive\", \"producent\" : \"ACME\", \"numer\" : \"\","
                 u" \"klasa\" : \"Disk\", \"opis\" : \"Ąę\"}, 0], [{\"produkt\" : \"Ab\"}, \"1\"]]}");
    std::vector<UsbRule> loaded;
    load_rule_list(loaded, doc.Member(u"rules"));
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].produkt, u"=ŻÓŁW Pendrive");
    EXPECT_EQ(loaded[0].producent, u"ACME");
    EXPECT_EQ(loaded[0].klasa, u"Disk");
    EXPECT_EQ(loaded[0].opis, u"Ąę");
    EXPECT_EQ(loaded[1].produkt, u"Ab");
    g_settings = all_lists();
    io_rules.clear();
    printer_rules.clear();
    network_rules.clear();
    initial_rules.clear();
    main_rules = loaded;
    EXPECT_EQ(match_rules(device(u"żółw PENDRIVE", u"Acme Corp", u"", u"DiskDrive", u"xĄĘx"), false), 0);
    EXPECT_EQ(match_rules(device(u"żółw PENDRIVE 2", u"Acme Corp", u"", u"DiskDrive", u"ąę"), false), 0xFFFF);
    EXPECT_EQ(match_rules(device(u"xaBx"), false), 1);
    EXPECT_EQ(match_rules(device(u"xa-Bx"), false), 0xFFFF);
}

TEST_F(Matching, AllocatesNothingPerRule)
{
    g_settings = all_lists();
    main_rules.assign(1000, rule(u"Zębatka Pendrive", u"=ACME CORPORATION", u"=0012345678", 1, u"disk", u"storage"));
    io_rules.assign(1000, rule(u"", u"", u"", 2));
    initial_rules.clear();
    const UsbRule d = device(u"ZĘBATKA PENDRIVE 64", u"Acme Corporation", u"0012345670", u"DiskDrive", u"USB storage");
    // The counter sees this build's allocations at all.
    g_allocations = 0;
    g_counting = true;
    const std::u16string probe(100, u'x');
    g_counting = false;
    ASSERT_GT(g_allocations, 0u);

    g_allocations = 0;
    g_counting = true;
    const int32_t r = match_rules(d, false);
    const int32_t s = match_rules(d, true);
    g_counting = false;
    EXPECT_EQ(r, 0xFFFF);
    EXPECT_EQ(s, 0xFFFF);
    EXPECT_EQ(g_allocations, 0u);
}

class InitialRules : public PolicyTest {};

// The initial device list is read into rules with the texts as recorded; "=Acme" still matches
// ACME, and only ACME.
TEST_F(InitialRules, KeepTheTextsAsRecorded)
{
    ASSERT_EQ(WriteWholeFile(get_path(u"current_usb"),
                             std::u16string(u"{\"rules\" : [[{\"produkt\" : \"=Klawiatura Łódź\", \"producent\" : \"=Acme\","
                                            u" \"numer\" : \"=\", \"klasa\" : \"=Keyboard\", \"opis\" : \"=HID\"}, 1],"
                                            u" \"not a rule\"]}")),
              1);
    load_initial_rules();
    ASSERT_EQ(initial_rules.size(), 1u);
    const UsbRule& r = initial_rules[0];
    EXPECT_EQ(r.produkt, u"=Klawiatura Łódź");
    EXPECT_EQ(r.producent, u"=Acme");
    EXPECT_EQ(r.numer, u"=");
    EXPECT_EQ(r.klasa, u"=Keyboard");
    EXPECT_EQ(r.opis, u"=HID");
    EXPECT_EQ(r.action, 1);

    g_settings = all_lists();
    io_rules.clear();
    printer_rules.clear();
    network_rules.clear();
    main_rules.clear();
    EXPECT_EQ(match_rules(device(u"KLAWIATURA ŁÓDŹ", u"ACME", u"", u"keyboard", u"hid"), false), 1);
    EXPECT_EQ(match_rules(device(u"klawiatura łódź", u"Acme Corp", u"", u"Keyboard", u"HID"), false), 0xFFFF);
}

class RuleMessage : public PolicyTest {};

TEST_F(RuleMessage, ExactPatternsALabelAndTheVerdict)
{
    CJsonNode identity;
    identity.SetString(u"producent", u"Acme");
    identity.SetString(u"produkt", u"Stick \"2\"");
    identity.SetString(u"klasa", u"");
    identity.SetString(u"opis", u"Disk");
    identity.SetString(u"numer", u"");
    identity.SetString(u"checksum", u"ABC");
    identity.SetString(u"user", u"ania");
    const std::u16string before = identity.ToText(0);

    const std::u16string body = u"{\r\n"
                                u"    \"checksum\" : \"ABC\", \r\n"
                                u"    \"etykieta\" : \"Acme/Stick \\\"2\\\"/2024.01.31 09:59:59\", \r\n"
                                u"    \"klasa\" : \"\", \r\n"
                                u"    \"numer\" : \"\", \r\n"
                                u"    \"opis\" : \"=Disk\", \r\n"
                                u"    \"producent\" : \"=Acme\", \r\n"
                                u"    \"produkt\" : \"=Stick \\\"2\\\"\", \r\n"
                                u"    \"user\" : \"ania\"\r\n"
                                u"}";
    EXPECT_EQ(device_rule_message(identity, false), u"usb_device_add_rule0:" + body);
    EXPECT_EQ(device_rule_message(identity, true), u"usb_device_add_rule1:" + body);
    EXPECT_EQ(identity.ToText(0), before);

    // Without texts the label is the time alone.
    CJsonNode bare;
    bare.SetString(u"checksum", u"X");
    const std::u16string m = device_rule_message(bare, true);
    EXPECT_NE(m.find(u"\"etykieta\" : \"2024.01.31 09:59:59\""), std::u16string::npos) << text::to_utf8(m);
}

// The rules test: the settings come from cfg.json (no monitor runs), with the three suite lists and
// the initial rules switched off, so that only the user rules below decide.
class RulesFile : public PolicyTest {
protected:
    void SetUp() override
    {
        write_settings(R"({"usb":{"active":1,"action":1,"allow_io":0,"allow_printers":0,"allow_network":0,)"
                       R"("allow_initial":0,"rules":[[{"produkt":"acme"},0],[{"producent":"=Zeta"},"1"]]}})");
    }
    std::u16string input_path() const { return data_.windows(u"rules.json"); }
    std::filesystem::path output() const { return data_.path() / "rules.json.blocked.json"; }
    void write_input(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(WriteWholeFile(input_path(), bytes.data(), bytes.size()), 1);
    }
};

std::vector<uint8_t> utf8_bytes(std::u16string_view s)
{
    const std::string b = text::to_utf8(s);
    return {b.begin(), b.end()};
}

std::vector<uint8_t> bom_utf8(std::u16string_view s)
{
    std::vector<uint8_t> b = {0xEF, 0xBB, 0xBF};
    const std::vector<uint8_t> text = utf8_bytes(s);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

TEST_F(RulesFile, WritesExactlyTheElementsNotAllowed)
{
    const std::u16string input =
        u"{\"rules\":["
        u"[{\"produkt\":\"=Acme Flash\",\"producent\":\"=Zeta\"},1],"  // the first user rule blocks it
        u"[{\"produkt\":\"=Other\",\"producent\":\"=zeta\"},1],"       // allowed by the second
        u"[{\"produkt\":\"Ünicode 😀\",\"producent\":\"x\"},1],"      // no rule decides
        u"[{\"numer\":12345},1],"                                       // a number read as its text
        u"\"stray text\""                                              // tested as a device without texts
        u"]}";
    // Each element is listed as the rule reader left it: the five texts it read are there, the
    // ones the element left out created empty and the number turned into its text.
    const std::u16string expected = u"{\r\n"
                                    u"    \"rules\" : [\r\n"
                                    u"        [\r\n"
                                    u"            {\r\n"
                                    u"                \"klasa\" : \"\", \r\n"
                                    u"                \"numer\" : \"\", \r\n"
                                    u"                \"opis\" : \"\", \r\n"
                                    u"                \"producent\" : \"=Zeta\", \r\n"
                                    u"                \"produkt\" : \"=Acme Flash\"\r\n"
                                    u"            }, \r\n"
                                    u"            1\r\n"
                                    u"        ], \r\n"
                                    u"        [\r\n"
                                    u"            {\r\n"
                                    u"                \"klasa\" : \"\", \r\n"
                                    u"                \"numer\" : \"\", \r\n"
                                    u"                \"opis\" : \"\", \r\n"
                                    u"                \"producent\" : \"x\", \r\n"
                                    u"                \"produkt\" : \"Ünicode 😀\"\r\n"
                                    u"            }, \r\n"
                                    u"            1\r\n"
                                    u"        ], \r\n"
                                    u"        [\r\n"
                                    u"            {\r\n"
                                    u"                \"klasa\" : \"\", \r\n"
                                    u"                \"numer\" : \"12345\", \r\n"
                                    u"                \"opis\" : \"\", \r\n"
                                    u"                \"producent\" : \"\", \r\n"
                                    u"                \"produkt\" : \"\"\r\n"
                                    u"            }, \r\n"
                                    u"            1\r\n"
                                    u"        ], \r\n"
                                    u"        \"stray text\"\r\n"
                                    u"    ]\r\n"
                                    u"}";
    const std::string expected_bytes = text::to_utf8(expected);
    // The emoji is kept as its four UTF-8 bytes.
    ASSERT_NE(expected_bytes.find("\xF0\x9F\x98\x80"), std::string::npos);

    struct Form {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Form forms[] = {
        {"plain UTF-16LE", text::to_utf16le(input)},
        {"UTF-16LE in the scrambled container", container::pack(text::to_utf16le(input))},
        {"UTF-8 with a byte-order mark, as Windows editors save it", bom_utf8(input)},
    };
    for (const Form& f : forms) {
        SCOPED_TRACE(f.what);
        std::filesystem::remove(output());
        write_input(f.bytes);
        test_rules_file(input_path());
        EXPECT_EQ(platform_test::read_text_file(output()), expected_bytes);
    }
    EXPECT_EQ(g_settings.active, 1);
    EXPECT_EQ(main_rules.size(), 2u);
}

TEST_F(RulesFile, MissingEmptyAndRulelessInputs)
{
    test_rules_file(input_path());
    EXPECT_FALSE(std::filesystem::exists(output()));

    write_input({});
    test_rules_file(input_path());
    EXPECT_FALSE(std::filesystem::exists(output()));

    write_input(utf8_bytes(u"{\"other\":[1,2]}"));
    test_rules_file(input_path());
    EXPECT_EQ(platform_test::read_text_file(output()), "{\r\n}");

    // Every element allowed: the result holds nothing either.
    write_input(utf8_bytes(u"{\"rules\":[[{\"producent\":\"zeta\"},0]]}"));
    test_rules_file(input_path());
    EXPECT_EQ(platform_test::read_text_file(output()), "{\r\n}");
}

} // namespace
