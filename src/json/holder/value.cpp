#include <algorithm>
#include <typeinfo>
#include <utility>

#include "json/holder/json_holder.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

// ---------------------------------------------------------------------------------------------
// JsonHolderException

JsonHolderException::JsonHolderException() = default;

JsonHolderException::JsonHolderException(std::u16string text) : message(std::move(text)) {}

JsonHolderException::JsonHolderException(std::u16string text, uint32_t error_code)
    : message(std::move(text)), code(error_code)
{
}

JsonHolderException::JsonHolderException(int column, int line, std::u16string_view text)
{
    // The prefix ends at the NUL given to "%c", so the text follows the blank directly.
    message = text::format(u"Linia=%d Kolumna=%d %c", line, column, char16_t(0));
    message.append(text);
}

JsonHolderException::~JsonHolderException() = default;

JsonHolderException* JsonHolderException::Clone() const
{
    return new JsonHolderException(*this);
}

// ---------------------------------------------------------------------------------------------
// Construction and release

JsonHolder::JsonHolder() : kind(JsonHolderType::Null)
{
    payload.raw = 0;
}

JsonHolder::JsonHolder(const JsonHolder& other) : kind(JsonHolderType::Null)
{
    payload.raw = 0;
    aportuj(other);
}

JsonHolder::JsonHolder(bool value) : kind(JsonHolderType::Bool)
{
    payload.raw = 0;
    payload.flag = value;
}

JsonHolder::JsonHolder(double value) : kind(JsonHolderType::Number)
{
    payload.number = value;
}

JsonHolder::JsonHolder(const std::u16string& value) : kind(JsonHolderType::String)
{
    payload.string = make_text(value);
}

JsonHolder::JsonHolder(ArrayType* elements) : kind(JsonHolderType::Array)
{
    payload.array = elements ? elements : new ArrayType;
}

JsonHolder::JsonHolder(ObjectType* members) : kind(JsonHolderType::Object)
{
    payload.object = members ? members : new ObjectType;
}

JsonHolder::~JsonHolder()
{
    destruuj();
}

JsonHolder JsonHolder::CreateObject()
{
    return JsonHolder(new ObjectType);
}

JsonHolder JsonHolder::CreateArray()
{
    return JsonHolder(new ArrayType);
}

JsonHolder* JsonHolder::Clone() const
{
    return new JsonHolder(*this);
}

// Releases the subtree without recursion, so that a document nested a hundred thousand levels
// deep cannot exhaust the stack, yet in the order a recursive release would take: each element or
// member with its subtree in order, then the container itself. The work stack holds one entry per
// open level; this order also lets the allocator release a large tree markedly faster than a
// breadth-first or reversed one. A value of this very class (not one derived from it) has nothing
// to release but its payload and its own block, so those go straight to the releaser, which counts
// the blocks of a document's store inline; any other value is deleted as usual.
void JsonHolder::destruuj()
{
    if (kind == JsonHolderType::String) {
        drop_text(payload.string);
        payload.raw = 0;
        return;
    }
    if (kind != JsonHolderType::Array && kind != JsonHolderType::Object) return;
    json_blocks::ReleaseScope batch;
    json_blocks::Releaser releaser;

    struct Level {
        JsonHolder* node;
        JsonHolder** element; // next element of an array, up to `elements_end`
        JsonHolder** elements_end;
        ObjectType::value_type* member; // next member of an object, up to `members_end`
        ObjectType::value_type* members_end;
    };
    auto open = [](JsonHolder* node) {
        Level level{node, nullptr, nullptr, nullptr, nullptr};
        if (node->kind == JsonHolderType::Array) {
            level.element = node->payload.array->data();
            level.elements_end = level.element + node->payload.array->size();
        } else {
            level.member = node->payload.object->members_.data();
            level.members_end = level.member + node->payload.object->members_.size();
        }
        return level;
    };
    auto is_open_container = [](const JsonHolder* node) {
        return (node->kind == JsonHolderType::Array && node->payload.array && !node->payload.array->empty()) ||
               (node->kind == JsonHolderType::Object && node->payload.object && !node->payload.object->empty());
    };
    // Frees a released container's own parts and then the value that held it.
    auto free_container = [&](JsonHolder* done) {
        if (done->kind == JsonHolderType::Array)
            delete done->payload.array;
        else
            delete done->payload.object; // its member names are already released
        done->payload.raw = 0;
        if (done == this) return;
        if (typeid(*done) == typeid(JsonHolder))
            releaser(done);
        else
            delete done;
    };
    if (!is_open_container(this)) {
        free_container(this);
        return;
    }
    std::vector<Level> levels;
    levels.push_back(open(this));
    while (!levels.empty()) {
        Level& level = levels.back();
        JsonHolder* child;
        if (level.element != level.elements_end) {
            child = *level.element++;
        } else if (level.member != level.members_end) {
            releaser(level.member->first.take());
            child = level.member->second;
            ++level.member;
        } else {
            // Everything below is released: free the container itself.
            JsonHolder* done = level.node;
            levels.pop_back();
            free_container(done);
            continue;
        }
        if (is_open_container(child)) {
            levels.push_back(open(child)); // `level` may move
        } else if (typeid(*child) != typeid(JsonHolder)) {
            delete child;
        } else if (child->kind == JsonHolderType::Array || child->kind == JsonHolderType::Object) {
            free_container(child); // empty, or without a container yet
        } else {
            if (child->kind == JsonHolderType::String) releaser(child->payload.string);
            releaser(child);
        }
    }
}

void JsonHolder::take(JsonHolder& other)
{
    kind = other.kind;
    payload = other.payload;
    other.kind = JsonHolderType::Null;
    other.payload.raw = 0;
}

namespace {
bool valid_kind(int16_t kind)
{
    return kind > JsonHolderType::Undefined && kind <= JsonHolderType::Object;
}

[[noreturn]] void throw_bad_kind()
{
    throw JsonHolderException(u"Wadliwy argument typu JsonHolder &");
}
} // namespace

// Deep copy without recursion. When a value inside the source cannot be copied, everything built
// so far is released and this value is left Null.
void JsonHolder::aportuj(const JsonHolder& source)
{
    if (!valid_kind(source.kind)) {
        kind = JsonHolderType::Null;
        payload.raw = 0;
        throw_bad_kind();
    }

    // Copies the scalar part of `from` into `to` and gives `to` an empty container of its own.
    auto shallow = [](const JsonHolder& from, JsonHolder& to) {
        to.kind = from.kind;
        switch (from.kind) {
        case JsonHolderType::String:
            to.payload.string = make_text(from.payload.string->view());
            break;
        case JsonHolderType::Array:
            to.payload.array = new ArrayType;
            to.payload.array->reserve(from.payload.array->size());
            break;
        case JsonHolderType::Object:
            to.payload.object = new ObjectType;
            to.payload.object->members_.reserve(from.payload.object->size());
            break;
        default:
            to.payload = from.payload;
            break;
        }
    };

    kind = JsonHolderType::Null;
    payload.raw = 0;
    // The copy's values, texts and containers are cut from one store, as a parsed document's are.
    json_blocks::LoadScope blocks;
    shallow(source, *this);
    if (kind != JsonHolderType::Array && kind != JsonHolderType::Object)
        return;

    std::vector<std::pair<const JsonHolder*, JsonHolder*>> work{{&source, this}};
    try {
        while (!work.empty()) {
            auto [from, to] = work.back();
            work.pop_back();
            auto copy_child = [&](const JsonHolder* child) {
                if (!valid_kind(child->kind)) throw_bad_kind();
                auto copy = std::make_unique<JsonHolder>();
                shallow(*child, *copy);
                if (copy->kind == JsonHolderType::Array || copy->kind == JsonHolderType::Object)
                    work.emplace_back(child, copy.get());
                return copy;
            };
            if (from->kind == JsonHolderType::Array) {
                for (const JsonHolder* child : *from->payload.array) {
                    auto copy = copy_child(child);
                    to->payload.array->push_back(copy.get());
                    copy.release();
                }
            } else {
                // The source's names are in order and distinct: each copy goes to the end.
                for (const auto& [name, child] : *from->payload.object) {
                    auto copy = copy_child(child);
                    to->payload.object->members_.emplace_back(name, copy.get());
                    copy.release();
                }
            }
        }
    } catch (...) {
        destruuj();
        kind = JsonHolderType::Null;
        payload.raw = 0;
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Members of an object

namespace {
// The first member whose name is not before `name`.
template <class Members>
auto place(Members& members, std::u16string_view name)
{
    return std::lower_bound(members.begin(), members.end(), name, [](const auto& member, std::u16string_view key) {
        return std::u16string_view(member.first) < key;
    });
}
} // namespace

JsonHolder::ObjectType::const_iterator JsonHolder::ObjectType::find(std::u16string_view name) const noexcept
{
    const auto at = place(members_, name);
    return at != members_.end() && std::u16string_view(at->first) == name ? at : members_.end();
}

bool JsonHolder::ObjectType::insert(std::u16string_view name, JsonHolder* value)
{
    // Documents written by this library list members in name order: try the end first.
    if (members_.empty() || std::u16string_view(members_.back().first) < name) {
        members_.emplace_back(json_blocks::Text(name), value);
        return true;
    }
    const auto at = place(members_, name);
    if (std::u16string_view(at->first) == name) return false;
    members_.emplace(at, json_blocks::Text(name), value);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Access

uint64_t JsonHolder::Count() const
{
    switch (kind) {
    case JsonHolderType::String: return payload.string->size;
    case JsonHolderType::Array: return payload.array->size();
    case JsonHolderType::Object: return payload.object->size();
    default: throw JsonHolderException(u"Liczebność posiadają tylko napisy, tablice i obiekty");
    }
}

JsonHolder& JsonHolder::operator[](int index)
{
    return const_cast<JsonHolder&>(std::as_const(*this)[index]);
}

const JsonHolder& JsonHolder::operator[](int index) const
{
    if (kind != JsonHolderType::Array)
        throw JsonHolderException(u"Tylko wartość tablicowa może być indeksowana liczbą");
    if (index < 0) throw JsonHolderException(u"Indeks tablicy nie może być ujemny");
    if (uint64_t(index) >= payload.array->size())
        throw JsonHolderException(u"Indeks tablicy wykracza po za jej rozmiar");
    return *(*payload.array)[size_t(index)];
}

bool JsonHolder::HasField(const std::u16string& name) const
{
    if (kind != JsonHolderType::Object)
        throw JsonHolderException(u"Tylko wartość obiektowa może być indeksowana nazwą");
    return payload.object->find(name) != payload.object->end();
}

JsonHolder& JsonHolder::operator[](const std::u16string& name)
{
    return const_cast<JsonHolder&>(std::as_const(*this)[name]);
}

const JsonHolder& JsonHolder::operator[](const std::u16string& name) const
{
    if (kind != JsonHolderType::Object)
        throw JsonHolderException(u"Tylko wartość obiektowa może być indeksowana nazwą");
    auto it = payload.object->find(name);
    if (it == payload.object->end()) throw JsonHolderException(u"Obiekt nie posiada pola o takiej nazwie");
    return *it->second;
}

std::u16string JsonHolder::StringVal() const
{
    if (kind != JsonHolderType::String) throw JsonHolderException(u"Wartość nie jest typu String");
    return std::u16string(payload.string->view());
}

double JsonHolder::NumberVal() const
{
    if (kind != JsonHolderType::Number) throw JsonHolderException(u"Wartość nie jest typu liczby");
    return payload.number;
}

// ---------------------------------------------------------------------------------------------
// Mutation

JsonHolder* JsonHolder::Add(JsonHolder* element)
{
    if (kind != JsonHolderType::Array)
        throw JsonHolderException(u"Tylko do wartości tablicowej można dopisywać elementy");
    // A null child would break every walk of the tree later, far from the fault.
    if (!element) throw JsonHolderException(u"Wadliwy argument typu JsonHolder *");
    payload.array->push_back(element);
    return element;
}

JsonHolder* JsonHolder::Add(const std::u16string& name, JsonHolder* value)
{
    if (kind != JsonHolderType::Object)
        throw JsonHolderException(u"Tylko do wartości obiektowej można dopisywać pola");
    if (!value) throw JsonHolderException(u"Wadliwy argument typu JsonHolder *");
    if (!payload.object->insert(name, value))
        throw JsonHolderException(u"Pole obiektu o wskazanej nazwie już istnieje");
    return value;
}

JsonHolder& JsonHolder::operator=(const JsonHolder& other)
{
    // Copy first: the source may be this value or a part of it, and a failed copy leaves this
    // value as it was.
    JsonHolder copy(other);
    destruuj();
    take(copy);
    return *this;
}

JsonHolder& JsonHolder::operator=(bool value)
{
    destruuj();
    kind = JsonHolderType::Bool;
    payload.raw = 0;
    payload.flag = value;
    return *this;
}

JsonHolder& JsonHolder::SetToNull()
{
    destruuj();
    kind = JsonHolderType::Null;
    payload.raw = 0;
    return *this;
}

} // namespace ZelmUsbVardoManager
