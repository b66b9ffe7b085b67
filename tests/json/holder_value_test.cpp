#include <gtest/gtest.h>

#include <functional>

#include "json/holder/json_holder.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

std::string u8(const std::u16string& s) { return text::to_utf8(s); }

// The message an operation throws, or "" when it does not throw.
std::string thrown(const std::function<void()>& op)
{
    try {
        op();
    } catch (const JsonHolderException& e) {
        EXPECT_EQ(e.code, 0u);
        return u8(e.message);
    }
    return "";
}

JsonHolder* number(double v) { return new JsonHolder(v); }

JsonHolder sample_array()
{
    JsonHolder a = JsonHolder::CreateArray();
    a.Add(number(1));
    a.Add(new JsonHolder(u"dwa"));
    return a;
}

JsonHolder sample_object()
{
    JsonHolder o = JsonHolder::CreateObject();
    o.Add(u"x", number(1));
    return o;
}

TEST(JsonHolderValue, AccessorsCheckKindThenSignThenRange)
{
    const JsonHolder n(2.5), s(std::u16string(u"żółćęś")), b(true), null;
    const JsonHolder a = sample_array(), o = sample_object(), empty = JsonHolder::CreateArray();

    struct Case {
        const char* what;
        std::function<void()> op;
        const char* message;
    };
    const Case cases[] = {
        {"Count of a number", [&] { n.Count(); }, "Liczebność posiadają tylko napisy, tablice i obiekty"},
        {"Count of a bool", [&] { b.Count(); }, "Liczebność posiadają tylko napisy, tablice i obiekty"},
        {"Count of null", [&] { null.Count(); }, "Liczebność posiadają tylko napisy, tablice i obiekty"},
        {"index -1 of an array", [&] { a[-1]; }, "Indeks tablicy nie może być ujemny"},
        {"index -1 of an object", [&] { o[-1]; }, "Tylko wartość tablicowa może być indeksowana liczbą"},
        {"index Count() of an array", [&] { a[2]; }, "Indeks tablicy wykracza po za jej rozmiar"},
        {"index 0 of an empty array", [&] { empty[0]; }, "Indeks tablicy wykracza po za jej rozmiar"},
        {"index of a string", [&] { s[0]; }, "Tylko wartość tablicowa może być indeksowana liczbą"},
        {"HasField of an array", [&] { a.HasField(u"x"); }, "Tylko wartość obiektowa może być indeksowana nazwą"},
        {"name of an array", [&] { a[u"x"]; }, "Tylko wartość obiektowa może być indeksowana nazwą"},
        {"missing member", [&] { o[u"y"]; }, "Obiekt nie posiada pola o takiej nazwie"},
        {"StringVal of a number", [&] { n.StringVal(); }, "Wartość nie jest typu String"},
        {"NumberVal of a string", [&] { s.NumberVal(); }, "Wartość nie jest typu liczby"},
        {"NumberVal of a bool", [&] { b.NumberVal(); }, "Wartość nie jest typu liczby"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(thrown(c.op), c.message) << c.what;

    EXPECT_EQ(s.Count(), 6u); // code units, not bytes of UTF-8
    EXPECT_EQ(empty.Count(), 0u);
    EXPECT_EQ(a.Count(), 2u);
    EXPECT_EQ(o.Count(), 1u);
    EXPECT_EQ(a[1].StringVal(), u"dwa");
    EXPECT_EQ(o[u"x"].NumberVal(), 1.0);
    EXPECT_TRUE(o.HasField(u"x"));
    EXPECT_FALSE(o.HasField(u"X"));
    EXPECT_EQ(null.GetTyp(), JsonHolderType::Null);
}

TEST(JsonHolderValue, CountOfASurrogatePairIsTwoCodeUnits)
{
    EXPECT_EQ(JsonHolder(std::u16string(u"\U0001F600")).Count(), 2u);
}

TEST(JsonHolderValue, IndexingReturnsTheElementItselfForChangeInPlace)
{
    JsonHolder o = JsonHolder::CreateObject();
    o.Add(u"list", new JsonHolder(JsonHolder::CreateArray()));
    o[u"list"].Add(number(7));
    o[u"list"][0] = true;
    EXPECT_EQ(o.ToString(), u"{\"list\":[true]}");
}

TEST(JsonHolderValue, MembersIterateInCodeUnitOrder)
{
    JsonHolder o = JsonHolder::CreateObject();
    for (const char16_t* name : {u"b", u"a", u"B", u"ż", u"z", u"ab", u"", u"Z"})
        o.Add(name, number(0));
    std::u16string order;
    for (const auto& [name, value] : *o.Fields())
        order += u"|" + name;
    EXPECT_EQ(order, u"||B|Z|a|ab|b|z|ż");
}

TEST(JsonHolderValue, AddRefusesWithoutTakingThePointer)
{
    JsonHolder o = JsonHolder::CreateObject();
    o.Add(u"a", number(1));
    JsonHolder* second = number(2);
    EXPECT_EQ(thrown([&] { o.Add(u"a", second); }), "Pole obiektu o wskazanej nazwie już istnieje");
    EXPECT_EQ(o[u"a"].NumberVal(), 1.0); // the first value stays
    EXPECT_EQ(thrown([&] { o.Add(second); }), "Tylko do wartości tablicowej można dopisywać elementy");
    JsonHolder a = JsonHolder::CreateArray();
    EXPECT_EQ(thrown([&] { a.Add(u"a", second); }), "Tylko do wartości obiektowej można dopisywać pola");
    EXPECT_EQ(thrown([&] { JsonHolder(1.0).Add(second); }), "Tylko do wartości tablicowej można dopisywać elementy");
    // A null child would crash every later walk of the tree.
    EXPECT_NE(thrown([&] { a.Add(nullptr); }), "");
    EXPECT_NE(thrown([&] { o.Add(u"n", nullptr); }), "");
    EXPECT_EQ(a.Count(), 0u);
    delete second; // still ours: the leak checker of the sanitizer build says if it was not
    JsonHolder* empty_named = o.Add(u"", number(3)); // the empty name is a name like any other
    EXPECT_EQ(empty_named, &o[u""]);
}

TEST(JsonHolderValue, AssignmentIsADeepIndependentCopy)
{
    JsonHolder source = JsonHolder::CreateObject();
    source.Add(u"inner", new JsonHolder(sample_array()));
    JsonHolder target = sample_array(); // its elements are released by the assignment
    target = source;
    source[u"inner"][0] = false;
    source[u"inner"].Add(number(9));
    EXPECT_EQ(target.ToString(), u"{\"inner\":[1,\"dwa\"]}");
    EXPECT_EQ(source.ToString(), u"{\"inner\":[false,\"dwa\",9]}");

    JsonHolder copy(source);
    JsonHolder* clone = source.Clone();
    source.SetToNull();
    EXPECT_EQ(source.GetTyp(), JsonHolderType::Null);
    EXPECT_EQ(source.ToString(), u"null");
    EXPECT_EQ(copy.ToString(), u"{\"inner\":[false,\"dwa\",9]}");
    EXPECT_EQ(clone->ToString(), copy.ToString());
    delete clone;
}

TEST(JsonHolderValue, AssigningAPartOfItselfKeepsThePart)
{
    JsonHolder tree = JsonHolder::CreateObject();
    tree.Add(u"keep", new JsonHolder(sample_array()));
    tree.Add(u"drop", number(1));
    tree = tree[u"keep"];
    EXPECT_EQ(tree.ToString(), u"[1,\"dwa\"]");
    tree = tree;
    EXPECT_EQ(tree.ToString(), u"[1,\"dwa\"]");
}

TEST(JsonHolderValue, ScalarAssignmentsReleaseTheOldValue)
{
    JsonHolder v = sample_object();
    v = true;
    EXPECT_EQ(v.GetTyp(), JsonHolderType::Bool);
    EXPECT_EQ(v.ToString(), u"true");
    v = JsonHolder(std::u16string(u"t"));
    v = false;
    EXPECT_EQ(v.ToString(), u"false");
    v = JsonHolder(-0.5);
    EXPECT_EQ(v.NumberVal(), -0.5);
}

// A value of kind Undefined is produced by no constructor; a subclass can make one.
struct UndefinedValue : JsonHolder {
    UndefinedValue() { kind = JsonHolderType::Undefined; }
};

TEST(JsonHolderValue, UndefinedCannotBeCopiedOrWritten)
{
    JsonHolder tree = JsonHolder::CreateArray();
    tree.Add(number(1));
    tree.Add(new UndefinedValue);
    EXPECT_EQ(thrown([&] { JsonHolder copy(tree); }), "Wadliwy argument typu JsonHolder &");
    EXPECT_EQ(thrown([&] { delete tree.Clone(); }), "Wadliwy argument typu JsonHolder &");
    EXPECT_EQ(thrown([&] { tree.ToString(); }), "Nieokreślony typ wartości");

    // A failed assignment leaves the target as it was and leaks nothing.
    JsonHolder target = sample_object();
    EXPECT_EQ(thrown([&] { target = tree; }), "Wadliwy argument typu JsonHolder &");
    EXPECT_EQ(target.ToString(), u"{\"x\":1}");
}

TEST(JsonHolderException, PositionPrefixAndCodes)
{
    const JsonHolderException positioned(14, 3, u"Po nazwie musi być dwukropek");
    EXPECT_EQ(u8(positioned.message), "Linia=3 Kolumna=14 Po nazwie musi być dwukropek");
    EXPECT_EQ(positioned.code, 0u);

    const JsonHolderException coded(u"x", 5);
    std::unique_ptr<JsonHolderException> clone(coded.Clone());
    EXPECT_EQ(clone->message, u"x");
    EXPECT_EQ(clone->code, 5u);
    EXPECT_EQ(JsonHolderException().message, u"");
    EXPECT_EQ(JsonHolderException(u"y").code, 0u);

    try {
        JsonHolder::ThrowJsonHolderException(u"C:\\dane\\a.json", 0x5, u"Nie udało się otworzyć pliku");
        FAIL() << "did not throw";
    } catch (const JsonHolderException& e) {
        EXPECT_EQ(u8(e.message), "Plik [C:\\dane\\a.json]: Nie udało się otworzyć pliku -> err=0x00000005");
        EXPECT_EQ(e.code, 5u);
    }
}

} // namespace
