// Compact text of a JsonHolder tree: no white space between tokens, members in name order,
// numbers in the Windows "%G" form.
#include "json/holder/json_holder.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {
void append_number(std::u16string& out, double value)
{
    // "%G" never produces a blank, but the text is defined as the conversion without blanks.
    for (char16_t c : text::format(u"%G%c", value, char16_t(0)))
        if (c != u' ') out.push_back(c);
}

void append_quoted(std::u16string& out, std::u16string_view s)
{
    out.push_back(u'"');
    for (char16_t c : s) {
        char16_t escaped = 0;
        switch (c) {
        case u'\\': escaped = u'\\'; break;
        case u'"': escaped = u'"'; break;
        case u'\b': escaped = u'b'; break;
        case u'\f': escaped = u'f'; break;
        case u'\n': escaped = u'n'; break;
        case u'\r': escaped = u'r'; break;
        case u'\t': escaped = u't'; break;
        default: break;
        }
        if (escaped) {
            out.push_back(u'\\');
            out.push_back(escaped);
        } else if (c < 0x20) {
            // Every other control character as "\u00XX": a raw one is refused by strict readers,
            // and a raw NUL cuts the device document where it travels as a C string.
            static constexpr char16_t digits[] = u"0123456789abcdef";
            out.append(u"\\u00");
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back(u'"');
}
} // namespace

std::u16string JsonHolder::quote(std::u16string_view s)
{
    std::u16string out;
    out.reserve(s.size() + 2);
    append_quoted(out, s);
    return out;
}

// Written without recursion, with a stack of the containers being written, so that the depth of
// a document is limited by memory only.
std::u16string JsonHolder::ToString() const
{
    struct Frame {
        const JsonHolder* node;
        size_t index;                       // next element of an array
        ObjectType::const_iterator member;  // next member of an object
    };
    std::u16string out;
    std::vector<Frame> stack;

    // Writes a scalar whole, or opens a container and pushes it.
    auto begin_value = [&](const JsonHolder& node) {
        switch (node.kind) {
        case JsonHolderType::Null: out.append(u"null"); break;
        case JsonHolderType::Bool: out.append(node.payload.flag ? u"true" : u"false"); break;
        case JsonHolderType::Number: append_number(out, node.payload.number); break;
        case JsonHolderType::String: append_quoted(out, node.payload.string->view()); break;
        case JsonHolderType::Array:
            out.push_back(u'[');
            stack.push_back({&node, 0, {}});
            break;
        case JsonHolderType::Object:
            out.push_back(u'{');
            stack.push_back({&node, 0, node.payload.object->begin()});
            break;
        default:
            throw JsonHolderException(u"Nieokreślony typ wartości");
        }
    };

    begin_value(*this);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const JsonHolder& node = *frame.node;
        if (node.kind == JsonHolderType::Array) {
            const ArrayType& elements = *node.payload.array;
            if (frame.index == elements.size()) {
                out.push_back(u']');
                stack.pop_back();
                continue;
            }
            if (frame.index > 0) out.push_back(u',');
            const JsonHolder* element = elements[frame.index++];
            begin_value(*element); // may grow the stack: `frame` is not used after this
        } else {
            const ObjectType& members = *node.payload.object;
            if (frame.member == members.end()) {
                out.push_back(u'}');
                stack.pop_back();
                continue;
            }
            if (frame.member != members.begin()) out.push_back(u',');
            auto member = frame.member++;
            append_quoted(out, member->first);
            out.push_back(u':');
            begin_value(*member->second);
        }
    }
    return out;
}

} // namespace ZelmUsbVardoManager
