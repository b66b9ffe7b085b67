// The host's lenient reader. It reads tokens and never reports an error: a string followed by a
// value is a member name (the colon is optional), a value without a name is an array element,
// either closing bracket ends any container, and a token it cannot read ends every level.
#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "json/hostjson/json_node.h"
#include "text/text.h"

namespace {

enum class Token {
    End,        // the end of the text, or a character no token starts with
    OpenBrace,
    CloseBrace,
    OpenBracket,
    CloseBracket,
    Comma,
    Colon,
    String,
    Number,
    True,
    False,
    Null,
};

// Reads tokens from a text that may be followed by one closing brace of its own: the wrapping of a
// text that does not begin with an opening brace, without copying the text to add it.
class Tokenizer {
public:
    Tokenizer(std::u16string_view text, bool closing_brace, bool fractional)
        : text_(text), size_(text.size() + (closing_brace ? 1 : 0)), fractional_(fractional)
    {
    }

    // The next token. A String's unquoted, unescaped content is in string(); a Number's text in
    // number().
    Token next()
    {
        while (pos_ < text_.size()) {
            const char16_t c = text_[pos_];
            if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') break;
            ++pos_;
        }
        if (pos_ >= size_) return Token::End;
        const char16_t c = at(pos_);
        switch (c) {
        case u'{': ++pos_; return Token::OpenBrace;
        case u'}': ++pos_; return Token::CloseBrace;
        case u'[': ++pos_; return Token::OpenBracket;
        case u']': ++pos_; return Token::CloseBracket;
        case u',': ++pos_; return Token::Comma;
        case u':': ++pos_; return Token::Colon;
        case u'"': read_string(); return Token::String;
        default: break;
        }
        if (c == u'-' || is_digit(c)) {
            const size_t start = pos_++;
            while (pos_ < text_.size() && takes_in_number(text_[pos_]))
                ++pos_;
            number_ = text_.substr(start, pos_ - start); // never reaches the added brace
            return Token::Number;
        }
        // The words are matched as prefixes; what follows them is not examined.
        if (word(u"false")) return Token::False;
        if (word(u"true")) return Token::True;
        if (word(u"null")) return Token::Null;
        return Token::End; // not advanced: every later read gives End too
    }

    // Passes over the rest of a container whose opening bracket was the last token: the tokens
    // next() would give, up to the closing bracket (of either kind) that balances it, without
    // keeping any. False when the end, or a character no token starts with, comes first (the
    // reading position is then where next() would give End).
    bool pass_over_container()
    {
        const char16_t* const text = text_.data();
        const size_t length = text_.size(), size = size_;
        size_t pos = pos_;
        const auto at_pos = [&] { return pos < length ? text[pos] : u'}'; };
        bool closed = false;
        for (size_t open = 1; !closed;) {
            while (pos < length) {
                const char16_t c = text[pos];
                if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') break;
                ++pos;
            }
            if (pos >= size) break;
            const char16_t c = at_pos();
            if (c == u'"') {
                // As read_string() finds its end: up to the next unescaped quote, the added brace
                // taken as a plain character, a backslash taking the next one.
                ++pos;
                while (pos < size) {
                    while (pos < length && text[pos] != u'"' && text[pos] != u'\\')
                        ++pos;
                    if (pos >= size) break;
                    const char16_t e = at_pos();
                    ++pos;
                    if (e == u'"') break;
                    if (e == u'\\') {
                        if (pos >= size) break;
                        ++pos;
                    }
                }
                continue;
            }
            switch (c) {
            case u'{':
            case u'[':
                ++pos;
                ++open;
                continue;
            case u'}':
            case u']':
                ++pos;
                closed = --open == 0;
                continue;
            case u',':
            case u':':
                ++pos;
                continue;
            default:
                break;
            }
            if (c == u'-' || is_digit(c)) {
                ++pos;
                while (pos < length && takes_in_number(text[pos]))
                    ++pos;
                continue;
            }
            pos_ = pos;
            if (word(u"false") || word(u"true") || word(u"null")) {
                pos = pos_;
                continue;
            }
            break;
        }
        pos_ = pos;
        return closed;
    }

    const std::u16string& string() const { return string_; }
    std::u16string_view number() const { return number_; }
    // Hands the content of the last String over, taking the receiver's old buffer for the next one.
    void take_string(std::u16string& to) { to.swap(string_); }

private:
    char16_t at(size_t i) const { return i < text_.size() ? text_[i] : u'}'; }

    static bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

    // The code unit of the four hexadecimal digits at `from`, or -1 when there are not four.
    int hex4(size_t from) const
    {
        if (from + 4 > text_.size()) return -1;
        int unit = 0;
        for (size_t i = from; i < from + 4; ++i) {
            const char16_t c = text_[i];
            const int d = is_digit(c) ? c - u'0' : (c >= u'a' && c <= u'f') ? c - u'a' + 10
                                                 : (c >= u'A' && c <= u'F') ? c - u'A' + 10 : -1;
            if (d < 0) return -1;
            unit = unit * 16 + d;
        }
        return unit;
    }

    bool takes_in_number(char16_t c) const
    {
        if (is_digit(c)) return true;
        return fractional_ && (c == u'+' || c == u'-' || c == u'.' || c == u'E' || c == u'e');
    }

    bool word(std::u16string_view w)
    {
        if (pos_ >= text_.size() || text_.substr(pos_, w.size()) != w) return false;
        pos_ += w.size();
        return true;
    }

    // Up to the next unescaped quote or the end of the text. A backslash takes the next
    // character: n, r, t, b and f are the control characters, u with four hexadecimal digits is
    // that code unit (the writer escapes control characters so, and a text must read back as it
    // was written), anything else stands for itself ("\u" without four digits reads as the letter
    // u). Unquoting drops the opening quote and, for
    // a string cut off by the end of the text, a final quote the content may end with.
    void read_string()
    {
        string_.clear();
        ++pos_;
        bool closed = false;
        while (pos_ < size_) {
            // The plain run up to the next quote or backslash, in one piece.
            const size_t start = pos_;
            while (pos_ < text_.size() && text_[pos_] != u'"' && text_[pos_] != u'\\')
                ++pos_;
            string_.append(text_.substr(start, pos_ - start));
            if (pos_ >= size_) break;
            const char16_t c = at(pos_++);
            if (c == u'"') {
                closed = true;
                break;
            }
            if (c != u'\\') {
                string_.push_back(c); // the added brace
                continue;
            }
            if (pos_ >= size_) break; // a backslash at the very end ends the token
            const char16_t e = at(pos_++);
            switch (e) {
            case u'n': string_.push_back(u'\n'); break;
            case u'r': string_.push_back(u'\r'); break;
            case u't': string_.push_back(u'\t'); break;
            case u'b': string_.push_back(u'\b'); break;
            case u'f': string_.push_back(u'\f'); break;
            case u'u':
                if (const int unit = hex4(pos_); unit >= 0) {
                    string_.push_back(char16_t(unit));
                    pos_ += 4;
                } else {
                    string_.push_back(e);
                }
                break;
            default: string_.push_back(e); break;
            }
        }
        if (!closed && !string_.empty() && string_.back() == u'"') string_.pop_back();
    }

    std::u16string_view text_;
    size_t size_;
    size_t pos_ = 0;
    bool fractional_;
    std::u16string string_;
    std::u16string_view number_;
};

// The "*hex*" form: groups of four hexadecimal digits, each one code unit; a shorter final group
// is ignored.
std::u16string decode_hex(std::u16string_view digits)
{
    std::u16string decoded;
    decoded.reserve(digits.size() / 4);
    std::u16string group = u"0x????";
    for (size_t i = 0; i + 4 <= digits.size(); i += 4) {
        group.replace(2, 4, digits.substr(i, 4));
        decoded.push_back(char16_t(text::wcstol16(group)));
    }
    return decoded;
}

struct Level {
    CJsonNode* target = nullptr;
    std::u16string pending; // a string not yet known to be a name or an element
    bool empty_seen = false; // an empty string is waiting
};

} // namespace

bool CJsonNode::LoadText(const std::u16string& input)
{
    return Load(input, nullptr);
}

bool CJsonNode::LoadMembers(const std::u16string& input, std::initializer_list<std::u16string_view> names)
{
    return Load(input, &names);
}

bool CJsonNode::Load(const std::u16string& input, std::initializer_list<std::u16string_view>* names)
{
    RemoveAll();
    // The document's nodes, keys and map nodes are cut from one store, in reading order.
    json_blocks::LoadScope blocks;

    std::u16string_view text = input;
    std::u16string decoded;
    if (text.substr(0, 5) == u"*hex*") {
        decoded = decode_hex(text.substr(5));
        text = decoded;
    }
    // A text that does not begin with an opening brace is read as if wrapped in braces.
    const bool wrap = text.empty() || text[0] != u'{';
    Tokenizer tokens(text, wrap, fractionalNumbers != 0);
    if (!wrap && tokens.next() != Token::OpenBrace) return false;

    // One level per open container, the node being loaded at the bottom. A new container is
    // attached to its parent when it opens; its own members never change the parent, so this
    // gives the same document as attaching it when it closes, and nothing is ever unowned.
    std::vector<Level> levels;
    // The whole bounded stack at once. Made first, a request of this size also has the allocator
    // gather up the small blocks freed earlier, so the new tree is laid out compactly; loading and
    // releasing large documents is markedly faster for it.
    levels.reserve(size_t(kMaxLoadDepth) + 1);
    levels.emplace_back();
    levels[0].target = this;
    size_t depth = 1; // levels in use; those above keep their buffers for the next container
    bool stopped = false;
    while (depth > 0) {
        Level& level = levels[depth - 1];
        const Token token = stopped ? Token::End : tokens.next();
        switch (token) {
        case Token::End:
        case Token::CloseBrace:
            --depth;
            break;
        case Token::CloseBracket:
            if (!level.pending.empty() || level.empty_seen) level.target->AddString(level.pending);
            --depth;
            break;
        case Token::Colon:
            break;
        case Token::Comma:
            if (!level.pending.empty() || level.empty_seen) level.target->AddString(level.pending);
            level.pending.clear();
            level.empty_seen = false;
            break;
        case Token::String:
            if (level.pending.empty()) {
                tokens.take_string(level.pending);
                if (level.pending.empty()) level.empty_seen = true;
            } else {
                level.target->SetString(level.pending, tokens.string());
                level.pending.clear();
            }
            break;
        case Token::Number:
        case Token::Null: {
            const int32_t value = token == Token::Number ? text::wtoi(tokens.number()) : 0;
            if (level.pending.empty())
                level.target->AddInt(value);
            else
                level.target->SetInt(level.pending, value);
            level.pending.clear();
            break;
        }
        case Token::True:
        case Token::False:
            if (level.pending.empty())
                level.target->AddBool(token == Token::True);
            else
                level.target->SetBool(level.pending, token == Token::True);
            level.pending.clear();
            break;
        case Token::OpenBrace:
        case Token::OpenBracket: {
            // Either closing bracket ends any container, so passing over one is counting brackets
            // until they balance, or until a token that ends every level.
            auto pass_over = [&] {
                if (!tokens.pass_over_container()) stopped = true;
            };
            if (depth > size_t(kMaxLoadDepth)) {
                // Only the container that goes too deep is left out, with all it holds; what
                // follows it at this level is read as usual.
                pass_over();
                level.pending.clear();
                level.empty_seen = false;
                break;
            }
            if (names && depth == 1 &&
                std::find(names->begin(), names->end(), std::u16string_view(level.pending)) == names->end()) {
                // A container the reader does not want. An element still turns the root into an
                // array, as its adding would (which decides where later members are filed).
                if (level.pending.empty()) level.target->kind = JSON_ARRAY;
                pass_over();
                level.pending.clear();
                break;
            }
            auto node = std::make_unique<CJsonNode>();
            if (token == Token::OpenBracket) node->kind = JSON_ARRAY;
            CJsonNode* child = node.get();
            if (level.pending.empty())
                level.target->AddChild(node.release());
            else
                level.target->SetChild(level.pending, node.release());
            level.pending.clear();
            if (depth == levels.size()) levels.emplace_back();
            Level& inner = levels[depth++]; // `level` may have moved
            inner.target = child;
            inner.pending.clear();
            inner.empty_seen = false;
            break;
        }
        }
    }
    return true;
}
