// A small, strict reader of JSON text (RFC 8259) for the machine description.
//
// Why the model has a reader of its own: the model engine is part of the platform layer, which sits
// below the JSON library (text <- platform <- json); using that library here would turn the
// dependency around, and reaching the engine through a hook from a library above json would leave
// the posix backend with no machine of its own. The machine description needs only a document
// tree with the byte positions of its values (a volume is marked ejected by editing the text in
// place), which this reader gives in a few hundred lines.
//
// Bounded: nesting deeper than `max_depth` and documents of more than `max_values` values are
// refused, so a hostile file costs neither the stack nor unbounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::model::json {

constexpr int max_depth = 200;
constexpr size_t max_values = 400000;

struct Value {
    enum class Kind : uint8_t { null, boolean, number, string, array, object };

    Kind kind = Kind::null;
    bool flag = false;
    double number = 0;
    std::u16string text;             // a string's value (any UTF-16, embedded NULs kept)
    std::vector<Value> items;        // an array's elements, or an object's member values
    std::vector<std::u16string> names; // an object's member names, beside `items`
    size_t begin = 0;                // the value's bytes in the source: [begin, end)
    size_t end = 0;

    bool is_null() const { return kind == Kind::null; }
    bool is_string() const { return kind == Kind::string; }
    bool is_number() const { return kind == Kind::number; }
    bool is_array() const { return kind == Kind::array; }
    bool is_object() const { return kind == Kind::object; }
    bool is_bool() const { return kind == Kind::boolean; }

    // The member named `name` (ASCII) of an object, the first when a name repeats; null when the
    // value is not an object or has no such member.
    const Value* find(std::string_view name) const;
};

// Parses the whole text (UTF-8, an optional byte-order mark). On failure `error` says what and
// where ("line 3, column 7: ...") and `out` is unspecified.
bool parse(std::string_view text, Value& out, std::string& error);

} // namespace platform::model::json
