#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes.h"
#include "app/settings.h"
#include "host/files.h"
#include "policy/rules.h"
#include "text/text.h"

namespace {

std::vector<uint8_t> bytes_of(std::string_view s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(SuiteText, DecodingByTheSecondByte)
{
    struct Case {
        std::vector<uint8_t> content;
        std::u16string expected;
    };
    std::vector<uint8_t> utf16 = text::to_utf16le(u"{\"a\":1}");
    std::vector<uint8_t> bom = {0xFF, 0xFE};
    bom.insert(bom.end(), utf16.begin(), utf16.end());
    const Case cases[] = {
        {utf16, u"{\"a\":1}"},
        {bom, u"{\"a\":1}"},
        {bytes_of("{\"x\":\"\xA3\xF3\x64\x9F\"}"), u"{\"x\":\"Łódź\"}"},  // Windows-1250
        {bytes_of("\xEF\xBB\xBF{\"x\":\"\xC5\x81\xC3\xB3" "d\xC5\xBA\"}"), u"{\"x\":\"Łódź\"}"},  // UTF-8, as editors save it
        {{'a', 0}, std::u16string(u"a") + char16_t(0)},                   // one character: 8-bit
        {{}, u""},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeSuiteText(c.content), c.expected);
}

TEST(Container, PackedContentComesBackAndLooksScrambled)
{
    std::vector<uint8_t> content(1000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i * 7);
    std::vector<uint8_t> packed = container::pack(content);
    ASSERT_EQ(packed.size(), content.size() + 6);
    EXPECT_EQ(std::string(packed.begin(), packed.begin() + 6), "C2H5OH");
    size_t same = 0;
    for (size_t i = 0; i < content.size(); ++i) same += packed[i + 6] == content[i];
    EXPECT_LT(same, content.size());  // no key byte is zero: every byte changes
    std::vector<uint8_t> payload(packed.begin() + 6, packed.end());
    container::scramble(payload.data(), payload.size());
    EXPECT_EQ(payload, content);
}

// A temporary suite: data folder in ALLUSERSPROFILE, root folder in the registry.
class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("zelmusb-settings-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "data");
        system.env[u"ALLUSERSPROFILE"] = win(dir_ / "data");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    static std::u16string win(const std::filesystem::path& p)
    {
        std::u16string s = text::from_utf8(p.string());
        for (auto& c : s)
            if (c == u'/') c = u'\\';
        return s;
    }
    std::u16string config(const char16_t* name) { return suite_config_folder(name); }
    bool traced(const std::u16string& part)
    {
        for (const auto& l : system.lines)
            if (l.find(part) != std::u16string::npos) return true;
        return false;
    }

    std::filesystem::path dir_;
    fakes::System system;
    fakes::Sync sync;
    platform::Override<platform::System> o1{&platform::Platform::system, system};
    platform::Override<platform::Sync> o2{&platform::Platform::sync, sync};
};

TEST_F(SettingsFiles, LoadsPlainUtf16AndPackedFiles)
{
    const std::u16string doc = u"{\"usb\":{\"active\":1}}";
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), doc), 1);
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(f.doc->Member(u"usb")->Member(u"active")->intValue, 1);
    EXPECT_EQ(sync.time.slept_ms, 0u);

    const auto packed = container::pack(text::to_utf16le(doc));
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), packed.data(), packed.size()), 1);
    SettingsFile g = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(g.doc->Member(u"usb")->Member(u"active")->intValue, 1);
}

TEST_F(SettingsFiles, WaitsForTheSuiteToFinishWriting)
{
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), std::u16string(u"{\"usb\":{\"action\":2}}")), 1);
    sync.held[u"Global\\ZELMAR_LOADING_CONFIG_INP"] = 3;
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(f.doc->Member(u"usb")->Member(u"action")->intValue, 2);
    EXPECT_EQ(sync.time.slept_ms, 300u);
}

TEST_F(SettingsFiles, AHolderThatNeverLetsGoIsWaitedForABoundedTime)
{
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), std::u16string(u"{\"usb\":{\"action\":2}}")), 1);
    sync.held[u"Global\\ZELMAR_LOADING_CONFIG_INP"] = -1;
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(f.doc->Member(u"usb")->Member(u"action")->intValue, 2);
    EXPECT_EQ(sync.time.slept_ms, uint64_t(loading_wait_limit_ms));
    EXPECT_TRUE(traced(u"still holds ZELMAR_LOADING_CONFIG_INP"));
}

TEST_F(SettingsFiles, EveryFallbackSaysWhy)
{
    struct Case {
        const char* what;
        std::string content; // empty: no file
        const char16_t* cause;
    };
    const Case cases[] = {
        {"no file", "", u"no readable cfg.json"},
        {"a tiny file", "{}", u"holds 2 bytes"},
        {"a file that does not parse", "{}  ", u"does not parse (attempt 5)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        system.lines.clear();
        std::filesystem::remove(dir_ / "data/halvar/cfg/cfg.json");
        if (!c.content.empty()) {
            ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), c.content.data(), c.content.size()), 1);
        }
        LoadSettingsFile(u"cfg.json");
        EXPECT_TRUE(traced(c.cause));
    }
    // The last row restored the copy from a root folder that has none.
    EXPECT_TRUE(traced(u"cannot be read; the copy is removed"));
}

TEST_F(SettingsFiles, AFileBeyondTheLimitIsNotReadAndThatIsSaid)
{
    {
        std::filesystem::create_directories(dir_ / "data/halvar/cfg");
        std::ofstream big(dir_ / "data/halvar/cfg/cfg.json", std::ios::binary);
        big << "{\"usb\":{\"active\":1},\"pad\":\"";
        big << std::string(suite_file_limit, 'x') << "\"}";
    }
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(f.doc->children.size(), 0u);
    EXPECT_TRUE(traced(u"Suite file too large, not read"));
}

TEST_F(SettingsFiles, AnEmptyDocumentIsRetriedThenGivenUpInVirtualTime)
{
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), std::u16string(u"{}")), 1);
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    // Five one-second pauses (after attempts 0 to 4), the copy restored after attempt 5.
    EXPECT_EQ(sync.time.sleeps, (std::vector<uint32_t>{1000, 1000, 1000, 1000, 1000}));
    EXPECT_EQ(f.doc->children.size(), 0u);
    // No bin\cfg.json under the (empty) root: the copy was set aside with a time stamp and deleted.
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data/halvar/cfg/cfg.json"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "data/halvar/cfg/cfg.json.20240131095959"));
}

TEST_F(SettingsFiles, MissingOrTinyFilesAreGivenUpAtOnce)
{
    SettingsFile missing = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(missing.doc->children.size(), 0u);
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), "{}", 2), 1);
    SettingsFile tiny = LoadSettingsFile(u"cfg.json");
    EXPECT_EQ(tiny.doc->children.size(), 0u);
    EXPECT_EQ(sync.time.slept_ms, 0u);
}

TEST_F(SettingsFiles, RandomBytesNeverCrash)
{
    std::vector<uint8_t> junk(4096);
    uint32_t x = 12345;
    for (auto& b : junk) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
    ASSERT_EQ(WriteWholeFile(config(u"cfg.json"), junk.data(), junk.size()), 1);
    SettingsFile f = LoadSettingsFile(u"cfg.json");
    (void)f.doc->ToText(0);
}

} // namespace
