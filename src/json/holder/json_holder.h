// The JSON value of the USB-control library: one heap object per value, numbers as doubles,
// objects ordered by member name, errors thrown as JsonHolderException. Its text form is compact
// (no white space); files hold that text as UTF-16LE code units without a byte-order mark.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/holder/blocks.h"
#include "platform/errors.h"

namespace ZelmUsbVardoManager {

namespace JsonHolderType {
enum JsonHolderType : int16_t {
    Undefined = 0,
    Null = 1,
    Bool = 2,
    Number = 3,
    String = 4,
    Array = 5,
    Object = 6,
};
} // namespace JsonHolderType

// Every error of the JSON layer. `code` is 0 unless the error came from the system (file errors
// carry the Windows error code).
class JsonHolderException {
public:
    JsonHolderException();
    explicit JsonHolderException(std::u16string text);
    JsonHolderException(std::u16string text, uint32_t error_code);
    // A syntax error at a text position. Column first, line second.
    JsonHolderException(int column, int line, std::u16string_view text);
    JsonHolderException(const JsonHolderException&) = default;
    JsonHolderException& operator=(const JsonHolderException&) = default;
    virtual ~JsonHolderException();
    virtual JsonHolderException* Clone() const;

    std::u16string message;
    uint32_t code = 0;
};

class Strumien;

class JsonHolder {
public:
    // Names compare as std::u16string does, code unit by code unit as unsigned 16-bit numbers, a
    // prefix first: exactly the member order the written text must show. A name is looked up by
    // any text.
    struct NameOrder {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return a < b; }
    };
    // The containers, their buffers, member names and texts are blocks
    // (json/holder/blocks.h): those made while a document is parsed or copied are cut from its
    // store. Containers given to the adopting constructors are made with `new` as usual.
    class ArrayType : public std::vector<JsonHolder*, json_blocks::Allocator<JsonHolder*>> {
    public:
        using vector::vector;
        static void* operator new(size_t size) { return json_blocks::allocate(size); }
        static void operator delete(void* p) noexcept { json_blocks::release(p); }
    };
    // The members of an object: one array of (name, value) pairs kept in name order, searched by
    // halving. Documents list their members in that order, so a member read or copied in turn is
    // appended; only a name out of order moves the ones after it.
    class ObjectType {
    public:
        using value_type = std::pair<json_blocks::Text, JsonHolder*>;
        using Storage = std::vector<value_type, json_blocks::Allocator<value_type>>;
        using const_iterator = Storage::const_iterator;

        const_iterator begin() const noexcept { return members_.begin(); }
        const_iterator end() const noexcept { return members_.end(); }
        size_t size() const noexcept { return members_.size(); }
        bool empty() const noexcept { return members_.empty(); }
        // The member of that name, or end().
        const_iterator find(std::u16string_view name) const noexcept;
        // Puts a member in its place by name; false (and nothing added) when the name is taken.
        bool insert(std::u16string_view name, JsonHolder* value);

        static void* operator new(size_t size) { return json_blocks::allocate(size); }
        static void operator delete(void* p) noexcept { json_blocks::release(p); }

    private:
        friend class JsonHolder;
        friend class JsonParser;
        Storage members_;
    };

    // Values are blocks too: a value made while a document is parsed lives in its store.
    static void* operator new(size_t size) { return json_blocks::allocate(size); }
    static void operator delete(void* p) noexcept { json_blocks::release(p); }

    JsonHolder();
    JsonHolder(const JsonHolder& other);
    explicit JsonHolder(bool value);
    explicit JsonHolder(double value);
    explicit JsonHolder(int value) : JsonHolder(double(value)) {}
    explicit JsonHolder(const std::u16string& value);
    explicit JsonHolder(const char16_t* value) : JsonHolder(std::u16string(value)) {}
    // Adopt the container and every element in it, without copying.
    explicit JsonHolder(ArrayType* elements);
    explicit JsonHolder(ObjectType* members);
    // Any other pointer would silently become a Bool.
    template <class T>
    explicit JsonHolder(T*) = delete;
    virtual ~JsonHolder();

    static JsonHolder CreateObject();
    static JsonHolder CreateArray();
    // A heap deep copy; the caller owns it.
    JsonHolder* Clone() const;

    // --- access ---------------------------------------------------------------------------
    JsonHolderType::JsonHolderType GetTyp() const { return JsonHolderType::JsonHolderType(kind); }
    // Code units of a String, elements of an Array, members of an Object.
    uint64_t Count() const;
    JsonHolder& operator[](int index);
    const JsonHolder& operator[](int index) const;
    bool HasField(const std::u16string& name) const;
    JsonHolder& operator[](const std::u16string& name);
    const JsonHolder& operator[](const std::u16string& name) const;
    JsonHolder& operator[](const char16_t* name) { return (*this)[std::u16string(name)]; }
    const JsonHolder& operator[](const char16_t* name) const { return (*this)[std::u16string(name)]; }
    std::u16string StringVal() const;
    double NumberVal() const;
    // The members in name order, or nullptr when this is not an Object.
    const ObjectType* Fields() const { return kind == JsonHolderType::Object ? payload.object : nullptr; }

    // --- mutation -------------------------------------------------------------------------
    // Ownership of the pointer passes to the container; when these throw, the caller keeps it.
    JsonHolder* Add(JsonHolder* element);
    JsonHolder* Add(const std::u16string& name, JsonHolder* value);
    // Deep copy. The source is copied before this value is released, so it may be this value or
    // lie inside it.
    JsonHolder& operator=(const JsonHolder& other);
    JsonHolder& operator=(bool value);
    // Assigning a number or a text through the bool overload would be a silent bug.
    template <class T>
    JsonHolder& operator=(T) = delete;
    JsonHolder& SetToNull();

    // --- text -----------------------------------------------------------------------------
    // Reads the whole input into `result`. On an error, `error` gets the message and `result`
    // is left as it was.
    static bool Parse(Strumien& input, JsonHolder& result, std::u16string& error);
    // The same over the code units of a text held in memory.
    static bool Parse(std::u16string_view input, JsonHolder& result, std::u16string& error);
    // One step of decoding the characters after a backslash (the backslash itself excluded).
    // Appends the decoded character(s) to `text` and returns true when the escape is complete,
    // false when it needs more characters; throws on an invalid escape.
    static bool EscToChar(const std::u16string& escape, std::u16string& text, int column, int line);

    // Compact text; throws "Nieokreślony typ wartości" for a value of kind Undefined.
    std::u16string ToString() const;
    // The quoted text: a backslash, a quote, \b, \f, \n, \r and \t by their short escapes, every
    // other control character as "\u00XX"; the rest (the solidus, non-ASCII text) as it is.
    static std::u16string quote(std::u16string_view s);

    // 0, or an error code with the message in `status_text`.
    uint32_t SaveToFile(const std::u16string& path, std::u16string& status_text) const;
    static uint32_t LoadFromFile(const std::u16string& path, JsonHolder& result, std::u16string& status_text);

    // Throws the error of a file operation: "Plik [<file>]: <text> -> err=0x<code>".
    [[noreturn]] static void ThrowJsonHolderException(const char16_t* file, uint32_t code, const char16_t* text);

protected:
    int16_t kind;
    union Payload {
        uint64_t raw;
        bool flag;
        double number;
        json_blocks::TextBlock* string; // made by make_text, released by drop_text
        ArrayType* array;
        ObjectType* object;
    } payload;

    static json_blocks::TextBlock* make_text(std::u16string_view text) { return json_blocks::TextBlock::make(text); }
    static void drop_text(json_blocks::TextBlock* text) noexcept { json_blocks::release(text); }

    // Releases the payload (the whole subtree); the kind stays.
    void destruuj();
    // Fills this value, whose payload is free, with a deep copy of `source`.
    void aportuj(const JsonHolder& source);

private:
    friend class JsonParser;
    // Hands the payload of `other` to this value, whose payload is free; `other` becomes Null.
    void take(JsonHolder& other);
};

static_assert(alignof(JsonHolder) <= json_blocks::kBlockAlignment &&
              alignof(JsonHolder::ArrayType) <= json_blocks::kBlockAlignment &&
              alignof(JsonHolder::ObjectType) <= json_blocks::kBlockAlignment);

// Reads a file as UTF-16LE code units.
class Strumien {
public:
    Strumien();
    ~Strumien();
    Strumien(const Strumien&) = delete;
    Strumien& operator=(const Strumien&) = delete;

    // Opens an existing file for reading, shared for read, write and delete. False when already
    // open or when the file cannot be opened (LastError() then tells why).
    bool OpenFileToRead(const std::u16string& path);
    // The file's length in bytes; 0 when not open or when the size cannot be read.
    uint64_t getSize();
    // The next code unit in file order (low byte first); 0xFFFF when not open, on a read error,
    // or when fewer than two bytes are left.
    char16_t ReadWChar()
    {
        if (end_ - pos_ >= 2) {
            const char16_t c = char16_t(buffer_[pos_] | (buffer_[pos_ + 1] << 8));
            pos_ += 2;
            return c;
        }
        return ReadWCharSlow();
    }
    bool Close();
    // The system error of the last failed open.
    platform::Error LastError() const { return last_error_; }

private:
    friend class JsonParser;
    char16_t ReadWCharSlow();
    // For the parser: appends the buffered code units ahead, at most `limit`, as long as `keep`
    // takes them; returns how many were taken. Never reads the file.
    template <class Keep>
    size_t ReadRun(std::u16string& out, uint64_t limit, Keep keep)
    {
        size_t taken = 0;
        while (taken < limit && end_ - pos_ >= 2) {
            const char16_t c = char16_t(buffer_[pos_] | (buffer_[pos_ + 1] << 8));
            if (!keep(c)) break;
            out.push_back(c);
            pos_ += 2;
            ++taken;
        }
        return taken;
    }

    platform::Handle handle_ = platform::null_handle;
    bool open_ = false;
    platform::Error last_error_ = 0;
    // Reading goes through this buffer: one system call per code unit would dominate the cost of
    // loading a document.
    std::unique_ptr<uint8_t[]> buffer_;
    size_t buffer_size_ = 0;
    size_t pos_ = 0;
    size_t end_ = 0;
};

// Whether a file or folder exists: 0 and the flag set, or the C errno of a failure other than
// "no such file" (the flag then untouched).
uint32_t FileExists(const std::u16string& path, bool& exists);

} // namespace ZelmUsbVardoManager
