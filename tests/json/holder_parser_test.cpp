#include <gtest/gtest.h>

#include "json/holder/json_holder.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

std::string u8(const std::u16string& s) { return text::to_utf8(s); }

// "ok: <text written back>" or "error: <message>".
std::string outcome(std::u16string_view input)
{
    JsonHolder result;
    std::u16string error;
    if (!JsonHolder::Parse(input, result, error)) return "error: " + u8(error);
    EXPECT_EQ(error, u"");
    return "ok: " + u8(result.ToString());
}

struct Case {
    const char16_t* input;
    const char* expected;
};

TEST(JsonHolderParse, AcceptedDocuments)
{
    const Case cases[] = {
        {u"[]", "ok: []"},
        {u"{}", "ok: {}"},
        {u" \t\r\n\v\f{ \"a\" :\t1 }\r\n", "ok: {\"a\":1}"},
        {u"{\"b\":[true,false,null,{\"x\":-1.5e-3}],\"a\":\"t\"}",
         "ok: {\"a\":\"t\",\"b\":[true,false,null,{\"x\":-0.0015}]}"},
        {u"[1,-2,3.25,1E2,1e-2,0.5]", "ok: [1,-2,3.25,100,0.01,0.5]"},
        // "%lf" takes the longest leading number and the rest is silently dropped.
        {u"[1.2.3]", "ok: [1.2]"},
        {u"[1-2]", "ok: [1]"},
        {u"[--1]", "error: Linia=1 Kolumna=6 Niepoprawny format liczby"},
        {u"[1e]", "ok: [1]"},
        // A second root replaces the first.
        {u"{\"a\":1}{\"b\":2}", "ok: {\"b\":2}"},
        {u"[1] [2]", "ok: [2]"},
        {u"[[[]],{}]", "ok: [[[]],{}]"},
        {u"{\"a\":{\"b\":{}}}", "ok: {\"a\":{\"b\":{}}}"},
        // The closing bracket may follow a scalar directly.
        {u"[true]", "ok: [true]"},
        {u"{\"a\":null}", "ok: {\"a\":null}"},
        {u"[5 ,6 ]", "ok: [5,6]"},
        // Members out of order take their place by name, at every level; names may repeat in
        // different objects.
        {u"{\"b\":1,\"a\":2,\"c\":{\"z\":[{\"y\":1,\"x\":2}],\"a\":3}}",
         "ok: {\"a\":2,\"b\":1,\"c\":{\"a\":3,\"z\":[{\"x\":2,\"y\":1}]}}"},
        {u"{\"ab\":1,\"a\":2,\"B\":3,\"b\":4}", "ok: {\"B\":3,\"a\":2,\"ab\":1,\"b\":4}"},
        {u"[{\"a\":1},{\"a\":2,\"b\":{\"a\":3}}]", "ok: [{\"a\":1},{\"a\":2,\"b\":{\"a\":3}}]"},
        // No root at all is a Null document.
        {u"", "ok: null"},
        {u"  \n ", "ok: null"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(c.input), c.expected) << u8(c.input);
}

TEST(JsonHolderParse, SyntaxErrorsCarryTheirPosition)
{
    const Case cases[] = {
        {u"5", "error: Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"\"s\"", "error: Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"true", "error: Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"\uFEFF{}", "error: Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"\u00A0{}", "error: Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"{}x", "error: Linia=1 Kolumna=4 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"[1,]", "error: Linia=1 Kolumna=5 Nieprawidłowy początek wartości"},
        {u"{\"a\":1,}", "error: Linia=1 Kolumna=9 Nieprawidłowy początek nazwy pola"},
        {u"{a:1}", "error: Linia=1 Kolumna=3 Nieprawidłowy znak rozpoczynający wartość"},
        {u"{\"a\":1,b:2}", "error: Linia=1 Kolumna=9 Nieprawidłowy początek nazwy pola"},
        {u"{\"\":1}", "error: Linia=1 Kolumna=4 Nazwa pola nie może być pusta"},
        {u"{\"a\":1,\"a\":2}", "error: Pole obiektu o wskazanej nazwie już istnieje"},
        // A repeated name is found where it stands, also after names out of order, and before
        // any later fault.
        {u"{\"b\":1,\"a\":2,\"b\":3}", "error: Pole obiektu o wskazanej nazwie już istnieje"},
        {u"{\"c\":1,\"a\":2,\"b\":3,\"a\":4}", "error: Pole obiektu o wskazanej nazwie już istnieje"},
        {u"{\"x\":{\"a\":1},\"y\":{\"b\":2,\"b\":3 !", "error: Pole obiektu o wskazanej nazwie już istnieje"},
        {u"[nul]", "error: Linia=1 Kolumna=6 Nieprawidłowy literał"},
        {u"[trUe]", "error: Linia=1 Kolumna=5 Nieprawidłowy literał"},
        {u"[truex]", "error: Linia=1 Kolumna=7 Nieprawidłowy literał lub znak po literale"},
        {u"[true}", "error: Linia=1 Kolumna=7 Nieprawidłowy literał lub znak po literale"},
        {u"[1e+5]", "error: Linia=1 Kolumna=5 Nieprawidłowy znak po liczbie"},
        {u"[1}", "error: Linia=1 Kolumna=4 Nieprawidłowy znak po liczbie"},
        {u"[-]", "error: Linia=1 Kolumna=4 Niepoprawny format liczby"},
        {u"[.5]", "error: Linia=1 Kolumna=3 Nieprawidłowy znak zaczynający wartość"},
        {u"[,1]", "error: Linia=1 Kolumna=3 Nieprawidłowy znak zaczynający wartość"},
        {u"{\"a\" 1}", "error: Linia=1 Kolumna=7 Po nazwie musi być dwukropek"},
        {u"{\"a\":}", "error: Linia=1 Kolumna=7 Nieprawidłowy początek wartości"},
        {u"[1 2]", "error: Linia=1 Kolumna=5 Nieprawidłowy znak po elemencie tablicy"},
        {u"{\"a\":1 \"b\":2}", "error: Linia=1 Kolumna=9 Nieprawidłowy znak po polu obiektu"},
        {u"[1]]", "error: Linia=1 Kolumna=5 Nieprawidłowy znak rozpoczynający treść JSON"},
        {u"[\"abc", "error: Linia=1 Kolumna=6 Tekst JSON niedokończony"},
        {u"[1", "error: Linia=1 Kolumna=3 Tekst JSON niedokończony"},
        {u"{\"a\":[", "error: Linia=1 Kolumna=7 Tekst JSON niedokończony"},
        {u"{\"a\"", "error: Linia=1 Kolumna=5 Tekst JSON niedokończony"},
        {u"[\"\\u00", "error: Linia=1 Kolumna=7 Tekst JSON niedokończony"},
        // The first character of a line is column 2; a line feed inside a string counts too;
        // a carriage return does not end a line.
        {u"[\n}", "error: Linia=2 Kolumna=2 Nieprawidłowy znak zaczynający wartość"},
        {u"[\"a\nb\",\r\n x]", "error: Linia=3 Kolumna=3 Nieprawidłowy początek wartości"},
        {u"{\r\"a\"\r:\r}", "error: Linia=1 Kolumna=10 Nieprawidłowy początek wartości"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(c.input), c.expected) << u8(c.input);
}

TEST(JsonHolderParse, EscapesInStrings)
{
    struct EscapeCase {
        const char16_t* input;
        std::u16string value; // empty with `error` set
        const char* error;
    };
    const EscapeCase cases[] = {
        {u"[\"\\\\\\\"\\/\\r\\n\\f\\t\\b\"]", u"\\\"/\r\n\f\t\b", nullptr},
        {u"[\"\\u0041\"]", u"A", nullptr},
        {u"[\"\\u00e9\\u00E9\"]", u"éé", nullptr},
        {u"[\"\\u0000\"]", std::u16string(1, u'\0'), nullptr},
        {u"[\"\\ud83d\\ude00\"]", u"\U0001F600", nullptr},
        {u"[\"a\tb\nc\"]", u"a\tb\nc", nullptr}, // raw control characters stay as they are
        {u"[\"\\udc00\"]", u"", "Linia=1 Kolumna=9 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\ud83dx\"]", u"", "Linia=1 Kolumna=10 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\ud83d\\n\"]", u"", "Linia=1 Kolumna=11 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\ud83d\\u0041\"]", u"", "Linia=1 Kolumna=15 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\ud83d\"]", u"", "Linia=1 Kolumna=10 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\x\"]", u"", "Linia=1 Kolumna=5 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\U0041\"]", u"", "Linia=1 Kolumna=5 Nieprawidłowa ESC-sekwencja"},
        {u"[\"\\u00g1\"]", u"", "Linia=1 Kolumna=8 Nieprawidłowa ESC-sekwencja"},
    };
    for (const auto& c : cases) {
        JsonHolder result;
        std::u16string error;
        const bool ok = JsonHolder::Parse(c.input, result, error);
        if (c.error) {
            EXPECT_FALSE(ok) << u8(c.input);
            EXPECT_EQ(u8(error), c.error) << u8(c.input);
        } else {
            ASSERT_TRUE(ok) << u8(c.input) << ": " << u8(error);
            EXPECT_EQ(result[0].StringVal(), c.value) << u8(c.input);
        }
    }
}

TEST(JsonHolderParse, EscToCharStepByStep)
{
    std::u16string text;
    // Incomplete until the fourth digit, then one code unit.
    EXPECT_FALSE(JsonHolder::EscToChar(u"u", text, 1, 1));
    EXPECT_FALSE(JsonHolder::EscToChar(u"u0", text, 1, 1));
    EXPECT_FALSE(JsonHolder::EscToChar(u"u004", text, 1, 1));
    EXPECT_TRUE(JsonHolder::EscToChar(u"u0041", text, 1, 1));
    EXPECT_EQ(text, u"A");
    // A high surrogate waits for its pair.
    EXPECT_FALSE(JsonHolder::EscToChar(u"uD834", text, 1, 1));
    EXPECT_FALSE(JsonHolder::EscToChar(u"uD834\\u", text, 1, 1));
    EXPECT_TRUE(JsonHolder::EscToChar(u"uD834\\uDD1E", text, 1, 1));
    EXPECT_EQ(text, u"A\U0001D11E");
    try {
        JsonHolder::EscToChar(u"q", text, 7, 4);
        FAIL();
    } catch (const JsonHolderException& e) {
        EXPECT_EQ(u8(e.message), "Linia=4 Kolumna=7 Nieprawidłowa ESC-sekwencja");
    }
}

TEST(JsonHolderParse, AFailedParseLeavesTheResultAlone)
{
    JsonHolder result = JsonHolder::CreateArray();
    result.Add(new JsonHolder(1.0));
    std::u16string error = u"old";
    EXPECT_FALSE(JsonHolder::Parse(u"{\"a\":[1,2,{\"b\":", result, error));
    EXPECT_EQ(u8(error), "Linia=1 Kolumna=16 Tekst JSON niedokończony");
    EXPECT_EQ(result.ToString(), u"[1]");

    EXPECT_TRUE(JsonHolder::Parse(u"{\"k\":\"v\"}", result, error));
    EXPECT_EQ(result.ToString(), u"{\"k\":\"v\"}");
    EXPECT_EQ(result[u"k"].StringVal(), u"v");
}

// Strings are scanned in pieces of several code units: a closing quote, an escape or a line feed
// must be found wherever it falls in a piece, and the line count must see every line feed.
TEST(JsonHolderParse, StopCharactersAnywhereInAString)
{
    for (size_t at = 0; at < 40; ++at) {
        std::u16string plain;
        for (size_t i = 0; i < 40; ++i)
            plain.push_back(char16_t(u'a' + i % 26));
        JsonHolder result;
        std::u16string error;

        std::u16string escaped = plain;
        escaped.replace(at, 1, u"\\t");
        std::u16string expected = plain;
        expected[at] = u'\t';
        ASSERT_TRUE(JsonHolder::Parse(u"[\"" + escaped + u"\"]", result, error)) << at << u8(error);
        EXPECT_EQ(result[0].StringVal(), expected) << at;

        ASSERT_TRUE(JsonHolder::Parse(u"[\"" + plain.substr(0, at) + u"\"]", result, error)) << at;
        EXPECT_EQ(result[0].StringVal(), plain.substr(0, at)) << at;

        std::u16string broken = plain;
        broken[at] = u'\n';
        EXPECT_FALSE(JsonHolder::Parse(u"[\"" + broken + u"\",?]", result, error));
        EXPECT_EQ(u8(error), "Linia=2 Kolumna=" + std::to_string(43 - at) + " Nieprawidłowy początek wartości") << at;
    }
}

// Names in falling order, each taking its place in front of the others: the object must still be
// built without moving the members already read for each new one, with every member found.
TEST(JsonHolderParse, ManyMembersInFallingOrder)
{
    constexpr int n = 50000;
    auto name_of = [](int i) { return text::format(u"k%07d", i); };
    std::u16string input = u"{";
    for (int i = n - 1; i >= 0; --i) {
        input += u"\"" + name_of(i) + u"\":" + text::format(u"%d", i);
        input += i > 0 ? u"," : u"}";
    }
    JsonHolder result;
    std::u16string error;
    ASSERT_TRUE(JsonHolder::Parse(input, result, error)) << u8(error);
    ASSERT_EQ(result.Count(), uint64_t(n));
    int expected = 0;
    for (const auto& [name, value] : *result.Fields()) {
        ASSERT_EQ(std::u16string(name.begin(), name.end()), name_of(expected));
        ASSERT_EQ(value->NumberVal(), double(expected));
        ++expected;
    }
    EXPECT_EQ(result[name_of(12345)].NumberVal(), 12345.0);

    // One repeated name among them is still refused.
    input.insert(1, u"\"" + name_of(777) + u"\":0,");
    EXPECT_FALSE(JsonHolder::Parse(input, result, error));
    EXPECT_EQ(u8(error), "Pole obiektu o wskazanej nazwie już istnieje");
}

} // namespace
