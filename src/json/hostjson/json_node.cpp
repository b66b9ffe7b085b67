#include <memory>
#include <vector>

#include "json/hostjson/json_node.h"
#include "text/text.h"

CJsonNode::CJsonNode() = default;

CJsonNode::~CJsonNode()
{
    RemoveAll();
}

// Without recursion, so that no depth of tree can exhaust the stack, yet in the order a recursive
// release would take: each child with its subtree in key order, then the node's own map. The work
// stack holds one entry per open level, not one per node; this order also lets the allocator
// release a large tree markedly faster than a breadth-first or reversed one.
void CJsonNode::RemoveAll()
{
    if (children.empty()) return;
    json_blocks::ReleaseScope batch;
    struct Level {
        CJsonNode* node;
        CJsonChildren::iterator next;
    };
    std::vector<Level> levels;
    levels.push_back({this, children.begin()});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next != level.node->children.end()) {
            CJsonNode* child = level.next->second;
            ++level.next;
            if (child->children.empty())
                delete child;
            else
                levels.push_back({child, child->children.begin()}); // `level` may move
            continue;
        }
        CJsonNode* done = level.node;
        done->children.clear();
        levels.pop_back();
        if (done != this) delete done; // nothing below it is left
    }
}

// "%.8x" of the number of children: keys of this form sort in numeric order.
json_blocks::String CJsonNode::NextElementKey() const
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    uint32_t n = uint32_t(children.size());
    json_blocks::String key(8, u'0');
    for (int i = 7; i >= 0; --i, n >>= 4)
        key[size_t(i)] = digits[n & 0xF];
    return key;
}

namespace {
// Where `key` is or would go. Texts written by the writers of this system list members in key
// order, and elements are appended with rising keys, so the end is tried first.
CJsonChildren::iterator position(CJsonChildren& map, std::u16string_view key)
{
    if (map.empty() || std::u16string_view(map.rbegin()->first) < key) return map.end();
    return map.lower_bound(key);
}

bool holds(const CJsonChildren::iterator& it, const CJsonChildren& map, std::u16string_view key)
{
    return it != map.end() && std::u16string_view(it->first) == key;
}
} // namespace

void CJsonNode::Store(json_blocks::String&& key, CJsonNode* node)
{
    auto it = position(children, key);
    if (holds(it, children, key)) {
        // A key can be taken already when an object with such a member name became an array.
        if (it->second != node) {
            delete it->second;
            it->second = node;
        }
        return;
    }
    children.emplace_hint(it, std::move(key), node);
}

CJsonNode* CJsonNode::Child(const std::u16string& key)
{
    if (kind == JSON_ARRAY) {
        auto node = std::make_unique<CJsonNode>();
        Store(NextElementKey(), node.get());
        return node.release();
    }
    auto it = position(children, key);
    if (!holds(it, children, key)) {
        auto node = std::make_unique<CJsonNode>();
        it = children.emplace_hint(it, key, node.get());
        node.release();
    }
    it->second->name = key;
    return it->second;
}

void CJsonNode::SetChild(const std::u16string& key, CJsonNode* node)
{
    if (!node) return;
    if (kind == JSON_ARRAY) {
        Store(NextElementKey(), node);
        return;
    }
    Store(json_blocks::String(key), node);
    node->name = key;
}

void CJsonNode::AddChild(CJsonNode* node)
{
    kind = JSON_ARRAY;
    SetChild(std::u16string(), node);
}

void CJsonNode::SetInt(const std::u16string& key, int32_t value)
{
    CJsonNode* child = Child(key);
    child->kind = JSON_INT;
    child->intValue = value;
}

void CJsonNode::SetString(const std::u16string& key, const std::u16string& value)
{
    CJsonNode* child = Child(key);
    child->kind = JSON_STRING;
    child->strValue = value;
}

void CJsonNode::SetBool(const std::u16string& key, bool value)
{
    CJsonNode* child = Child(key);
    child->kind = JSON_BOOL;
    child->boolValue = value ? 1 : 0;
}

void CJsonNode::AddInt(int32_t value)
{
    kind = JSON_ARRAY;
    SetInt(std::u16string(), value);
}

void CJsonNode::AddString(const std::u16string& value)
{
    kind = JSON_ARRAY;
    SetString(std::u16string(), value);
}

void CJsonNode::AddBool(bool value)
{
    kind = JSON_ARRAY;
    SetBool(std::u16string(), value);
}

CJsonNode* CJsonNode::Member(const std::u16string& member_name)
{
    auto it = children.lower_bound(member_name);
    if (!holds(it, children, member_name)) {
        if (strict) throw 0; // the missing-member error of a strict document
        auto node = std::make_unique<CJsonNode>();
        node->name = member_name;
        it = children.emplace_hint(it, member_name, node.get());
        node.release();
    }
    it->second->strict = strict;
    return it->second;
}

std::u16string& CJsonNode::AsString()
{
    if (kind == JSON_INT) strValue = text::format(u"%i", intValue);
    kind = JSON_STRING;
    return strValue;
}

namespace {
// A member of a flat object whose text the reader files back under the same name with the same
// value: a scalar (texts read back as written, every control character escaped; numbers are
// decimal integers), named by its key, with a name the writer puts out as it is and the reader
// takes as a name (not empty, no quote, backslash or control character).
bool reads_back_as_itself(const std::u16string_view key, const CJsonNode& member)
{
    if (member.kind != JSON_STRING && member.kind != JSON_INT && member.kind != JSON_BOOL) return false;
    if (key.empty() || member.name != key) return false;
    for (const char16_t c : key)
        if (c < 0x20 || c == u'"' || c == u'\\') return false;
    return true;
}
} // namespace

bool CJsonNode::LoadCopy(const CJsonNode& other)
{
    // The reader files members into the node as its kind says (an array appends them).
    bool flat = other.kind == JSON_OBJECT && kind == JSON_OBJECT && &other != this;
    for (auto it = other.children.begin(); flat && it != other.children.end(); ++it)
        flat = reads_back_as_itself(it->first, *it->second);
    if (!flat) return LoadText(other.ToText(0));
    RemoveAll();
    json_blocks::LoadScope blocks;
    for (const auto& [key, member] : other.children) {
        auto node = std::make_unique<CJsonNode>();
        node->kind = member->kind;
        node->name = member->name;
        if (member->kind == JSON_STRING) node->strValue = member->strValue;
        if (member->kind == JSON_INT) node->intValue = member->intValue;
        if (member->kind == JSON_BOOL) node->boolValue = member->boolValue != 0 ? 1 : 0;
        children.emplace_hint(children.end(), key, node.get());
        node.release();
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {
// A control character other than the three with a short form, as "\u00XX": strict readers
// (the suite's monitor, log shippers, Python's json) refuse it raw, and a raw NUL would cut the
// text wherever it later travels as a C string.
void append_control(std::u16string& out, char16_t c)
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    out.append(u"\\u00");
    out.push_back(digits[(c >> 4) & 0xF]);
    out.push_back(digits[c & 0xF]);
}

void append_head(std::u16string& out, int indent, const std::u16string& name)
{
    if (indent > 0) out.append(size_t(indent), u' ');
    if (!name.empty()) {
        out.push_back(u'"');
        // Member names keep their quotes and backslashes as they are (the suite's files were
        // always written so); only control characters are escaped. The characters between them
        // go in runs.
        size_t run = 0;
        for (size_t i = 0; i < name.size(); ++i) {
            if (name[i] >= 0x20) continue;
            out.append(name, run, i - run);
            append_control(out, name[i]);
            run = i + 1;
        }
        out.append(name, run, std::u16string::npos);
        out.append(u"\" : ");
    }
}

void append_escaped(std::u16string& out, const std::u16string& s, CJsonNode::Escapes escapes)
{
    out.push_back(u'"');
    // The characters that stay as they are go in runs, up to the next one that is escaped.
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0x20 && c != u'"' && c != u'\\') continue;
        const char16_t* escaped = nullptr;
        switch (c) {
        case u'"': escaped = u"\\\""; break;
        case u'\n': escaped = u"\\n"; break;
        case u'\r': escaped = u"\\r"; break;
        case u'\t': escaped = u"\\t"; break;
        case u'\\': escaped = u"\\\\"; break;
        default:
            if (escapes != CJsonNode::Escapes::every_control) continue; // kept raw
            break;
        }
        out.append(s, run, i - run);
        if (escaped)
            out.append(escaped);
        else
            append_control(out, c);
        run = i + 1;
    }
    out.append(s, run, std::u16string::npos);
    out.push_back(u'"');
}
} // namespace

void CJsonNode::AppendTextMember(std::u16string& out, int indent, const std::u16string& name,
                                 const std::u16string& value, Escapes escapes)
{
    append_head(out, indent, name);
    append_escaped(out, value, escapes);
}

// Without recursion, for the same reason as RemoveAll.
std::u16string CJsonNode::ToText(int indent, Escapes escapes) const
{
    struct Frame {
        const CJsonNode* node;
        CJsonChildren::const_iterator next;
        int indent;
    };
    std::u16string out;
    std::vector<Frame> stack;

    // Writes a scalar whole and returns true, or opens a container, pushes it and returns false.
    auto begin_node = [&](const CJsonNode& node, int at) {
        switch (node.kind) {
        case JSON_OBJECT:
        case JSON_ARRAY:
            append_head(out, at, node.name);
            out.push_back(node.kind == JSON_OBJECT ? u'{' : u'[');
            out.append(u"\r\n");
            stack.push_back({&node, node.children.begin(), at});
            return false;
        case JSON_INT:
            append_head(out, at, node.name);
            out.append(text::format(u"%i", node.intValue));
            return true;
        case JSON_BOOL:
            append_head(out, at, node.name);
            out.append(node.boolValue ? u"true" : u"false");
            return true;
        case JSON_STRING:
            AppendTextMember(out, at, node.name, node.strValue, escapes);
            return true;
        default:
            return true; // no text for a kind that is none of the five
        }
    };
    // After a child: the separator unless it was the last child of its container, and the line end.
    auto end_child = [&](const Frame& parent) {
        if (parent.next != parent.node->children.end()) out.append(u", ");
        out.append(u"\r\n");
    };

    begin_node(*this, indent);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.node->children.end()) {
            if (frame.indent > 0) out.append(size_t(frame.indent), u' ');
            out.push_back(frame.node->kind == JSON_OBJECT ? u'}' : u']');
            stack.pop_back();
            if (!stack.empty()) end_child(stack.back());
            continue;
        }
        const CJsonNode& child = *frame.next->second;
        ++frame.next;
        const int child_indent = frame.indent + 4;
        if (begin_node(child, child_indent)) end_child(stack.back());
    }
    return out;
}
