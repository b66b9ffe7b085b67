#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/fresh_machine.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "text/text.h"

#ifndef _WIN32
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

#include "platform/posix/registry_store.h"
#endif

namespace {

using namespace platform;
using platform_test::FreshMachine;

std::vector<uint8_t> sz(std::u16string_view s)
{
    auto b = text::to_utf16le(s);
    b.push_back(0);
    b.push_back(0);
    return b;
}

std::vector<uint8_t> dword(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// A key of its own under HKLM\Software for each test, deleted with everything in it afterwards
// (under Wine the registry is the prefix's real one).
class RegistryTest : public ::testing::Test {
protected:
    FreshMachine machine;
    Registry& reg = platform::registry();
    const std::u16string key = u"Software\\" + text::u16(platform_test::unique_name("zelmusb-test"));

    void TearDown() override { reg.delete_tree(key); }

    Handle create(const std::u16string& path, uint32_t access = key_access::all_access)
    {
        Handle h = 0;
        EXPECT_EQ(reg.create_key(path, access, h), err::success);
        return h;
    }
};

TEST_F(RegistryTest, TypedValuesRoundTripThroughAClosedAndReopenedKey)
{
    struct Case {
        const char16_t* name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const std::vector<Case> cases = {
        {u"RootPath", reg_type::sz, sz(u"C:\\Program Files\\halvar")},
        {u"Polish", reg_type::sz, sz(u"zażółć gęślą jaźń")},
        {u"Empty", reg_type::sz, sz(u"")},
        {u"Expand", reg_type::expand_sz, sz(u"%ProgramData%\\halvar")}, // stored unexpanded
        {u"ln", reg_type::dword, dword(0xDEADBEEF)},
        {u"ServiceActive", reg_type::dword, dword(0)},
        {u"Blob", reg_type::binary, {0, 1, 2, 0xFF, 0}},
        {u"Nothing", reg_type::binary, {}},
        {u"", reg_type::sz, sz(u"the default value")},
    };
    Handle h = create(key);
    for (const auto& c : cases) ASSERT_EQ(reg.set_value(h, c.name, c.type, c.data), err::success);
    ASSERT_EQ(reg.close_key(h), err::success);

    ASSERT_EQ(reg.open_key(key, key_access::read, h), err::success);
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.name));
        uint32_t type = 99;
        std::vector<uint8_t> data = {7, 7, 7};
        ASSERT_EQ(reg.query_value(h, c.name, type, data), err::success);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
    std::vector<RegistryValue> values;
    ASSERT_EQ(reg.enum_values(h, values), err::success);
    std::map<std::u16string, RegistryValue> by_name;
    for (auto& v : values) by_name[v.name] = v;
    EXPECT_EQ(by_name.size(), cases.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.name));
        ASSERT_TRUE(by_name.count(c.name));
        EXPECT_EQ(by_name[c.name].type, c.type);
        EXPECT_EQ(by_name[c.name].data, c.data);
    }
    reg.close_key(h);
}

TEST_F(RegistryTest, MissingKeyOrValueIs2)
{
    Handle h = 0;
    EXPECT_EQ(reg.open_key(key, key_access::read, h), err::file_not_found);
    EXPECT_EQ(reg.open_key(key + u"\\deeper\\still", key_access::read, h), err::file_not_found);
    EXPECT_EQ(reg.delete_key(key), err::file_not_found);

    h = create(key);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(reg.query_value(h, u"RootPath", type, data), err::file_not_found);
    EXPECT_EQ(reg.delete_value(h, u"RootPath"), err::file_not_found);

    ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::sz, sz(u"x")), err::success);
    EXPECT_EQ(reg.delete_value(h, u"RootPath"), err::success);
    EXPECT_EQ(reg.query_value(h, u"RootPath", type, data), err::file_not_found);
    reg.close_key(h);
}

TEST_F(RegistryTest, AValueOfAnotherTypeIsSeenAsThatType)
{
    Handle h = create(key);
    ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::dword, dword(7)), err::success);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(reg.query_value(h, u"RootPath", type, data), err::success);
    EXPECT_EQ(type, reg_type::dword);
    EXPECT_EQ(data, dword(7));

    // Setting it again with another type replaces type and bytes together.
    ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::expand_sz, sz(u"%X%")), err::success);
    ASSERT_EQ(reg.query_value(h, u"RootPath", type, data), err::success);
    EXPECT_EQ(type, reg_type::expand_sz);
    EXPECT_EQ(data, sz(u"%X%"));
    reg.close_key(h);
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase)
{
    Handle h = create(key + u"\\Halvar");
    ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::sz, sz(u"first")), err::success);
    reg.close_key(h);

    std::u16string shouted = key;
    for (char16_t& c : shouted)
        if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    ASSERT_EQ(reg.open_key(shouted + u"\\HALVAR", key_access::all_access, h), err::success);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(reg.query_value(h, u"ROOTPATH", type, data), err::success);
    EXPECT_EQ(data, sz(u"first"));
    ASSERT_EQ(reg.set_value(h, u"rootpath", reg_type::sz, sz(u"second")), err::success);
    std::vector<RegistryValue> values;
    ASSERT_EQ(reg.enum_values(h, values), err::success);
    ASSERT_EQ(values.size(), 1u); // the same value, not a second one
    EXPECT_EQ(values[0].data, sz(u"second"));
    reg.close_key(h);

    // Creating it again in another case opens the existing key, which keeps its name.
    h = create(key + u"\\hALVAR");
    ASSERT_EQ(reg.query_value(h, u"RootPath", type, data), err::success);
    reg.close_key(h);
    ASSERT_EQ(reg.open_key(key, key_access::read, h), err::success);
    std::vector<std::u16string> names;
    ASSERT_EQ(reg.enum_subkeys(h, names), err::success);
    EXPECT_EQ(names, std::vector<std::u16string>{u"Halvar"});
    reg.close_key(h);
}

TEST_F(RegistryTest, AccessRightsOfTheHandleAreEnforced)
{
    Handle h = create(key);
    ASSERT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(1)), err::success);
    reg.close_key(h);

    ASSERT_EQ(reg.open_key(key, key_access::read, h), err::success);
    EXPECT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(2)), err::access_denied);
    EXPECT_EQ(reg.delete_value(h, u"ln"), err::access_denied);
    reg.close_key(h);

    ASSERT_EQ(reg.open_key(key, key_access::set_value, h), err::success);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(reg.query_value(h, u"ln", type, data), err::access_denied);
    EXPECT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(2)), err::success);
    reg.close_key(h);

    ASSERT_EQ(reg.open_key(key, key_access::read, h), err::success);
    ASSERT_EQ(reg.query_value(h, u"ln", type, data), err::success);
    EXPECT_EQ(data, dword(2));
    reg.close_key(h);
}

TEST_F(RegistryTest, KeysWithSubKeysGoOnlyAsATree)
{
    reg.close_key(create(key + u"\\services\\ZelmUsb"));
    Handle kept = 0;
    ASSERT_EQ(reg.open_key(key + u"\\services\\ZelmUsb", key_access::read, kept), err::success);

    EXPECT_EQ(reg.delete_key(key + u"\\services"), err::access_denied);
    Handle h = 0;
    EXPECT_EQ(reg.open_key(key + u"\\services\\ZelmUsb", key_access::read, h), err::success);
    reg.close_key(h);

    EXPECT_EQ(reg.delete_tree(key + u"\\services"), err::success);
    EXPECT_EQ(reg.open_key(key + u"\\services", key_access::read, h), err::file_not_found);
    EXPECT_EQ(reg.open_key(key + u"\\services\\ZelmUsb", key_access::read, h), err::file_not_found);

    // A handle opened before the deletion names a deleted key, even once a new one has its name.
    reg.close_key(create(key + u"\\services\\ZelmUsb"));
    uint32_t type = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(reg.query_value(kept, u"x", type, data), err::key_deleted);
    reg.close_key(kept);

    EXPECT_EQ(reg.delete_key(key + u"\\services\\ZelmUsb"), err::success);
    EXPECT_EQ(reg.delete_key(key + u"\\services"), err::success);
}

TEST_F(RegistryTest, AHandleThatNamesNothingIsAnErrorNotACrash)
{
    const Handle bogus = 0x7A5A5A0;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    std::vector<RegistryValue> values;
    EXPECT_EQ(reg.query_value(bogus, u"x", type, data), err::invalid_handle);
    EXPECT_EQ(reg.set_value(bogus, u"x", reg_type::dword, dword(1)), err::invalid_handle);
    EXPECT_EQ(reg.enum_values(bogus, values), err::invalid_handle);
    EXPECT_EQ(reg.close_key(bogus), err::invalid_handle);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothingAndReadersNeverSeeAHalfWrittenKey)
{
    reg.close_key(create(key));
    constexpr int rounds = 60;
    std::atomic<bool> writing{true};
    std::atomic<int> reader_failures{0};
    std::thread reader([&] {
        Handle h = 0;
        if (reg.open_key(key, key_access::read, h) != err::success) {
            ++reader_failures;
            return;
        }
        while (writing) {
            std::vector<RegistryValue> values;
            if (reg.enum_values(h, values) != err::success) ++reader_failures;
        }
        reg.close_key(h);
    });
    auto writer = [&](char16_t tag) {
        Handle h = 0;
        ASSERT_EQ(reg.open_key(key, key_access::all_access, h), err::success);
        for (int i = 0; i < rounds; ++i) {
            const std::u16string name = platform_test::cat(std::u16string(1, tag), text::u16(std::to_string(i)));
            ASSERT_EQ(reg.set_value(h, name, reg_type::dword, dword(uint32_t(i))), err::success);
        }
        reg.close_key(h);
    };
    std::thread a(writer, u'a'), b(writer, u'b');
    a.join();
    b.join();
    writing = false;
    reader.join();
    EXPECT_EQ(reader_failures, 0);

    Handle h = 0;
    ASSERT_EQ(reg.open_key(key, key_access::read, h), err::success);
    std::vector<RegistryValue> values;
    ASSERT_EQ(reg.enum_values(h, values), err::success);
    EXPECT_EQ(values.size(), size_t(2 * rounds));
    reg.close_key(h);
}

#ifndef _WIN32

// The emulated registry keeps each key in a file of its own; whatever happens to that file, the
// key answers with an error code and can still be deleted and made anew.
class TamperedKeyTest : public RegistryTest {
protected:
    std::vector<uint8_t> original;
    std::string file;

    void SetUp() override
    {
        Handle h = create(key);
        ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::sz, sz(u"C:\\halvar")), err::success);
        ASSERT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(5)), err::success);
        reg.close_key(h);
        file = posix::registry_key_file(key);
        std::ifstream in(file, std::ios::binary);
        original.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_GT(original.size(), 40u);
    }

    void write(const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

    // A body with a correct digest after it: damage that only the structure checks can find.
    static std::vector<uint8_t> signed_body(std::vector<uint8_t> body)
    {
        Sha1Digest d{};
        platform::system().sha1(body, d);
        body.insert(body.end(), d.begin(), d.end());
        return body;
    }

    static void put32(std::vector<uint8_t>& b, uint32_t v)
    {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    }

    // "ZKEY", version, the key name "k", then `rest`.
    static std::vector<uint8_t> header_then(uint32_t version, const std::vector<uint8_t>& rest)
    {
        std::vector<uint8_t> b = {'Z', 'K', 'E', 'Y'};
        put32(b, version);
        put32(b, 1);
        b.push_back('k');
        b.push_back(0);
        b.insert(b.end(), rest.begin(), rest.end());
        return b;
    }
};

TEST_F(TamperedKeyTest, DamagedKeyFilesGiveAnErrorCodeNeverACrash)
{
    std::vector<uint8_t> flipped = original;
    flipped[flipped.size() / 2] ^= 0x40;
    std::vector<uint8_t> truncated(original.begin(), original.begin() + original.size() / 2);
    std::vector<uint8_t> extended = original;
    extended.push_back(0);
    std::vector<uint8_t> value_count_lie;
    put32(value_count_lie, 0x7FFFFFFF);
    std::vector<uint8_t> name_past_end;
    put32(name_past_end, 1);
    put32(name_past_end, 0x40000000); // a value name longer than the file
    std::vector<uint8_t> data_past_end;
    put32(data_past_end, 1);
    put32(data_past_end, 1);
    data_past_end.push_back('v');
    data_past_end.push_back(0);
    put32(data_past_end, reg_type::binary);
    put32(data_past_end, 0xFFFFFFF0u);
    std::vector<uint8_t> twice;
    put32(twice, 2);
    for (const char16_t* n : {u"a", u"A"}) {
        put32(twice, 1);
        twice.push_back(uint8_t(n[0]));
        twice.push_back(0);
        put32(twice, reg_type::dword);
        put32(twice, 4);
        for (int i = 0; i < 4; ++i) twice.push_back(0);
    }
    std::vector<uint8_t> trailing;
    put32(trailing, 0);
    trailing.push_back(1);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty file", {}},
        {"one bit changed", flipped},
        {"cut in half", truncated},
        {"a byte appended", extended},
        {"random text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}},
        {"unknown version", signed_body(header_then(2, {0, 0, 0, 0}))},
        {"value count beyond the file", signed_body(header_then(1, value_count_lie))},
        {"value name beyond the file", signed_body(header_then(1, name_past_end))},
        {"value data beyond the file", signed_body(header_then(1, data_past_end))},
        {"one value twice, in two cases", signed_body(header_then(1, twice))},
        {"bytes after the last value", signed_body(header_then(1, trailing))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Handle held = 0;
        ASSERT_EQ(reg.open_key(key, key_access::all_access, held), err::success);
        write(c.bytes);

        Handle h = 0;
        EXPECT_EQ(reg.open_key(key, key_access::read, h), err::registry_corrupt);
        uint32_t type = 0;
        std::vector<uint8_t> data;
        std::vector<RegistryValue> values;
        EXPECT_EQ(reg.query_value(held, u"RootPath", type, data), err::registry_corrupt);
        EXPECT_EQ(reg.enum_values(held, values), err::registry_corrupt);
        // A write does not paper over the damage with a key that lost its values.
        EXPECT_EQ(reg.set_value(held, u"ln", reg_type::dword, dword(6)), err::registry_corrupt);
        reg.close_key(held);

        // The damage is repaired by deleting the key.
        ASSERT_EQ(reg.delete_tree(key), err::success);
        h = create(key);
        ASSERT_EQ(reg.set_value(h, u"RootPath", reg_type::sz, sz(u"C:\\halvar")), err::success);
        ASSERT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(5)), err::success);
        reg.close_key(h);
    }
}

TEST_F(TamperedKeyTest, AKeyFileThatIsNoFileIsAnErrorNotAHang)
{
    ASSERT_EQ(std::remove(file.c_str()), 0);
    ASSERT_EQ(::mkfifo(file.c_str(), 0666), 0);
    Handle h = 0;
    EXPECT_NE(reg.open_key(key, key_access::read, h), err::success);
    EXPECT_EQ(reg.delete_tree(key), err::success);
}

TEST_F(TamperedKeyTest, LeftoversOfAnInterruptedWriteDoNotChangeTheKey)
{
    // A writer that died between writing its temporary file and renaming it.
    write(original);
    {
        std::ofstream out(file + ".tmp-999999-1", std::ios::binary);
        out << "half a key";
    }
    Handle h = 0;
    ASSERT_EQ(reg.open_key(key, key_access::all_access, h), err::success);
    std::vector<RegistryValue> values;
    ASSERT_EQ(reg.enum_values(h, values), err::success);
    EXPECT_EQ(values.size(), 2u);
    EXPECT_EQ(reg.set_value(h, u"ln", reg_type::dword, dword(6)), err::success);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(reg.query_value(h, u"ln", type, data), err::success);
    EXPECT_EQ(data, dword(6));
    reg.close_key(h);
}

#endif

} // namespace
