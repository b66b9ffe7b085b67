// The JSON reader of the library: one pass over the code units, never looking ahead, with an
// explicit stack of the open containers (so nesting depth costs heap, not call stack).
#include <algorithm>
#include <bit>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_set>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/holder/json_holder.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace JsonParseState {
enum tagJsonParseState {
    BeforeRoot = 1,
    ArrayFirst = 2,
    ObjectFirst = 3,
    AfterValue = 4,
    InString = 5,
    InLiteral = 6,
    InNumber = 7,
    ObjectNext = 8,
    ArrayNext = 9,
    AfterName = 10,
    InEscape = 11,
    MemberValue = 12,
};
} // namespace JsonParseState

namespace {

// The six characters iswspace gives in the C locale on every platform. Other Unicode spaces
// (no-break space, U+FEFF) are not white space to this reader, on Windows and Linux alike.
inline bool is_white(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

inline bool is_literal_start(char16_t c)
{
    return c == u't' || c == u'f' || c == u'n';
}

inline bool is_number_start(char16_t c)
{
    return (c >= u'0' && c <= u'9') || c == u'-';
}

// "nultrefas": the letters of null, true and false.
inline bool is_literal_char(char16_t c)
{
    switch (c) {
    case u'n': case u'u': case u'l': case u't': case u'r': case u'e': case u'f': case u'a': case u's':
        return true;
    default:
        return false;
    }
}

// "0123456789Ee-."
inline bool is_number_char(char16_t c)
{
    return (c >= u'0' && c <= u'9') || c == u'E' || c == u'e' || c == u'-' || c == u'.';
}

inline bool is_hex_digit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Inside a string, the characters that need more than being appended: the quote, the escape, and
// the line feed (which moves the position to a new line).
inline bool is_plain(char16_t c)
{
    return c != u'"' && c != u'\\' && c != u'\n';
}

// is_plain as a type of its own, so that a source can scan such a run its own way.
struct PlainChar {
    bool operator()(char16_t c) const { return is_plain(c); }
};

// How many of the `n` code units at `p` come before the first that is not plain. Strings make up
// most of a document, so they are scanned eight code units at a time where the processor can.
inline size_t plain_prefix(const char16_t* p, size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi16(u'"');
    const __m128i backslash = _mm_set1_epi16(u'\\');
    const __m128i line_feed = _mm_set1_epi16(u'\n');
    for (; i + 8 <= n; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, backslash)),
                                           _mm_cmpeq_epi16(units, line_feed));
        const unsigned mask = unsigned(_mm_movemask_epi8(stops));
        if (mask != 0) return i + size_t(std::countr_zero(mask)) / 2;
    }
#endif
    while (i < n && is_plain(p[i]))
        ++i;
    return i;
}

// Code units of a text held in memory, offered the way Strumien offers a file's.
class TextSource {
public:
    explicit TextSource(std::u16string_view text) : text_(text) {}
    uint64_t getSize() const { return uint64_t(text_.size()) * 2; }
    char16_t ReadWChar() { return pos_ < text_.size() ? text_[pos_++] : char16_t(0xFFFF); }

    // Appends to `out` the code units ahead, at most `limit`, as long as `keep` takes them;
    // returns how many were taken.
    template <class Keep>
    size_t ReadRun(std::u16string& out, uint64_t limit, Keep keep)
    {
        const size_t end = pos_ + size_t(std::min<uint64_t>(limit, text_.size() - pos_));
        size_t i = pos_;
        if constexpr (std::is_same_v<Keep, PlainChar>) {
            i += plain_prefix(text_.data() + pos_, end - pos_);
        } else {
            while (i < end && keep(text_[i]))
                ++i;
        }
        const size_t taken = i - pos_;
        out.append(text_.data() + pos_, taken);
        pos_ = i;
        return taken;
    }

private:
    std::u16string_view text_;
    size_t pos_ = 0;
};

// The value of a number text that is an optional minus and up to fifteen decimal digits: exact
// in a double, so the same value the full conversion gives. Empty for any other text.
inline std::optional<double> small_integer(std::u16string_view text)
{
    size_t i = text.size() > 0 && text[0] == u'-' ? 1 : 0;
    const size_t digits = text.size() - i;
    if (digits == 0 || digits > 15) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + uint64_t(c - u'0');
    }
    return text[0] == u'-' ? -double(value) : double(value);
}

} // namespace

class JsonParser {
public:
    template <class Source>
    static bool run(Source& input, JsonHolder& result, std::u16string& error);
    // The usual case of a text in memory: one container, white space around it at most, and no
    // error. Builds the tree `run` would build and returns true, or returns false (`result`
    // untouched) for any other text, which `run` then reads to give its value or its error.
    static bool read_plain(std::u16string_view input, JsonHolder& result);

private:
    using Pending = std::vector<JsonHolder::ObjectType::value_type>;
    // Makes `node` (an array or object just closed) its container at its final size, moving its
    // elements or members (sorted by name unless they came in order) off the end of `pending`,
    // from `first` on.
    static void fill(JsonHolder* node, Pending& pending, size_t first, bool in_order)
    {
        const auto from = pending.begin() + ptrdiff_t(first);
        if (node->kind == JsonHolderType::Array) {
            auto* elements = new JsonHolder::ArrayType;
            node->payload.array = elements;
            elements->reserve(size_t(pending.end() - from));
            for (auto it = from; it != pending.end(); ++it)
                elements->push_back(it->second);
        } else {
            auto* members = new JsonHolder::ObjectType;
            node->payload.object = members;
            if (!in_order)
                std::sort(from, pending.end(), [](const auto& a, const auto& b) {
                    return std::u16string_view(a.first) < std::u16string_view(b.first);
                });
            members->members_.reserve(size_t(pending.end() - from));
            for (auto it = from; it != pending.end(); ++it)
                members->members_.push_back(std::move(*it));
        }
        pending.erase(from, pending.end());
    }
};

// One pass with the containers on a stack of their own, as `run`, but over the code units in
// memory, taking each text, name and number in one piece and no positions kept: a fault is only
// recognised and left to `run`, which reads the text again for the message.
bool JsonParser::read_plain(std::u16string_view input, JsonHolder& result)
{
    using Member = JsonHolder::ObjectType::value_type;
    const char16_t* p = input.data();
    const char16_t* const end = p + input.size();
    auto skip_white = [&] {
        while (p != end && is_white(*p))
            ++p;
    };
    skip_white();
    if (p == end || (*p != u'{' && *p != u'[')) return false;

    json_blocks::LoadScope blocks;
    auto root_owner = std::make_unique<JsonHolder>();
    struct Frame {
        JsonHolder* node;
        size_t first;
        bool in_order;
        std::unique_ptr<std::unordered_set<std::u16string>> names;
    };
    std::vector<Frame> frames;
    std::vector<Member> pending;
    struct Owner {
        std::vector<Member>& values;
        ~Owner()
        {
            for (auto& value : values)
                delete value.second;
        }
    } pending_owner{pending};
    const bool large = input.size() >= 16 * 1024;
    frames.reserve(large ? 256 : 8);
    pending.reserve(large ? 1024 : 32);
    std::u16string text, escape;

    auto open = [&](JsonHolder* node, char16_t c) {
        node->kind = c == u'{' ? JsonHolderType::Object : JsonHolderType::Array;
        node->payload.raw = 0;
        frames.push_back({node, pending.size(), true, nullptr});
        ++p;
    };
    // The text after an opening quote up to its closing quote, which is passed. Escapes decoded
    // into `text`, else read in place. None when it does not end or holds a bad escape.
    auto read_text = [&]() -> std::optional<std::u16string_view> {
        const char16_t* start = p;
        p += plain_prefix(p, size_t(end - p));
        while (p != end && *p == u'\n') {
            ++p;
            p += plain_prefix(p, size_t(end - p));
        }
        if (p == end) return std::nullopt;
        if (*p == u'"') return std::u16string_view(start, size_t(p++ - start));
        text.assign(start, size_t(p - start));
        while (p != end) {
            const char16_t c = *p++;
            if (c == u'"') return std::u16string_view(text);
            if (c != u'\\') {
                text.push_back(c);
                continue;
            }
            escape.clear();
            for (;;) {
                if (p == end) return std::nullopt;
                escape.push_back(*p++);
                try {
                    if (JsonHolder::EscToChar(escape, text, 0, 0)) break;
                } catch (const JsonHolderException&) {
                    return std::nullopt;
                }
            }
        }
        return std::nullopt;
    };
    // Hands the innermost open container what was read for it and closes it.
    auto close = [&] {
        fill(frames.back().node, pending, frames.back().first, frames.back().in_order);
        frames.pop_back();
        ++p;
    };

    open(root_owner.get(), *p);
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const bool object = frame.node->kind == JsonHolderType::Object;
        const bool first_entry = pending.size() == frame.first;
        skip_white();
        if (p == end) return false;
        // At the start of a container or after a value: its end, or the next entry.
        if (*p == (object ? u'}' : u']')) {
            close();
        } else {
            if (!first_entry) {
                if (*p != u',') return false;
                ++p;
                skip_white();
                if (p == end) return false;
            }
            json_blocks::Text name;
            if (object) {
                if (*p != u'"') return false;
                ++p;
                const auto read = read_text();
                if (!read || read->empty()) return false;
                const std::u16string_view key = *read;
                // Documents list their members in name order; a name out of order, or repeated,
                // takes the full check.
                if (!frame.in_order || (pending.size() > frame.first && std::u16string_view(pending.back().first) >= key)) {
                    if (!frame.names) {
                        frame.names = std::make_unique<std::unordered_set<std::u16string>>();
                        for (size_t i = frame.first; i < pending.size(); ++i)
                            frame.names->emplace(std::u16string_view(pending[i].first));
                    }
                    if (!frame.names->emplace(key).second) return false;
                    frame.in_order = false;
                }
                name = json_blocks::Text(key);
                skip_white();
                if (p == end || *p != u':') return false;
                ++p;
                skip_white();
                if (p == end) return false;
            }
            const char16_t c = *p;
            auto child = std::make_unique<JsonHolder>();
            JsonHolder* made = child.get();
            if (c == u'"') {
                ++p;
                const auto read = read_text();
                if (!read) return false;
                made->kind = JsonHolderType::String;
                made->payload.string = JsonHolder::make_text(*read);
            } else if (c == u'{' || c == u'[') {
                // Its contents follow before anything else of this container.
            } else if (is_literal_start(c)) {
                const char16_t* start = p;
                while (p != end && is_literal_char(*p))
                    ++p;
                const std::u16string_view literal(start, size_t(p - start));
                if (literal == u"null") {
                    made->kind = JsonHolderType::Null;
                    made->payload.raw = 0;
                } else if (literal == u"true" || literal == u"false") {
                    made->kind = JsonHolderType::Bool;
                    made->payload.raw = 0;
                    made->payload.flag = literal[0] == u't';
                } else {
                    return false;
                }
            } else if (is_number_start(c)) {
                const char16_t* start = p;
                while (p != end && is_number_char(*p))
                    ++p;
                // "%lf": the longest leading part that is a number; nothing at all is an error.
                const std::u16string_view number(start, size_t(p - start));
                auto value = small_integer(number);
                if (!value) value = text::scan_double(number);
                if (!value) return false;
                made->kind = JsonHolderType::Number;
                made->payload.number = *value;
            } else {
                return false;
            }
            // A literal or a number ends at white space, a comma or its container's end.
            if ((is_literal_start(c) || is_number_start(c)) &&
                (p == end || !(is_white(*p) || *p == u',' || *p == (object ? u'}' : u']'))))
                return false;
            pending.emplace_back(std::move(name), made);
            child.release();
            if (c == u'{' || c == u'[') open(made, c); // `frame` is not used after this
        }
    }
    skip_white();
    if (p != end) return false;
    result.destruuj();
    result.take(*root_owner);
    return true;
}

template <class Source>
bool JsonParser::run(Source& input, JsonHolder& result, std::u16string& error)
{
    using namespace JsonParseState;
    using Kind = JsonHolderType::JsonHolderType;

    // The root is owned here until it is handed to the result; everything built hangs below it,
    // so releasing it on an error releases the whole partial tree.
    // The document's values, texts and containers are cut from one store, in reading order.
    json_blocks::LoadScope blocks;
    auto root_owner = std::make_unique<JsonHolder>();
    JsonHolder* root = root_owner.get();
    JsonHolder* current = root;
    // The whole input, as whole code units; an odd final byte is never read.
    const uint64_t count = input.getSize() / 2;
    std::vector<JsonHolder*> stack;
    // For a large document, one up-front allocation for the usual depths. Made first, a request of
    // this size also has the allocator gather up the small blocks freed earlier, so the new tree is
    // laid out compactly; loading and releasing large documents is markedly faster for it. A small
    // document is over before that pays.
    stack.reserve(count >= 16 * 1024 ? 1024 : 16);
    int depth = 0;
    std::u16string text, name, escape;
    bool is_name = false;
    int line = 1, column = 1;
    tagJsonParseState state = BeforeRoot;

    // The elements and members of the open containers, in reading order; each open container's
    // own begin at its frame's `first`. They move into their container when it closes, which is
    // then made at its final size. Until then the values are owned here.
    struct Frame {
        size_t first;
        bool in_order; // the member names so far ascend
        // Once they do not: every name so far, to find a repeated one at once.
        std::unique_ptr<std::unordered_set<std::u16string>> names;
    };
    std::vector<JsonHolder::ObjectType::value_type> pending;
    std::vector<Frame> frames;
    struct Owner {
        std::vector<JsonHolder::ObjectType::value_type>& values;
        ~Owner()
        {
            for (auto& value : values)
                delete value.second;
        }
    } pending_owner{pending};
    pending.reserve(count >= 16 * 1024 ? 1024 : 32);
    frames.reserve(count >= 16 * 1024 ? 256 : 8);

    // An open container has no payload yet.
    auto set_container = [&](JsonHolder& node, Kind kind) {
        node.destruuj();
        node.kind = kind;
        node.payload.raw = 0;
        frames.push_back({pending.size(), true, nullptr});
    };

    // Hands the current container what was read for it.
    auto fill_container = [&] {
        fill(current, pending, frames.back().first, frames.back().in_order);
        frames.pop_back();
    };

    // Adds a value begun by `c` to the current container (under `name` when `member`), makes it
    // current and sets the state for its first character.
    auto create_child = [&](char16_t c, bool member) {
        auto child = std::make_unique<JsonHolder>();
        if (!member) {
            pending.emplace_back(json_blocks::Text(), child.get());
        } else {
            // Documents list their members in name order, as this library writes them; a name out
            // of order, or repeated, takes the full check.
            Frame& frame = frames.back();
            const std::u16string_view key = name;
            if (!frame.in_order || (pending.size() > frame.first && std::u16string_view(pending.back().first) >= key)) {
                if (!frame.names) {
                    frame.names = std::make_unique<std::unordered_set<std::u16string>>();
                    for (size_t i = frame.first; i < pending.size(); ++i)
                        frame.names->emplace(std::u16string_view(pending[i].first));
                }
                if (!frame.names->emplace(key).second)
                    throw JsonHolderException(u"Pole obiektu o wskazanej nazwie już istnieje");
                frame.in_order = false;
            }
            pending.emplace_back(json_blocks::Text(key), child.get());
        }
        JsonHolder* made = child.release();
        if (c == u'[')
            set_container(*made, JsonHolderType::Array);
        else if (c == u'{')
            set_container(*made, JsonHolderType::Object);
        // A quote, a literal or a number starts as a Null placeholder that gets its final value
        // when its text is complete.
        stack.push_back(current);
        current = made;
        ++depth;
        if (c == u'"') {
            is_name = false;
            text.clear();
            state = InString;
        } else if (c == u'[') {
            state = ArrayFirst;
        } else if (c == u'{') {
            state = ObjectFirst;
        } else if (is_literal_start(c)) {
            text.assign(1, c);
            state = InLiteral;
        } else {
            text.assign(1, c);
            state = InNumber;
        }
    };

    auto closing = [&] {
        current = stack.back();
        stack.pop_back();
        --depth;
    };

    auto container_end = [&] {
        fill_container();
        if (depth > 0) {
            closing();
            state = AfterValue;
        } else {
            state = BeforeRoot;
        }
    };

    auto closing_bracket = [&](char16_t c) {
        return (c == u']' && current->kind == JsonHolderType::Array) ||
               (c == u'}' && current->kind == JsonHolderType::Object);
    };

    // The character that ended a literal or a number, after the scalar has been closed.
    auto after_scalar = [&](char16_t c, const char16_t* message) {
        if (is_white(c))
            state = AfterValue;
        else if (c == u',')
            state = current->kind == JsonHolderType::Object ? ObjectNext : ArrayNext;
        else if (closing_bracket(c))
            container_end();
        else
            throw JsonHolderException(column, line, message);
    };

    try {
        for (uint64_t i = 0; i < count; ++i) {
            const char16_t c = input.ReadWChar();
            ++column;
            if (c == u'\n') {
                ++line;
                column = 1;
            }
            switch (state) {
            case BeforeRoot:
                if (is_white(c)) break;
                if (c == u'{') {
                    set_container(*current, JsonHolderType::Object);
                    state = ObjectFirst;
                } else if (c == u'[') {
                    set_container(*current, JsonHolderType::Array);
                    state = ArrayFirst;
                } else {
                    throw JsonHolderException(column, line, u"Nieprawidłowy znak rozpoczynający treść JSON");
                }
                break;

            case ArrayFirst:
            case ArrayNext:
                if (is_white(c)) break;
                if (state == ArrayFirst && c == u']') {
                    container_end();
                } else if (c == u'"' || c == u'[' || c == u'{' || is_literal_start(c) || is_number_start(c)) {
                    create_child(c, false);
                } else {
                    throw JsonHolderException(column, line,
                                              state == ArrayFirst ? u"Nieprawidłowy znak zaczynający wartość"
                                                                  : u"Nieprawidłowy początek wartości");
                }
                break;

            case ObjectFirst:
                if (is_white(c)) break;
                if (c == u'"') {
                    text.clear();
                    is_name = true;
                    state = InString;
                } else if (c == u'}') {
                    container_end();
                } else {
                    throw JsonHolderException(column, line, u"Nieprawidłowy znak rozpoczynający wartość");
                }
                break;

            case AfterValue:
                if (is_white(c)) break;
                if (c == u',') {
                    state = current->kind == JsonHolderType::Array ? ArrayNext : ObjectNext;
                } else if (closing_bracket(c)) {
                    container_end();
                } else {
                    throw JsonHolderException(column, line,
                                              current->kind == JsonHolderType::Array
                                                  ? u"Nieprawidłowy znak po elemencie tablicy"
                                                  : u"Nieprawidłowy znak po polu obiektu");
                }
                break;

            case InString:
                if (c == u'"') {
                    if (is_name) {
                        if (text.empty()) throw JsonHolderException(column, line, u"Nazwa pola nie może być pusta");
                        name.swap(text);
                        state = AfterName;
                    } else {
                        current->kind = JsonHolderType::String;
                        current->payload.string = JsonHolder::make_text(text);
                        closing();
                        state = AfterValue;
                    }
                } else if (c == u'\\') {
                    escape.clear();
                    state = InEscape;
                } else {
                    text.push_back(c);
                    if (c != u'\n') {
                        // The plain characters that follow in one piece: each only moves the column.
                        const size_t taken = input.ReadRun(text, count - i - 1, PlainChar{});
                        i += taken;
                        column += int(taken);
                    }
                }
                break;

            case InLiteral:
                if (is_literal_char(c)) {
                    text.push_back(c);
                    break;
                }
                if (text == u"null") {
                    current->kind = JsonHolderType::Null;
                    current->payload.raw = 0;
                } else if (text == u"true" || text == u"false") {
                    current->kind = JsonHolderType::Bool;
                    current->payload.raw = 0;
                    current->payload.flag = text[0] == u't';
                } else {
                    throw JsonHolderException(column, line, u"Nieprawidłowy literał");
                }
                closing();
                after_scalar(c, u"Nieprawidłowy literał lub znak po literale");
                break;

            case InNumber: {
                if (is_number_char(c)) {
                    text.push_back(c);
                    // The number characters that follow in one piece: each only moves the column.
                    const size_t taken = input.ReadRun(text, count - i - 1, is_number_char);
                    i += taken;
                    column += int(taken);
                    break;
                }
                // "%lf": the longest leading part that is a number; nothing at all is an error.
                auto value = small_integer(text);
                if (!value) value = text::scan_double(text);
                if (!value) throw JsonHolderException(column, line, u"Niepoprawny format liczby");
                current->kind = JsonHolderType::Number;
                current->payload.number = *value;
                closing();
                after_scalar(c, u"Nieprawidłowy znak po liczbie");
                break;
            }

            case ObjectNext:
                if (is_white(c)) break;
                if (c != u'"') throw JsonHolderException(column, line, u"Nieprawidłowy początek nazwy pola");
                text.clear();
                is_name = true;
                state = InString;
                break;

            case AfterName:
                if (is_white(c)) break;
                if (c != u':') throw JsonHolderException(column, line, u"Po nazwie musi być dwukropek");
                state = MemberValue;
                break;

            case InEscape:
                escape.push_back(c);
                if (JsonHolder::EscToChar(escape, text, column, line)) state = InString;
                break;

            case MemberValue:
                if (is_white(c)) break;
                if (c == u'"' || c == u'[' || c == u'{' || is_literal_start(c) || is_number_start(c))
                    create_child(c, true);
                else
                    throw JsonHolderException(column, line, u"Nieprawidłowy początek wartości");
                break;
            }
        }
        if (state != BeforeRoot) throw JsonHolderException(column, line, u"Tekst JSON niedokończony");
    } catch (const JsonHolderException& e) {
        error = e.message;
        return false;
    }

    // The finished tree moves to the result as a whole; a copy would give the same value.
    result.destruuj();
    result.take(*root);
    return true;
}

bool JsonHolder::Parse(Strumien& input, JsonHolder& result, std::u16string& error)
{
    return JsonParser::run(input, result, error);
}

bool JsonHolder::Parse(std::u16string_view input, JsonHolder& result, std::u16string& error)
{
    if (JsonParser::read_plain(input, result)) return true;
    TextSource source(input);
    return JsonParser::run(source, result, error);
}

bool JsonHolder::EscToChar(const std::u16string& escape, std::u16string& text, int column, int line)
{
    auto fail = [&]() -> bool { throw JsonHolderException(column, line, u"Nieprawidłowa ESC-sekwencja"); };
    if (escape.empty()) return fail();
    switch (escape[0]) {
    case u'\\': text.push_back(u'\\'); return true;
    case u'"': text.push_back(u'"'); return true;
    case u'/': text.push_back(u'/'); return true;
    case u'r': text.push_back(u'\r'); return true;
    case u'n': text.push_back(u'\n'); return true;
    case u'f': text.push_back(u'\f'); return true;
    case u't': text.push_back(u'\t'); return true;
    case u'b': text.push_back(u'\b'); return true;
    default: break;
    }

    // \uXXXX, or a surrogate pair \uXXXX\uXXXX.
    const size_t n = escape.size();
    const char16_t last = escape[n - 1];
    if (n == 1) {
        if (last != u'u') fail();
        return false;
    }
    if ((n >= 2 && n <= 5) || (n >= 8 && n <= 11)) {
        if (!is_hex_digit(last)) fail();
    } else if (n == 6) {
        if (last != u'\\') fail();
    } else if (n == 7) {
        if (last != u'u') fail();
    } else {
        fail();
    }
    if (n < 5) return false;

    auto unit_at = [&](size_t from) {
        const auto value = text::scan_hex(std::u16string_view(escape).substr(from, 4));
        if (!value) fail();
        return char16_t(*value);
    };
    const char16_t first = unit_at(1);
    if (n == 5) {
        if (first >= 0xD800 && first <= 0xDFFF) {
            if (first >= 0xDC00) fail();
            return false; // a high surrogate: its pair must follow
        }
        text.push_back(first);
        return true;
    }
    if (n < 11) return false;
    const char16_t second = unit_at(7);
    if (second < 0xDC00 || second > 0xDFFF) fail();
    text.push_back(first);
    text.push_back(second);
    return true;
}

} // namespace ZelmUsbVardoManager
