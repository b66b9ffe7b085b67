#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <regex>

#include "json/hostjson/json_node.h"
#include "text/text.h"

namespace {

std::string u8(const std::u16string& s) { return text::to_utf8(s); }

// The written text without its line ends and indentation: enough to compare documents in a table.
std::string flat(const CJsonNode& node)
{
    return std::regex_replace(u8(node.ToText(0)), std::regex("\r\n *"), "");
}

std::string loaded(const std::u16string& text, bool fractional = false)
{
    CJsonNode node;
    node.fractionalNumbers = fractional ? 1 : 0;
    EXPECT_TRUE(node.LoadText(text));
    return flat(node);
}

TEST(CJsonNodeWrite, IndentedTextWithCrLf)
{
    CJsonNode root;
    CJsonNode* b = root.Child(u"b");
    b->AddInt(1);
    b->AddBool(true);
    root.SetString(u"a", u"x");
    EXPECT_EQ(u8(root.ToText(0)),
              "{\r\n"
              "    \"a\" : \"x\", \r\n"
              "    \"b\" : [\r\n"
              "        1, \r\n"
              "        true\r\n"
              "    ]\r\n"
              "}");
    EXPECT_EQ(u8(CJsonNode().ToText(0)), "{\r\n}");
    EXPECT_EQ(u8(CJsonNode().ToText(2)), "  {\r\n  }");
}

TEST(CJsonNodeWrite, StringsAreEscapedNamesAreNot)
{
    CJsonNode root;
    root.SetString(u"na\"me", u"t\tq\"\\\r\n/\x01ż");
    EXPECT_EQ(u8(root.ToText(0)), "{\r\n    \"na\"me\" : \"t\\tq\\\"\\\\\\r\\n/\\u0001ż\"\r\n}");
}

TEST(CJsonNodeWrite, ArrayKeysAreEightHexDigitsInInsertionOrder)
{
    CJsonNode list;
    for (int i = 0; i < 11; ++i)
        list.AddInt(100 + i);
    std::vector<std::u16string> keys;
    std::string values;
    for (const auto& [key, child] : list.children) {
        keys.emplace_back(key);
        values += std::to_string(child->intValue) + " ";
        EXPECT_EQ(child->name, u"");
    }
    ASSERT_EQ(keys.size(), 11u);
    EXPECT_EQ(keys[0], u"00000000");
    EXPECT_EQ(keys[9], u"00000009");
    EXPECT_EQ(keys[10], u"0000000a");
    EXPECT_EQ(values, "100 101 102 103 104 105 106 107 108 109 110 ");
    EXPECT_EQ(flat(list), "[100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110]");
}

TEST(CJsonNodeBuild, ScalarsReuseTheChildAndObjectsTurnIntoArrays)
{
    CJsonNode root;
    CJsonNode* child = root.Child(u"k");
    child->SetInt(u"inner", 5);
    root.SetInt(u"k", 7); // the same node, now an integer; its children stay but are not written
    EXPECT_EQ(root.Child(u"k"), child);
    EXPECT_EQ(child->children.size(), 1u);
    EXPECT_EQ(flat(root), "{\"k\" : 7}");
    root.SetBool(u"b", false);
    root.SetString(u"s", u"");
    EXPECT_EQ(flat(root), "{\"b\" : false, \"k\" : 7, \"s\" : \"\"}");

    // An element added to an object makes it an array; the members keep their name keys.
    root.AddString(u"e");
    EXPECT_EQ(root.kind, JSON_ARRAY);
    EXPECT_EQ(flat(root), "[\"e\", \"b\" : false, \"k\" : 7, \"s\" : \"\"]");
    EXPECT_EQ(root.children.count(u"00000003"), 1u);

    // On an array, Child and SetChild ignore the key and append.
    CJsonNode list;
    list.kind = JSON_ARRAY;
    CJsonNode* element = list.Child(u"ignored");
    EXPECT_EQ(element->name, u"");
    auto* named = new CJsonNode;
    named->name = u"keeps";
    list.SetChild(u"ignored", named);
    EXPECT_EQ(named->name, u"keeps");
    EXPECT_EQ(list.children.count(u"00000001"), 1u);
}

TEST(CJsonNodeBuild, SetChildReplacesAndFreesTheOldNode)
{
    CJsonNode root;
    root.Child(u"a")->SetString(u"old", u"x");
    auto* replacement = new CJsonNode;
    replacement->kind = JSON_INT;
    replacement->intValue = 3;
    root.SetChild(u"a", replacement); // the old subtree is freed (the leak checker would say)
    EXPECT_EQ(replacement->name, u"a");
    root.SetChild(u"a", replacement); // the same node again: kept, not freed
    EXPECT_EQ(flat(root), "{\"a\" : 3}");

    // An object whose member is named like an element key, turned into an array, then appended
    // to: the element takes that key and the member is freed, never leaked.
    CJsonNode mixed;
    mixed.SetInt(u"00000001", 1);
    mixed.AddInt(2);
    EXPECT_EQ(flat(mixed), "[2]");
}

TEST(CJsonNodeRead, MemberCreatesUnlessStrict)
{
    CJsonNode doc;
    doc.LoadText(u"{\"usb\":{\"active\":1,\"action\":\"2\"}}");
    EXPECT_EQ(doc.Member(u"usb")->Member(u"action")->AsString(), u"2");
    EXPECT_EQ(doc.Member(u"usb")->Member(u"active")->AsString(), u"1"); // an integer reads as its text
    EXPECT_EQ(doc.Member(u"usb")->Member(u"active")->kind, JSON_STRING);

    CJsonNode loose;
    loose.Member(u"brak");
    EXPECT_EQ(flat(loose), "{\"brak\" : {}}");
    loose.Member(u"brak")->AsString();
    EXPECT_EQ(flat(loose), "{\"brak\" : \"\"}");

    doc.strict = 1;
    CJsonNode* usb = doc.Member(u"usb");
    EXPECT_EQ(usb->strict, 1); // strictness spreads to members reached through Member
    try {
        usb->Member(u"allow_io");
        FAIL() << "a strict document created a member";
    } catch (int e) {
        EXPECT_EQ(e, 0);
    }
    EXPECT_EQ(usb->children.count(u"allow_io"), 0u);
}

TEST(CJsonNodeRead, AsStringOfABoolIsItsOldText)
{
    CJsonNode node;
    node.kind = JSON_BOOL;
    node.boolValue = 1;
    EXPECT_EQ(node.AsString(), u"");
    EXPECT_EQ(node.kind, JSON_STRING);

    CJsonNode number;
    number.kind = JSON_INT;
    number.intValue = -2147483647 - 1;
    EXPECT_EQ(number.AsString(), u"-2147483648");
    number.AsString() = u"tekst";
    EXPECT_EQ(flat(number), "\"tekst\"");
}

TEST(CJsonNodeRead, LenientReadingTable)
{
    struct Case {
        const char16_t* text;
        bool fractional;
        const char* expected;
    };
    const Case cases[] = {
        {u"{\"a\" : 1}", false, "{\"a\" : 1}"},
        {u"\"a\" : 1", false, "{\"a\" : 1}"},        // no outer braces
        {u"\"a\" 1", false, "{\"a\" : 1}"},          // the colon is optional
        {u" {\"a\":1}", false, "[{\"a\" : 1}]"},     // a blank first: wrapped, an element
        {u"[1,2]", false, "[[1, 2]]"},
        {u"", false, "{}"},
        {u"{\"n\":null}", false, "{\"n\" : 0}"},
        {u"{\"a\":1.5,\"b\":2}", false, "{\"a\" : 1}"}, // the decimal point ends the reading
        {u"{\"a\":4.29497E+009,\"b\":2}", false, "{\"a\" : 4}"},
        {u"{\"a\":1.5,\"b\":4.29497E+009,\"c\":-2e-3,\"d\":7}", true, "{\"a\" : 1, \"b\" : 4, \"c\" : -2, \"d\" : 7}"},
        {u"{\"s\":\"\\u00e9\"}", false, "{\"s\" : \"é\"}"},
        {u"{\"s\":\"\\u00E9\\uD83D\\uDE00\"}", false, "{\"s\" : \"é😀\"}"}, // a pair, unit by unit
        {u"{\"s\":\"a\\u0000b\\b\\f\\u001F\"}", false, "{\"s\" : \"a\\u0000b\\u0008\\u000c\\u001f\"}"},
        {u"{\"s\":\"\\u00zz\\u12\"}", false, "{\"s\" : \"u00zzu12\"}"}, // not four digits: the letter u
        {u"{\"l\":[\"a\",\"\"]}", false, "{\"l\" : [\"a\", \"\"]}"},
        {u"{\"l\":[\"\",\"b\"]}", false, "{\"l\" : [\"\", \"b\"]}"},
        {u"{\"l\":[\"\"]}", false, "{\"l\" : [\"\"]}"},
        {u"{\"l\":[\"a\",\"b\"]}", false, "{\"l\" : [\"a\", \"b\"]}"},
        {u"{\"a\":1,\"a\":2}", false, "{\"a\" : 2}"},
        {u"{\"\":1}", false, "[1]"},
        {u"{\"x\":{\"\":5}}", false, "{\"x\" : [5]}"},
        {u"{\"a\":1, @ \"b\":2}", false, "{\"a\" : 1}"},           // an unreadable token ends every level
        {u"{\"a\":[1,2}, \"b\":3}", false, "{\"a\" : [1, 2], \"b\" : 3}"}, // either bracket closes
        {u"{\"a\":{\"b\":1]]", false, "{\"a\" : {\"b\" : 1}}"},
        {u"{\"a\":99999999999,\"b\":-99999999999}", false, "{\"a\" : 2147483647, \"b\" : -2147483648}"},
        {u"{\"a\":-}", false, "{\"a\" : 0}"},
        {u"{\"a\":\"x\\\"y\\\\z\\n\\q\"}", false, "{\"a\" : \"x\\\"y\\\\z\\nq\"}"},
        {u"{\"a\":\"otwarty", false, "{\"a\" : \"otwarty\"}"},
        {u"{\"a\":\"x\\", false, "{\"a\" : \"x\"}"},
        {u"{\"a\":\"q\\\"", false, "{\"a\" : \"q\"}"},
        {u"{\"a\":tru}", false, "{}"},
        {u"{\"a\":truex,\"b\":false}", false, "{\"a\" : true}"},
        {u"{\"a\" \"b\" \"c\"}", false, "{\"a\" : \"b\"}"},
        {u"{\"zażółć\":\"gęślą\"}", false, "{\"zażółć\" : \"gęślą\"}"},
        {u"{\t\r\n\"a\"\t:\r\n1\n}", false, "{\"a\" : 1}"},
        {u"{\"a\":\f1}", false, "{}"}, // a form feed is not white space here
        {u"*hex*007B0022006100220020003A00200031007D", false, "{\"a\" : 1}"},
        {u"*hex*007B0022006100220020003A00200031007D00", false, "{\"a\" : 1}"}, // short group ignored
        {u"*hex*0022006100220031", false, "{\"a\" : 1}"},
        {u"*hex*-07B", false, "{}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loaded(c.text, c.fractional), c.expected) << u8(c.text);
}

TEST(CJsonNodeRead, LoadingReplacesChildrenButKeepsTheNodesOwnFields)
{
    CJsonNode node;
    node.SetInt(u"stary", 1);
    node.kind = JSON_ARRAY;
    EXPECT_TRUE(node.LoadText(u"{\"a\":1,\"b\":2}"));
    EXPECT_EQ(flat(node), "[1, 2]"); // an array receives the members as elements
}

TEST(CJsonNodeRead, CopyThroughTextKeepsASettingsDocument)
{
    const std::u16string text =
        u"{\"usb\":{\"action\":2,\"active\":1,\"allow_io\":\"1\",\"rules\":[[{\"klasa\":\"DiskDrive\","
        u"\"numer\":\"=0123\",\"opis\":\"\",\"producent\":\"SanDisk\",\"produkt\":\"Cruzer\"},1],"
        u"[{\"klasa\":\"Printer\",\"producent\":\"Żółw \\\"S.A.\\\"\"},0]]}}";
    CJsonNode original;
    original.LoadText(text);
    CJsonNode copy;
    copy.LoadText(original.ToText(0));
    EXPECT_EQ(copy.ToText(0), original.ToText(0));
    CJsonNode* rules = copy.Member(u"usb")->Member(u"rules");
    ASSERT_EQ(rules->children.size(), 2u);
    CJsonNode* second = std::next(rules->children.begin())->second;
    EXPECT_EQ(second->children.size(), 2u);
    EXPECT_EQ(second->children.begin()->second->Member(u"producent")->AsString(), u"Żółw \"S.A.\"");
    EXPECT_EQ(copy.Member(u"usb")->Member(u"action")->intValue, 2);
}

// Every member as the reader leaves it: key, name, kind and value, nested members included.
std::string dump(const CJsonNode& node)
{
    std::string out = "<" + u8(node.name) + "|" + std::to_string(node.kind) + "|" + u8(node.strValue) + "|" +
                      std::to_string(node.intValue) + "|" + std::to_string(node.boolValue) + "|" +
                      std::to_string(node.strict) + "|" + std::to_string(node.fractionalNumbers);
    for (const auto& [key, child] : node.children) out += " " + u8(std::u16string(key)) + "=" + dump(*child);
    return out + ">";
}

// A copy is the document as its text reads back, whether it is made member by member (a flat
// object of scalars with plain names) or through the text (anything else).
TEST(CJsonNodeRead, LoadCopyIsTheDocumentAsItsTextReadsBack)
{
    struct Case {
        const char* what;
        std::function<void(CJsonNode&)> make;
    };
    const Case cases[] = {
        {"an identity", [](CJsonNode& d) {
             d.SetString(u"producent", u"Żółw \"S.A.\"\\ \x01\t\r\n\xD83D");
             d.SetString(u"produkt", u"");
             d.SetInt(u"action", 1);
             d.SetInt(u"min", INT32_MIN);
             d.SetBool(u"yes", true);
         }},
        {"a truth value other than 1", [](CJsonNode& d) { d.SetBool(u"b", true); d.Child(u"b")->boolValue = 7; }},
        {"an empty object", [](CJsonNode&) {}},
        {"a name with a quote", [](CJsonNode& d) { d.SetString(u"a\"b", u"x"); }},
        {"a name with a control character", [](CJsonNode& d) { d.SetString(u"a\x01", u"x"); }},
        {"an empty name", [](CJsonNode& d) { d.SetString(u"", u"x"); }},
        {"a name other than the key", [](CJsonNode& d) { d.SetString(u"a", u"x"); d.Child(u"a")->name = u"z"; }},
        {"a nested object", [](CJsonNode& d) { d.Child(u"o")->SetString(u"k", u"v"); d.SetInt(u"n", 2); }},
        {"a member of no kind", [](CJsonNode& d) { d.SetString(u"a", u"x"); d.Child(u"a")->kind = 0; }},
        {"an array", [](CJsonNode& d) { d.AddString(u"x"); d.AddInt(3); }},
    };
    for (const Case& c : cases) {
        for (const bool into_array : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (into_array ? ", into an array" : ""));
            CJsonNode original;
            c.make(original);
            CJsonNode through_text, copy;
            through_text.SetInt(u"old", 1);
            copy.SetInt(u"old", 1);
            if (into_array) through_text.kind = copy.kind = JSON_ARRAY;
            through_text.LoadText(original.ToText(0));
            EXPECT_TRUE(copy.LoadCopy(original));
            EXPECT_EQ(dump(copy), dump(through_text));
            EXPECT_EQ(copy.ToText(0), through_text.ToText(0));
        }
    }
}

// Reading only some members of the root gives those members, and the root's kind, exactly as the
// whole reading does, whatever the rest of the text holds.
TEST(CJsonNodeRead, LoadMembersAgreesWithLoadTextOnTheMembersItReads)
{
    const char16_t* texts[] = {
        u"{\"a\":{\"x\":1},\"skip\":[1,{\"y\":[2,3]},\"]\"],\"b\":{\"z\":\"t\"}}",
        // repeated: the later value stands
        u"{\"a\":{\"x\":1},\"a\":{\"x\":2}}",
        // an element before the member turns the root into an array: the member is then no member
        u"{[1,2],\"a\":{\"x\":1}}",
        u"{\"a\":{\"x\":1},{\"q\":0},\"b\":[7]}",
        // a closing bracket of the other kind ends a passed-over container too
        u"{\"skip\":{\"q\":[1,2},\"a\":{\"x\":1}}",
        // a token that cannot be read inside a passed-over container ends every level
        u"{\"skip\":[1,@],\"a\":{\"x\":1}}",
        // unterminated
        u"{\"skip\":[[[[",
        u"{\"a\":{\"x\":[1,2,",
        // passed over deeper than the reader's own limit
        u"{\"skip\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
        u"]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]],\"a\":{\"x\":1}}",
        // scalars and an empty string waiting at the root
        u"{\"\",[1],\"a\":{\"x\":1}}",
        u"{\"n\":5,\"a\":\"text\",\"b\":{\"x\":\"]\"}}",
        // not wrapped in braces, and the device document's shape
        u"\"a\":{\"x\":1},\"skip\":[]",
        u"{\"Configurations\":[{\"Interface\":0,\"EndPoints\":[129,2]}],\"DeviceDescriptor\":{\"Manufacturer\":"
        u"\"Acme\",\"Product\":\"Stick\"},\"DeviceProperty\":{\"ClassName\":\"DiskDrive\"}}",
    };
    for (const char16_t* text : texts) {
        SCOPED_TRACE(u8(text));
        CJsonNode whole, part;
        ASSERT_TRUE(whole.LoadText(text));
        ASSERT_TRUE(part.LoadMembers(text, {u"a", u"b", u"DeviceDescriptor", u"DeviceProperty"}));
        EXPECT_EQ(part.kind, whole.kind);
        for (const char16_t* name : {u"a", u"b", u"DeviceDescriptor", u"DeviceProperty"}) {
            SCOPED_TRACE(u8(name));
            auto w = whole.children.find(std::u16string_view(name));
            auto p = part.children.find(std::u16string_view(name));
            ASSERT_EQ(p != part.children.end(), w != whole.children.end());
            if (w != whole.children.end()) EXPECT_EQ(flat(*p->second), flat(*w->second));
        }
    }
}

} // namespace
