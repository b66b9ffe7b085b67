// The host's JSON value: integers only, arrays as maps keyed by the element index, an indented
// text with CR LF line ends, and a lenient reader that never fails. Reading a member that does
// not exist creates it, unless the document is strict.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "json/holder/blocks.h"

// Kinds of a node; distinct bits.
enum : int32_t {
    JSON_OBJECT = 1,
    JSON_ARRAY = 2,
    JSON_INT = 4,
    JSON_STRING = 8,
    JSON_BOOL = 16,
};

class CJsonNode;

// The ordinal order of UTF-16 code units (a prefix first); a key is looked up by any text.
struct CJsonKeyOrder {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return a < b; }
};
// The children of a node, by key. The keys and the map's nodes of a loaded document are blocks of
// that document's store (json/holder/blocks.h); a key reads as a std::u16string_view.
using CJsonChildren = std::map<json_blocks::String, CJsonNode*, CJsonKeyOrder,
                               json_blocks::Allocator<std::pair<const json_blocks::String, CJsonNode*>>>;

class CJsonNode {
public:
    // Nodes are blocks too: a node made while a document is loaded lives in its store.
    static void* operator new(size_t size) { return json_blocks::allocate(size); }
    static void operator delete(void* p) noexcept { json_blocks::release(p); }

    CJsonNode();
    ~CJsonNode();
    CJsonNode(const CJsonNode&) = delete;
    CJsonNode& operator=(const CJsonNode&) = delete;

    // --- building -------------------------------------------------------------------------
    // On an array: appends a new empty element (`key` is ignored). Otherwise: the child under
    // `key`, created empty when absent, named `key`.
    CJsonNode* Child(const std::u16string& key);
    // On an array: appends `node`. Otherwise: stores `node` under `key` (named `key`), deleting a
    // different node stored there. Ownership of `node` passes to this node.
    void SetChild(const std::u16string& key, CJsonNode* node);
    // Makes this node an array and appends `node`.
    void AddChild(CJsonNode* node);
    void SetInt(const std::u16string& key, int32_t value);
    void SetString(const std::u16string& key, const std::u16string& value);
    void SetBool(const std::u16string& key, bool value);
    void AddInt(int32_t value);
    void AddString(const std::u16string& value);
    void AddBool(bool value);

    // --- reading --------------------------------------------------------------------------
    // The member `name`. Absent: throws int 0 when this node is strict, otherwise creates it
    // empty. The member inherits this node's strictness.
    CJsonNode* Member(const std::u16string& name);
    // The node as a text: an integer becomes its decimal text; the kind becomes JSON_STRING.
    std::u16string& AsString();
    // Deletes every child with its subtree; the node's own fields stay.
    void RemoveAll();

    // --- text -----------------------------------------------------------------------------
    // How string values are escaped. Every text written to a file or a pipe escapes every control
    // character (a quote, a backslash, \n, \r and \t by their short forms, the rest as "\u00XX").
    // The device checksum is taken over the form that escapes only those five and leaves the other
    // control characters raw: devices are named by that digest in stored rules and records.
    enum class Escapes { every_control, checksum_form };
    std::u16string ToText(int indent, Escapes escapes = Escapes::every_control) const;
    // A text member as ToText writes it at `indent`: the blanks, the name in quotes, " : " and the
    // escaped value (what follows it, a separator or the line end, is the caller's).
    static void AppendTextMember(std::u16string& out, int indent, const std::u16string& name,
                                 const std::u16string& value, Escapes escapes);
    // Replaces the children with the content of `text` (a "*hex*" text is decoded first).
    // Always true: malformed text gives a partial or empty document.
    bool LoadText(const std::u16string& text);
    // LoadText for a reader that wants only some members of the root: the members named in
    // `names` and the node's own kind come out as LoadText gives them (so a member is found under
    // its name exactly when LoadText would file it there); the root's other containers are passed
    // over unread, and what else the root holds is unspecified. Always true.
    bool LoadMembers(const std::u16string& text, std::initializer_list<std::u16string_view> names);
    // LoadText(other.ToText(0)): the document `other` as its text reads back. A flat object of
    // texts, numbers and truth values whose member names read back as they are written (the
    // device identities) is copied member by member without the text. Always true.
    bool LoadCopy(const CJsonNode& other);

    // Containers nested deeper than this below the node being loaded end the reading, as an
    // unreadable token does: the levels read so far are kept. The deepest real document, the
    // device list under "DEVS", nests about a dozen levels (entry, ConnectionInformation,
    // DeviceDescriptor, Configurations, Interfaces, EndPoints, ...); the bound keeps hostile text
    // from costing unbounded time, and its indented text from growing beyond 256 blanks a line.
    static constexpr int kMaxLoadDepth = 64;

    CJsonChildren children;
    int32_t kind = JSON_OBJECT;
    std::u16string name;
    int32_t intValue = 0;
    std::u16string strValue;
    int32_t boolValue = 0;
    int32_t strict = 0;
    int32_t fractionalNumbers = 0;

private:
    bool Load(const std::u16string& text, std::initializer_list<std::u16string_view>* names);
    // Stores `node` under `key`, replacing (and deleting) a different node stored there.
    void Store(json_blocks::String&& key, CJsonNode* node);
    json_blocks::String NextElementKey() const;
};
static_assert(alignof(CJsonNode) <= json_blocks::kBlockAlignment);
