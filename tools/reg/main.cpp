// reg: the part of Windows' reg.exe that the system's scripts and tests use, over the emulated
// registry of the posix backend (the machine below $ZELMUSB_PLATFORM_ROOT).
//
//   reg add HKLM\<key> [/v <name> | /ve] [/t <type>] [/s <separator>] [/d <data>] [/f]
//   reg query HKLM\<key> [/v <name> | /ve]
//   reg delete HKLM\<key> [/v <name> | /ve | /va] [/f]
//
// Types: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD (decimal or 0x data),
// REG_BINARY, REG_NONE (hexadecimal data). Output follows reg.exe line for line; exit code 0 on
// success and 1 on any error, as reg.exe. Only HKEY_LOCAL_MACHINE exists on the emulated machine.
// Without /f, overwriting or deleting asks on standard input, as reg.exe does; anything but an
// answer starting with "y" cancels, and a cancelled command exits with 1.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/registry.h"
#include "text/text.h"

namespace {

using namespace platform;

void out(const std::u16string& s)
{
    const std::string bytes = text::to_utf8(s);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void line(const std::u16string& s = u"")
{
    out(s + u"\n");
}

int fail(const std::u16string& message)
{
    std::fflush(stdout);
    const std::string bytes = text::to_utf8(message + u"\n");
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    return 1;
}

int syntax_error(const std::u16string& op)
{
    return fail(u"ERROR: Invalid syntax.\nType \"REG " + op + u" /?\" for usage.");
}

int error_of(Error e)
{
    switch (e) {
    case err::file_not_found: return fail(u"ERROR: The system was unable to find the specified registry key or value.");
    case err::access_denied: return fail(u"ERROR: Access is denied.");
    case err::registry_corrupt: return fail(u"ERROR: The configuration registry database is corrupt.");
    case err::key_deleted:
        return fail(u"ERROR: Illegal operation attempted on a registry key that has been marked for deletion.");
    default: return fail(text::format(u"ERROR: The operation failed with error %u.", e));
    }
}

struct TypeName {
    uint32_t type;
    const char16_t* name;
};
const TypeName type_names[] = {
    {reg_type::none, u"REG_NONE"},      {reg_type::sz, u"REG_SZ"},         {reg_type::expand_sz, u"REG_EXPAND_SZ"},
    {reg_type::binary, u"REG_BINARY"},  {reg_type::dword, u"REG_DWORD"},   {5, u"REG_DWORD_BIG_ENDIAN"},
    {6, u"REG_LINK"},                   {reg_type::multi_sz, u"REG_MULTI_SZ"}, {8, u"REG_RESOURCE_LIST"},
    {9, u"REG_FULL_RESOURCE_DESCRIPTOR"}, {10, u"REG_RESOURCE_REQUIREMENTS_LIST"}, {reg_type::qword, u"REG_QWORD"},
};

std::u16string type_name(uint32_t type)
{
    for (const auto& t : type_names)
        if (t.type == type) return t.name;
    return text::format(u"0x%x", type);
}

std::optional<uint32_t> type_of(const std::u16string& name)
{
    const std::u16string upper_name = text::to_lower(name);
    for (const auto& t : type_names)
        if (text::to_lower(t.name) == upper_name) return t.type;
    return std::nullopt;
}

std::u16string hex_bytes(const std::vector<uint8_t>& data)
{
    std::u16string s;
    for (uint8_t b : data) s += text::format(u"%02X", b);
    return s;
}

std::u16string text_until_nul(const std::vector<uint8_t>& data)
{
    std::u16string s = text::from_utf16le(data);
    const size_t nul = s.find(u'\0');
    return nul == std::u16string::npos ? s : s.substr(0, nul);
}

std::u16string data_text(uint32_t type, const std::vector<uint8_t>& data)
{
    switch (type) {
    case reg_type::sz:
    case reg_type::expand_sz:
    case 6: return text_until_nul(data);
    case reg_type::multi_sz: {
        std::u16string all = text::from_utf16le(data);
        while (!all.empty() && all.back() == u'\0') all.pop_back();
        std::u16string shown;
        for (char16_t c : all) shown += c == u'\0' ? std::u16string(u"\\0") : std::u16string(1, c);
        return shown;
    }
    case reg_type::dword:
        if (data.size() == 4) return text::format(u"0x%x", uint32_t(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24));
        break;
    case 5:
        if (data.size() == 4) return text::format(u"0x%x", uint32_t(data[3] | data[2] << 8 | data[1] << 16 | uint32_t(data[0]) << 24));
        break;
    case reg_type::qword:
        if (data.size() == 8) {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = v << 8 | data[size_t(i)];
            return text::format(u"0x%llx", v);
        }
        break;
    default: break;
    }
    return hex_bytes(data);
}

std::u16string value_line(const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data)
{
    return u"    " + (name.empty() ? std::u16string(u"(Default)") : name) + u"    " + type_name(type) + u"    " +
           data_text(type, data);
}

std::optional<uint64_t> number(const std::u16string& s, uint64_t max)
{
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    size_t i = 0;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        base = 16;
        i = 2;
    }
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        unsigned d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            return std::nullopt;
        if (v > (max - d) / base) return std::nullopt;
        v = v * base + d;
    }
    return v;
}

void append_sz(std::vector<uint8_t>& b, const std::u16string& s)
{
    const auto bytes = text::to_utf16le(s);
    b.insert(b.end(), bytes.begin(), bytes.end());
    b.push_back(0);
    b.push_back(0);
}

// The bytes of /d for a type; empty optional when the data does not fit the type.
std::optional<std::vector<uint8_t>> encode(uint32_t type, const std::u16string& data, const std::u16string& separator)
{
    std::vector<uint8_t> b;
    switch (type) {
    case reg_type::sz:
    case reg_type::expand_sz: append_sz(b, data); return b;
    case reg_type::multi_sz: {
        size_t start = 0;
        while (start <= data.size() && !data.empty()) {
            const size_t end = data.find(separator, start);
            append_sz(b, data.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
            if (end == std::u16string::npos) break;
            start = end + separator.size();
        }
        b.push_back(0);
        b.push_back(0);
        return b;
    }
    case reg_type::dword: {
        const auto v = number(data.empty() ? u"0" : data, 0xFFFFFFFFu);
        if (!v) return std::nullopt;
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(*v >> (8 * i)));
        return b;
    }
    case reg_type::qword: {
        const auto v = number(data.empty() ? u"0" : data, ~uint64_t(0));
        if (!v) return std::nullopt;
        for (int i = 0; i < 8; ++i) b.push_back(uint8_t(*v >> (8 * i)));
        return b;
    }
    case reg_type::binary:
    case reg_type::none: {
        if (data.size() % 2) return std::nullopt;
        for (size_t i = 0; i < data.size(); i += 2) {
            const auto v = number(u"0x" + data.substr(i, 2), 0xFF);
            if (!v) return std::nullopt;
            b.push_back(uint8_t(*v));
        }
        return b;
    }
    default: return std::nullopt;
    }
}

bool confirm(const std::u16string& question)
{
    out(question + u" (Yes/No)? ");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

struct Options {
    std::u16string full_name; // HKEY_LOCAL_MACHINE\..., as reg.exe prints it
    std::u16string path;      // below HKLM
    std::optional<std::u16string> value;
    bool all_values = false;
    std::optional<std::u16string> type, data, separator;
    bool force = false;
};

bool is_switch(const std::u16string& a, const char16_t* name)
{
    return (a.size() > 1 && (a[0] == u'/' || a[0] == u'-')) && text::to_lower(a.substr(1)) == name;
}

// 0 when parsed; otherwise the exit code after the message.
int parse(const std::u16string& op, const std::vector<std::u16string>& args, Options& o, bool& ok)
{
    ok = false;
    if (args.size() < 2) return syntax_error(op);
    std::u16string key = args[1];
    while (!key.empty() && key.back() == u'\\') key.pop_back();
    const size_t slash = key.find(u'\\');
    const std::u16string root = text::to_lower(key.substr(0, slash));
    if (root != u"hklm" && root != u"hkey_local_machine") {
        static const char16_t* const other_roots[] = {u"hkcu", u"hkey_current_user", u"hkcr", u"hkey_classes_root",
                                                     u"hku", u"hkey_users", u"hkcc", u"hkey_current_config"};
        for (const char16_t* r : other_roots)
            if (root == r) return fail(u"ERROR: Only HKEY_LOCAL_MACHINE exists on this machine.");
        return fail(u"ERROR: Invalid key name.\nType \"REG " + op + u" /?\" for usage.");
    }
    o.path = slash == std::u16string::npos ? std::u16string() : key.substr(slash + 1);
    o.full_name = u"HKEY_LOCAL_MACHINE" + (o.path.empty() ? std::u16string() : u"\\" + o.path);

    for (size_t i = 2; i < args.size(); ++i) {
        const std::u16string& a = args[i];
        auto take = [&](std::optional<std::u16string>& slot) {
            if (slot || i + 1 >= args.size()) return false;
            slot = args[++i];
            return true;
        };
        bool good = true;
        if (is_switch(a, u"v"))
            good = !o.all_values && take(o.value);
        else if (is_switch(a, u"ve")) {
            good = !o.value && !o.all_values;
            o.value = u"";
        } else if (is_switch(a, u"va") && op == u"DELETE") {
            good = !o.value && !o.all_values;
            o.all_values = true;
        } else if (is_switch(a, u"t") && op == u"ADD")
            good = take(o.type);
        else if (is_switch(a, u"d") && op == u"ADD")
            good = take(o.data);
        else if (is_switch(a, u"s") && op == u"ADD")
            good = take(o.separator);
        else if (is_switch(a, u"f") && op != u"QUERY")
            good = !o.force && (o.force = true);
        else if (is_switch(a, u"reg:64") || is_switch(a, u"reg:32"))
            good = true; // one view only on this machine
        else
            good = false;
        if (!good) return syntax_error(op);
    }
    ok = true;
    return 0;
}

int add(const Options& o)
{
    uint32_t type = reg_type::sz;
    if (o.type) {
        const auto t = type_of(*o.type);
        if (!t || *t == 5 || *t == 6 || (*t >= 8 && *t <= 10)) return fail(u"ERROR: Invalid type " + *o.type + u".");
        type = *t;
    }
    std::u16string separator = u"\\0";
    if (o.separator) {
        if (o.separator->size() != 1 || type != reg_type::multi_sz) return syntax_error(u"ADD");
        separator = *o.separator;
    }
    std::optional<std::vector<uint8_t>> bytes;
    if (o.value) {
        bytes = encode(type, o.data.value_or(u""), separator);
        if (!bytes) return fail(u"ERROR: Invalid data \"" + o.data.value_or(u"") + u"\" for " + type_name(type) + u".");
    } else if (o.type || o.data) {
        return syntax_error(u"ADD");
    }

    Registry& reg = platform::registry();
    Handle key = 0;
    if (const Error e = reg.create_key(o.path, key_access::all_access, key)) return error_of(e);
    if (o.value) {
        uint32_t old_type = 0;
        std::vector<uint8_t> old;
        if (!o.force && reg.query_value(key, *o.value, old_type, old) == err::success &&
            !confirm(u"Value " + (o.value->empty() ? std::u16string(u"(Default)") : *o.value) + u" exists, overwrite")) {
            reg.close_key(key);
            return fail(u"The operation was canceled by the user.");
        }
        const Error e = reg.set_value(key, *o.value, type, *bytes);
        reg.close_key(key);
        if (e) return error_of(e);
    } else {
        reg.close_key(key);
    }
    line(u"The operation completed successfully.");
    return 0;
}

int query(const Options& o)
{
    Registry& reg = platform::registry();
    Handle key = 0;
    if (const Error e = reg.open_key(o.path, key_access::read, key)) return error_of(e);
    if (o.value) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        const Error e = reg.query_value(key, *o.value, type, data);
        reg.close_key(key);
        if (e) return error_of(e);
        line();
        line(o.full_name);
        line(value_line(*o.value, type, data));
        line();
        return 0;
    }
    std::vector<RegistryValue> values;
    std::vector<std::u16string> subkeys;
    Error e = reg.enum_values(key, values);
    if (!e) e = reg.enum_subkeys(key, subkeys);
    reg.close_key(key);
    if (e) return error_of(e);
    line();
    if (!values.empty()) {
        line(o.full_name);
        for (const auto& v : values) line(value_line(v.name, v.type, v.data));
        line();
    }
    for (const auto& s : subkeys) line(o.full_name + u"\\" + s);
    return 0;
}

int remove(const Options& o)
{
    Registry& reg = platform::registry();
    if (!o.value && !o.all_values) {
        if (o.path.empty()) return error_of(err::access_denied);
        if (!o.force && !confirm(u"Permanently delete the registry key " + o.full_name))
            return fail(u"The operation was canceled by the user.");
        if (const Error e = reg.delete_tree(o.path)) return error_of(e);
        line(u"The operation completed successfully.");
        return 0;
    }
    Handle key = 0;
    if (const Error e = reg.open_key(o.path, key_access::all_access, key)) return error_of(e);
    Error e = err::success;
    if (o.all_values) {
        std::vector<RegistryValue> values;
        e = reg.enum_values(key, values);
        if (!e && !o.force && !confirm(u"Delete all values under the registry key " + o.full_name)) {
            reg.close_key(key);
            return fail(u"The operation was canceled by the user.");
        }
        for (const auto& v : values) {
            if (e) break;
            e = reg.delete_value(key, v.name);
        }
    } else {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        e = reg.query_value(key, *o.value, type, data);
        if (!e && !o.force &&
            !confirm(u"Delete the registry value " + (o.value->empty() ? std::u16string(u"(Default)") : *o.value))) {
            reg.close_key(key);
            return fail(u"The operation was canceled by the user.");
        }
        if (!e) e = reg.delete_value(key, *o.value);
    }
    reg.close_key(key);
    if (e) return error_of(e);
    line(u"The operation completed successfully.");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(text::from_utf8(argv[i]));
    if (args.empty()) return fail(u"ERROR: Invalid syntax.\nType \"REG /?\" for usage.");
    std::u16string op = text::to_lower(args[0]);
    if (op == u"/?" || op == u"-?") {
        line(u"REG ADD | QUERY | DELETE HKLM\\<key> ...   (the emulated HKEY_LOCAL_MACHINE only)");
        return 0;
    }
    if (op == u"add")
        op = u"ADD";
    else if (op == u"query")
        op = u"QUERY";
    else if (op == u"delete")
        op = u"DELETE";
    else
        return fail(u"ERROR: Invalid argument/option - '" + args[0] + u"'.\nType \"REG /?\" for usage.");

    Options o;
    bool ok = false;
    if (const int r = parse(op, args, o, ok); !ok) return r;
    if (op == u"ADD") return add(o);
    if (op == u"QUERY") return query(o);
    return remove(o);
}
