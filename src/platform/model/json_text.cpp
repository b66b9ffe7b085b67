#include "platform/model/json_text.h"

#include <charconv>
#include <cmath>

namespace platform::model::json {

const Value* Value::find(std::string_view name) const
{
    if (kind != Kind::object) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::u16string& n = names[i];
        if (n.size() != name.size()) continue;
        bool same = true;
        for (size_t k = 0; k < n.size() && same; ++k)
            same = n[k] == char16_t(static_cast<unsigned char>(name[k]));
        if (same) return &items[i];
    }
    return nullptr;
}

namespace {

class Reader {
public:
    Reader(std::string_view text, std::string& error) : s_(text), error_(error) {}

    bool document(Value& out)
    {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        skip_space();
        if (!value(out, 0)) return false;
        skip_space();
        if (pos_ != s_.size()) return fail("text after the document");
        return true;
    }

private:
    std::string_view s_;
    std::string& error_;
    size_t pos_ = 0;
    size_t count_ = 0;

    bool fail(const std::string& what)
    {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < pos_ && i < s_.size(); ++i) {
            if (s_[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        error_ = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
        return false;
    }

    void skip_space()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(std::string_view word)
    {
        if (s_.substr(pos_, word.size()) != word) return fail("unexpected character");
        pos_ += word.size();
        return true;
    }

    bool value(Value& v, int depth)
    {
        if (++count_ > max_values) return fail("too many values");
        if (pos_ >= s_.size()) return fail("unexpected end of the text");
        v.begin = pos_;
        bool ok = false;
        switch (s_[pos_]) {
        case '{':
            ok = object(v, depth + 1);
            break;
        case '[':
            ok = array(v, depth + 1);
            break;
        case '"':
            v.kind = Value::Kind::string;
            ok = string(v.text);
            break;
        case 't':
            v.kind = Value::Kind::boolean;
            v.flag = true;
            ok = literal("true");
            break;
        case 'f':
            v.kind = Value::Kind::boolean;
            ok = literal("false");
            break;
        case 'n':
            ok = literal("null");
            break;
        default:
            ok = number(v);
        }
        v.end = pos_;
        return ok;
    }

    bool object(Value& v, int depth)
    {
        if (depth > max_depth) return fail("nesting too deep");
        v.kind = Value::Kind::object;
        ++pos_;
        skip_space();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a member name");
            std::u16string name;
            if (!string(name)) return false;
            skip_space();
            if (pos_ >= s_.size() || s_[pos_] != ':') return fail("expected ':'");
            ++pos_;
            skip_space();
            v.names.push_back(std::move(name));
            v.items.emplace_back();
            if (!value(v.items.back(), depth)) return false;
            skip_space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(Value& v, int depth)
    {
        if (depth > max_depth) return fail("nesting too deep");
        v.kind = Value::Kind::array;
        ++pos_;
        skip_space();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            v.items.emplace_back();
            if (!value(v.items.back(), depth)) return false;
            skip_space();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    static int hex_digit(char c)
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool string(std::u16string& out)
    {
        ++pos_; // the opening quote
        for (;;) {
            if (pos_ >= s_.size()) return fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("control character in a string");
            if (c == '\\') {
                if (!escape(out)) return false;
                continue;
            }
            if (c < 0x80) {
                out += char16_t(c);
                ++pos_;
                continue;
            }
            if (!utf8(out)) return false;
        }
    }

    bool escape(std::u16string& out)
    {
        if (pos_ + 1 >= s_.size()) return fail("unterminated string");
        const char e = s_[pos_ + 1];
        pos_ += 2;
        switch (e) {
        case '"': out += u'"'; return true;
        case '\\': out += u'\\'; return true;
        case '/': out += u'/'; return true;
        case 'b': out += u'\b'; return true;
        case 'f': out += u'\f'; return true;
        case 'n': out += u'\n'; return true;
        case 'r': out += u'\r'; return true;
        case 't': out += u'\t'; return true;
        case 'u': {
            if (pos_ + 4 > s_.size()) return fail("short \\u escape");
            uint32_t unit = 0;
            for (int i = 0; i < 4; ++i) {
                const int d = hex_digit(s_[pos_ + i]);
                if (d < 0) return fail("bad \\u escape");
                unit = unit * 16 + uint32_t(d);
            }
            pos_ += 4;
            // Texts are UTF-16 in the end: the code unit is kept as written, a lone surrogate too.
            out += char16_t(unit);
            return true;
        }
        default:
            pos_ -= 1;
            return fail("unknown escape");
        }
    }

    bool utf8(std::u16string& out)
    {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(s_[i]); };
        const unsigned char c = byte(pos_);
        int extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return fail("invalid UTF-8");
        }
        if (pos_ + size_t(extra) >= s_.size()) return fail("invalid UTF-8");
        for (int i = 1; i <= extra; ++i) {
            const unsigned char t = byte(pos_ + size_t(i));
            if ((t & 0xC0) != 0x80) return fail("invalid UTF-8");
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return fail("invalid UTF-8");
        pos_ += size_t(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        return true;
    }

    bool number(Value& v)
    {
        const size_t start = pos_;
        const auto digit = [&](size_t i) { return i < s_.size() && s_[i] >= '0' && s_[i] <= '9'; };
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (!digit(pos_)) return fail("unexpected character");
        if (s_[pos_] == '0') {
            ++pos_;
        } else {
            while (digit(pos_)) ++pos_;
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digit(pos_)) return fail("bad number");
            while (digit(pos_)) ++pos_;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digit(pos_)) return fail("bad number");
            while (digit(pos_)) ++pos_;
        }
        // from_chars, not strtod: the reading must not depend on the process's locale.
        v.kind = Value::Kind::number;
        const auto r = std::from_chars(s_.data() + start, s_.data() + pos_, v.number);
        if (r.ec != std::errc() || !std::isfinite(v.number)) return fail("number out of range");
        return true;
    }
};

} // namespace

bool parse(std::string_view text, Value& out, std::string& error)
{
    out = Value{};
    Reader reader(text, error);
    return reader.document(out);
}

} // namespace platform::model::json
