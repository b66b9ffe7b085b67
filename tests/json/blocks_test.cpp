// The JSON values' block stores: values of a loaded document live as long as they are held, are
// released by any thread, and mix freely with values made one by one. Run under the address
// sanitizer, a block released too early or a store never released fails these tests.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "json/holder/blocks.h"
#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"

using ZelmUsbVardoManager::JsonHolder;

namespace {

std::u16string list_text(int entries)
{
    std::u16string text = u"[";
    for (int i = 0; i < entries; ++i) {
        if (i) text += u",";
        text += u"{\"Manufacturer\":\"Manufacturer of a long name " + std::u16string(1, char16_t(u'A' + i % 26)) +
                u"\",\"idVendor\":1234,\"EndPoints\":[129,2,\"eighteen characters\"]}";
    }
    return text + u"]";
}

// A node taken out of its loaded document outlives the document, and is written as it was.
TEST(JsonBlocks, HostNodeOutlivesItsDocument)
{
    auto doc = std::make_unique<CJsonNode>();
    doc->LoadText(u"{\"keep\" : {\"name\" : \"a text longer than a string's own room\", \"list\" : [1, 2, 3]}, "
                  u"\"other\" : \"x\"}");
    auto it = doc->children.find(u"keep");
    ASSERT_NE(it, doc->children.end());
    std::unique_ptr<CJsonNode> kept(it->second);
    doc->children.erase(it);
    doc.reset();
    EXPECT_EQ(kept->Member(u"name")->AsString(), u"a text longer than a string's own room");
    EXPECT_EQ(kept->Member(u"list")->children.size(), 3u);
    // New members of a loaded node are made one by one, beside the loaded ones.
    kept->SetString(u"added after the load", u"another text longer than its own room");
    EXPECT_EQ(kept->children.size(), 3u);
}

// Nodes of two documents and nodes made by hand in one tree, moved between trees and released in
// any order.
TEST(JsonBlocks, HostTreesMixDocumentsAndHandMadeNodes)
{
    CJsonNode first, second;
    first.LoadText(u"{\"a\" : [\"element text of some length\", 2], \"b\" : 1}");
    second.LoadText(u"{\"c\" : {\"d\" : \"another element text of some length\"}}");
    auto moved = second.children.find(u"c");
    CJsonNode* c = moved->second;
    second.children.erase(moved);
    first.SetChild(u"c", c);
    first.SetChild(u"hand", new CJsonNode);
    first.Member(u"hand")->SetInt(u"n", 5);
    second.RemoveAll();
    EXPECT_EQ(first.Member(u"c")->Member(u"d")->AsString(), u"another element text of some length");
    // A repeated member replaces (and releases) the earlier node while the document loads.
    CJsonNode repeated;
    repeated.LoadText(u"{\"k\" : {\"x\" : \"first value of the member\"}, \"k\" : \"second value of the member\"}");
    EXPECT_EQ(repeated.Member(u"k")->AsString(), u"second value of the member");
}

// A document loaded by one thread is released by another, while the first loads the next one.
TEST(JsonBlocks, DocumentsReleasedByOtherThreads)
{
    const std::u16string text = list_text(200);
    for (int round = 0; round < 4; ++round) {
        auto node = std::make_unique<CJsonNode>();
        node->LoadText(text);
        auto holder = std::make_unique<JsonHolder>();
        std::u16string error;
        ASSERT_TRUE(JsonHolder::Parse(text, *holder, error)) << std::string(error.begin(), error.end());
        std::thread releaser([n = std::move(node), h = std::move(holder)]() mutable {
            EXPECT_EQ(n->children.size(), 1u);
            EXPECT_EQ(h->Count(), 200u);
            n.reset();
            h.reset();
        });
        CJsonNode next;
        next.LoadText(text);
        releaser.join();
    }
}

// Library values: a member of a parsed document, copied out or taken whole, outlives the document;
// a failed parse releases everything it built.
TEST(JsonBlocks, LibraryValuesOutliveTheirDocument)
{
    JsonHolder member;
    JsonHolder* element = nullptr;
    {
        JsonHolder doc;
        std::u16string error;
        ASSERT_TRUE(JsonHolder::Parse(list_text(3), doc, error));
        member = doc[1];
        element = doc[2].Clone();
    }
    EXPECT_EQ(member[u"Manufacturer"].StringVal(), u"Manufacturer of a long name B");
    EXPECT_EQ(element->ToString().size(), member.ToString().size());
    delete element;

    JsonHolder untouched(u"kept as it was");
    std::u16string error;
    EXPECT_FALSE(JsonHolder::Parse(list_text(50) + u"x", untouched, error));
    EXPECT_EQ(untouched.StringVal(), u"kept as it was");
}

// A scope within a scope: blocks of the outer store released while the inner one fills, and the
// outer store taking blocks again afterwards.
TEST(JsonBlocks, ScopesWithinScopes)
{
    std::vector<void*> outer_blocks;
    {
        json_blocks::LoadScope outer;
        for (int i = 0; i < 3; ++i) outer_blocks.push_back(json_blocks::allocate(40));
        void* inner_block = nullptr;
        {
            json_blocks::LoadScope inner;
            json_blocks::release(outer_blocks.back());
            outer_blocks.pop_back();
            inner_block = json_blocks::allocate(24);
        }
        outer_blocks.push_back(json_blocks::allocate(5000)); // too large for a store: from the heap
        outer_blocks.push_back(json_blocks::allocate(16));
        json_blocks::release(inner_block);
        json_blocks::release(outer_blocks.front());
        outer_blocks.erase(outer_blocks.begin());
    }
    for (void* b : outer_blocks) json_blocks::release(b);
    json_blocks::release(nullptr);
}

} // namespace
