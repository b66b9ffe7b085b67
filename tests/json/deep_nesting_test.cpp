// Documents nested far deeper than any real one must give a result or an error, never a stack
// overflow: on Wine the main thread has 1 MB of stack, and the sanitizer build's frames are large.
#include <gtest/gtest.h>

#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

constexpr int kDepth = 100000;

std::u16string nested_arrays(int depth, bool closed)
{
    std::u16string s(size_t(depth), u'[');
    if (closed) s.append(size_t(depth), u']');
    return s;
}

std::u16string nested_objects(int depth)
{
    std::u16string s;
    for (int i = 0; i < depth; ++i)
        s += u"{\"a\":";
    s += u"1";
    s.append(size_t(depth), u'}');
    return s;
}

TEST(DeepNesting, LibraryValueParsesCopiesWritesAndFreesAnyDepth)
{
    for (const std::u16string& text : {nested_arrays(kDepth, true), nested_objects(kDepth)}) {
        JsonHolder result;
        std::u16string error;
        ASSERT_TRUE(JsonHolder::Parse(text, result, error)) << text::to_utf8(error);
        EXPECT_EQ(result.ToString(), text);

        JsonHolder copy(result);
        std::unique_ptr<JsonHolder> clone(result.Clone());
        JsonHolder assigned = JsonHolder::CreateArray();
        assigned = result;
        result.SetToNull();
        EXPECT_EQ(copy.ToString(), text);
        EXPECT_EQ(clone->ToString(), text);
        EXPECT_EQ(assigned.ToString(), text);
    } // and every tree is released here
}

TEST(DeepNesting, LibraryValueUnfinishedDeepDocumentIsAnError)
{
    JsonHolder result(1.0);
    std::u16string error;
    EXPECT_FALSE(JsonHolder::Parse(nested_arrays(kDepth, false), result, error));
    EXPECT_EQ(text::to_utf8(error), "Linia=1 Kolumna=100001 Tekst JSON niedokończony");
    EXPECT_EQ(result.NumberVal(), 1.0);
}

// The length of the chain of first children below `node`.
int chain_depth(const CJsonNode& node)
{
    int depth = 0;
    for (const CJsonNode* n = &node; !n->children.empty(); n = n->children.begin()->second)
        ++depth;
    return depth;
}

TEST(DeepNesting, HostReaderStopsAtItsDepthLimitAndKeepsWhatItRead)
{
    struct Case {
        const char* what;
        std::u16string text;
    };
    const Case cases[] = {
        {"closed arrays", nested_arrays(kDepth, true)},
        {"unclosed arrays", nested_arrays(kDepth, false)},
        {"objects", nested_objects(kDepth)},
    };
    for (const auto& c : cases) {
        CJsonNode node;
        EXPECT_TRUE(node.LoadText(c.text)) << c.what;
        EXPECT_EQ(chain_depth(node), CJsonNode::kMaxLoadDepth) << c.what;
        // Writing it back costs a bounded amount: indentation grows with depth.
        EXPECT_LT(node.ToText(0).size(), size_t(1) << 20) << c.what;
    }

    // Up to the limit nothing is lost: the outermost object is the node itself, the limit counts
    // the containers below it, and the innermost value is read.
    const int depth = CJsonNode::kMaxLoadDepth + 1;
    CJsonNode node;
    node.LoadText(nested_objects(depth));
    const CJsonNode* innermost = &node;
    for (int i = 0; i < depth - 1; ++i)
        innermost = innermost->children.at(u"a");
    EXPECT_EQ(innermost->children.at(u"a")->intValue, 1);
}

TEST(DeepNesting, HostReaderDropsOnlyTheTooDeepSubtree)
{
    // The member holding the too-deep arrays is left out; the members after it, at its own level
    // and at every level above, are read.
    const std::u16string deep = nested_arrays(CJsonNode::kMaxLoadDepth + 10, true);
    // Either closing bracket ends any container, also in the part that is left out.
    std::u16string mixed = nested_arrays(CJsonNode::kMaxLoadDepth + 10, false);
    for (int i = 0; i < CJsonNode::kMaxLoadDepth + 10; ++i)
        mixed += i % 2 ? u"]" : u"}";
    struct Case {
        const char* what;
        std::u16string text;
    };
    const Case cases[] = {
        {"at the top level", u"{\"before\":1,\"deep\":" + deep + u",\"after\":2,\"s\":\"x\"}"},
        {"inside an object", u"{\"before\":1,\"o\":{\"deep\":" + deep + u",\"after\":2},\"s\":\"x\"}"},
        {"either bracket closes", u"{\"before\":1,\"deep\":" + mixed + u",\"after\":2,\"s\":\"x\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CJsonNode node;
        ASSERT_TRUE(node.LoadText(c.text));
        EXPECT_EQ(node.children.at(u"before")->intValue, 1);
        EXPECT_EQ(node.children.at(u"s")->strValue, u"x");
        const CJsonNode* holder = node.children.count(u"o") ? node.children.at(u"o") : &node;
        ASSERT_TRUE(holder->children.count(u"after"));
        EXPECT_EQ(holder->children.at(u"after")->intValue, 2);
    }
}

TEST(DeepNesting, HostValueBuiltDeepIsFreedWithoutRecursion)
{
    auto* root = new CJsonNode;
    CJsonNode* node = root;
    for (int i = 0; i < kDepth; ++i)
        node = node->Child(u"x");
    delete root;

    CJsonNode list;
    node = &list;
    for (int i = 0; i < kDepth; ++i) {
        auto* child = new CJsonNode;
        node->AddChild(child);
        node = child;
    }
    list.RemoveAll();
    EXPECT_TRUE(list.children.empty());
}

} // namespace
