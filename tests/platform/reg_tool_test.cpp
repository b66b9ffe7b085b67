// The reg tool, run as the scripts run it: on Linux the stand-in over the emulated registry, under
// Wine the system's own reg.exe over the real one. Both must answer the same commands with the
// same lines and exit codes, and what they write must read back through the platform registry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "../support/fresh_machine.h"
#include "../support/run_tool.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "text/text.h"

namespace {

using namespace platform;
using platform_test::FreshMachine;
using platform_test::TempFolder;

struct ToolRun {
    int exit_code = -1;
    std::string output; // standard output and error, with CR LF as LF
};

ToolRun run_reg(const TempFolder& dir, const std::vector<std::string>& args)
{
    ToolRun run;
#ifdef _WIN32
    std::vector<std::string> all = {"reg.exe"};
#else
    std::vector<std::string> all = {ZELMUSB_REG_TOOL};
#endif
    all.insert(all.end(), args.begin(), args.end());
    run.exit_code = platform_test::run_capturing(all, dir.path() / platform_test::unique_name("out"), run.output);
    return run;
}

std::string lf(std::string s)
{
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

std::vector<std::string> lines_of(const std::string& s)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t end = s.find('\n', start);
        lines.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

bool has_line(const ToolRun& run, const std::string& wanted)
{
    for (const auto& l : lines_of(lf(run.output)))
        if (l == wanted) return true;
    return false;
}

class RegToolTest : public ::testing::Test {
protected:
    FreshMachine machine;
    TempFolder dir;
    const std::string name = platform_test::unique_name("zelmusb-test");
    const std::string key = "HKLM\\Software\\" + name;
    const std::string printed = "HKEY_LOCAL_MACHINE\\Software\\" + name;

    void TearDown() override { platform::registry().delete_tree(u"Software\\" + text::u16(name)); }

    ToolRun reg(std::vector<std::string> args) { return run_reg(dir, args); }

    // The value as the platform registry reads it.
    std::pair<uint32_t, std::vector<uint8_t>> stored(const std::u16string& value)
    {
        Handle h = 0;
        uint32_t type = 0;
        std::vector<uint8_t> data;
        const Error open = platform::registry().open_key(u"Software\\" + text::u16(name), key_access::read, h);
        EXPECT_EQ(open, err::success);
        if (open) return {0, {}};
        const Error q = platform::registry().query_value(h, value, type, data);
        platform::registry().close_key(h);
        if (q) return {0xFFFFFFFF, {}};
        return {type, data};
    }
};

std::vector<uint8_t> sz(std::u16string_view s)
{
    auto b = text::to_utf16le(s);
    b.push_back(0);
    b.push_back(0);
    return b;
}

TEST_F(RegToolTest, AddedValuesReadBackThroughTheRegistryAndTheQuery)
{
    struct Case {
        std::vector<std::string> add; // after "add <key> /v <name>"
        const char16_t* name;
        uint32_t type;
        std::vector<uint8_t> bytes;
        const char* shown; // the query line after the name
    };
    const Case cases[] = {
        {{"/t", "REG_SZ", "/d", "C:\\halvar root"}, u"RootPath", reg_type::sz, sz(u"C:\\halvar root"),
         "REG_SZ    C:\\halvar root"},
        {{"/d", "no type given"}, u"Plain", reg_type::sz, sz(u"no type given"), "REG_SZ    no type given"},
        {{"/t", "REG_EXPAND_SZ", "/d", "%ProgramData%\\halvar"}, u"Expand", reg_type::expand_sz,
         sz(u"%ProgramData%\\halvar"), "REG_EXPAND_SZ    %ProgramData%\\halvar"},
        {{"/t", "REG_DWORD", "/d", "42"}, u"ln", reg_type::dword, {42, 0, 0, 0}, "REG_DWORD    0x2a"},
        {{"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, u"Max", reg_type::dword, {255, 255, 255, 255},
         "REG_DWORD    0xffffffff"},
        {{"/t", "reg_dword", "/d", "0"}, u"ServiceActive", reg_type::dword, {0, 0, 0, 0}, "REG_DWORD    0x0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.name));
        std::vector<std::string> args = {"add", key, "/v", text::to_utf8(c.name)};
        args.insert(args.end(), c.add.begin(), c.add.end());
        args.push_back("/f");
        const ToolRun added = reg(args);
        ASSERT_EQ(added.exit_code, 0) << added.output;

        const auto [type, bytes] = stored(c.name);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(bytes, c.bytes);

        const ToolRun one = reg({"query", key, "/v", text::to_utf8(c.name)});
        EXPECT_EQ(one.exit_code, 0) << one.output;
        EXPECT_EQ(lf(one.output), "\n" + printed + "\n    " + text::to_utf8(c.name) + "    " + c.shown + "\n\n");
    }

    ASSERT_EQ(reg({"add", key + "\\sub", "/f"}).exit_code, 0);
    const ToolRun all = reg({"query", key});
    EXPECT_EQ(all.exit_code, 0) << all.output;
    EXPECT_EQ(lines_of(lf(all.output)).front(), "");
    EXPECT_TRUE(has_line(all, printed));
    for (const auto& c : cases)
        EXPECT_TRUE(has_line(all, "    " + text::to_utf8(c.name) + "    " + c.shown)) << text::to_utf8(c.name);
    EXPECT_TRUE(has_line(all, printed + "\\sub"));
}

TEST_F(RegToolTest, AnotherTypeReplacesTheValueOnlyWithForce)
{
    ASSERT_EQ(reg({"add", key, "/v", "RootPath", "/t", "REG_SZ", "/d", "C:\\x", "/f"}).exit_code, 0);
#ifndef _WIN32
    // Without /f reg asks; with nobody to answer nothing changes. (Wine's reg.exe asks again
    // and again once its input has ended, so this is for the stand-in only.)
    EXPECT_NE(reg({"add", key, "/v", "RootPath", "/t", "REG_DWORD", "/d", "7"}).exit_code, 0);
    EXPECT_EQ(stored(u"RootPath").first, reg_type::sz);
#endif
    ASSERT_EQ(reg({"add", key, "/v", "RootPath", "/t", "REG_DWORD", "/d", "7", "/f"}).exit_code, 0);
    EXPECT_EQ(stored(u"RootPath"), std::make_pair(reg_type::dword, std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST_F(RegToolTest, DeleteRemovesValuesAndKeys)
{
    ASSERT_EQ(reg({"add", key, "/v", "ln", "/t", "REG_DWORD", "/d", "1", "/f"}).exit_code, 0);
    ASSERT_EQ(reg({"add", key, "/v", "RootPath", "/d", "C:\\x", "/f"}).exit_code, 0);
    ASSERT_EQ(reg({"add", key + "\\child", "/f"}).exit_code, 0);

    EXPECT_EQ(reg({"delete", key, "/v", "ln", "/f"}).exit_code, 0);
    EXPECT_EQ(stored(u"ln").first, 0xFFFFFFFFu);
    EXPECT_EQ(stored(u"RootPath").first, reg_type::sz);
    EXPECT_EQ(reg({"delete", key, "/v", "ln", "/f"}).exit_code, 1);

    EXPECT_EQ(reg({"delete", key, "/f"}).exit_code, 0);
    Handle h = 0;
    EXPECT_EQ(platform::registry().open_key(u"Software\\" + text::u16(name), key_access::read, h), err::file_not_found);
    EXPECT_EQ(reg({"delete", key, "/f"}).exit_code, 1);
}

TEST_F(RegToolTest, ErrorsExitWithOne)
{
    ASSERT_EQ(reg({"add", key, "/v", "ln", "/t", "REG_DWORD", "/d", "1", "/f"}).exit_code, 0);
    const std::vector<std::vector<std::string>> failing = {
        {"query", key + "\\missing"},
        {"query", key, "/v", "missing"},
        {"add", key, "/v", "bad", "/t", "REG_DWORD", "/d", "seven", "/f"},
        {"add", key, "/v", "big", "/t", "REG_DWORD", "/d", "4294967296", "/f"},
        {"add", key, "/v", "x", "/t", "REG_NOSUCHTYPE", "/d", "1", "/f"},
        {"query", "HKXX\\Software"},
        {"frobnicate", key},
        {"query"},
    };
    for (const auto& args : failing) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        EXPECT_EQ(reg(args).exit_code, 1);
    }
    EXPECT_EQ(stored(u"bad").first, 0xFFFFFFFFu);
    EXPECT_EQ(stored(u"big").first, 0xFFFFFFFFu);
}

#ifndef _WIN32
// A user without the right to change the machine's keys is told so, whether the key exists
// (its values cannot be written) or not (it cannot be made).
TEST_F(RegToolTest, UserWithoutRightsIsDeniedAccess)
{
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    ASSERT_EQ(reg({"add", key, "/v", "ln", "/t", "REG_DWORD", "/d", "1", "/f"}).exit_code, 0);
    // Others may walk to the keys and read them, not write.
    const std::filesystem::path root = std::getenv("ZELMUSB_PLATFORM_ROOT");
    ::chmod(root.c_str(), 0755);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    for (const std::string& target : {key, key + "\\new"}) {
        SCOPED_TRACE(target);
        std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                         ZELMUSB_REG_TOOL, "add", target, "/v", "ln", "/t", "REG_DWORD", "/d", "7", "/f"};
        ToolRun run;
        run.exit_code = platform_test::run_capturing(args, dir.path() / platform_test::unique_name("out"), run.output);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_TRUE(has_line(run, "ERROR: Access is denied.")) << run.output;
    }
    EXPECT_EQ(stored(u"ln").second, (std::vector<uint8_t>{1, 0, 0, 0}));
}
#endif

} // namespace
