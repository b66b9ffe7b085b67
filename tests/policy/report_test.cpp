#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/registry.h"
#include "policy/report.h"
#include "policy_fixture.h"

namespace {

using policy_test::PolicyTest;
using policy_test::SavedReportNumber;

class Reports : public PolicyTest {
protected:
    SavedReportNumber saved_number_;

    static uint32_t stored_number()
    {
        uint32_t n = 0;
        EXPECT_TRUE(SavedReportNumber::read(n));
        return n;
    }
    // A report of the blocked or allowed kind, saved; its path.
    std::u16string save(uint32_t level)
    {
        UsbReport r;
        report_begin(r, u"");
        r.level = level;
        return report_save(r);
    }
};

TEST_F(Reports, NamesCarryTimeNumberTickCategoryAndLevel)
{
    const std::u16string first = save(report_level_blocked);
    EXPECT_EQ(first, data_path(u"logs\\20240131\\20240131095959-00000001-0001a2b3-1403.json"));
    EXPECT_EQ(stored_number(), 2u);
    EXPECT_TRUE(std::filesystem::exists(data_folder() / "logs/20240131/20240131095959-00000001-0001a2b3-1403.json"));

    // The same second and the same tick: only the running number tells them apart.
    const std::u16string second = save(report_level_allowed);
    EXPECT_EQ(second, data_path(u"logs\\20240131\\20240131095959-00000002-0001a2b3-1401.json"));
    EXPECT_TRUE(std::filesystem::exists(data_folder() / "logs/20240131/20240131095959-00000002-0001a2b3-1401.json"));
    EXPECT_EQ(stored_number(), 3u);
}

TEST_F(Reports, RunningNumberStartsAtOneWhenTheValueIsNoNumber)
{
    auto& reg = platform::registry();
    platform::Handle k = platform::null_handle;
    ASSERT_EQ(reg.create_key(SavedReportNumber::key, platform::key_access::all_access, k), 0u);
    const std::vector<uint8_t> text = text::to_utf16le(std::u16string(u"42\0", 3));
    ASSERT_EQ(reg.set_value(k, u"ln", platform::reg_type::sz, text), 0u);
    reg.close_key(k);
    EXPECT_EQ(next_report_number(), u"00000001");
    EXPECT_EQ(next_report_number(), u"00000002");
    EXPECT_EQ(stored_number(), 3u);
}

TEST_F(Reports, DocumentIsTheHostWritersTextInUtf16)
{
    UsbReport r;
    report_begin(r, u"");
    report_set_title(r, u"Zablokowane urządzenie USB");
    report_add_entry(r, u"Producent", u"Acme", u"");
    report_add_entry(r, u"Dyski", u"E:", u"d1");
    CJsonNode identity;
    identity.SetString(u"checksum", u"ABC");
    identity.SetInt(u"action", 0);
    report_attach(r, u"info", &identity);
    report_attach(r, u"info", nullptr);
    identity.SetString(u"checksum", u"changed later"); // the report keeps its own copy
    r.level = report_level_blocked;
    const std::u16string path = report_save(r);

    const std::u16string expected = u"{\r\n"
                                    u"    \"info\" : [\r\n"
                                    u"        {\r\n"
                                    u"            \"action\" : 0, \r\n"
                                    u"            \"checksum\" : \"ABC\"\r\n"
                                    u"        }\r\n"
                                    u"    ], \r\n"
                                    u"    \"params\" : {\r\n"
                                    u"        \"date\" : \"2024.01.31 09:59:59\", \r\n"
                                    u"        \"title\" : \"Zablokowane urządzenie USB\"\r\n"
                                    u"    }, \r\n"
                                    u"    \"report\" : [\r\n"
                                    u"        {\r\n"
                                    u"            \"event\" : \"Producent\", \r\n"
                                    u"            \"value\" : \"Acme\"\r\n"
                                    u"        }, \r\n"
                                    u"        {\r\n"
                                    u"            \"event\" : \"Dyski\", \r\n"
                                    u"            \"id\" : \"d1\", \r\n"
                                    u"            \"value\" : \"E:\"\r\n"
                                    u"        }\r\n"
                                    u"    ]\r\n"
                                    u"}";
    const std::vector<uint8_t> bytes = text::to_utf16le(expected);
    const std::string file = platform_test::read_text_file(
        data_folder() / "logs/20240131/20240131095959-00000001-0001a2b3-1403.json");
    EXPECT_EQ(file, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(path, data_path(u"logs\\20240131\\20240131095959-00000001-0001a2b3-1403.json"));

    // A date given by the caller is kept; the file name still carries the time the report began.
    UsbReport dated;
    report_begin(dated, u"2023.12.24 18:00:00");
    EXPECT_EQ(dated.document.ToText(0), u"{\r\n    \"params\" : {\r\n        \"date\" : \"2023.12.24 18:00:00\"\r\n    }\r\n}");
    EXPECT_EQ(dated.stamp, u"20240131095959");
    EXPECT_EQ(dated.category, report_category_usb);
}

// A device string may carry any control character; the report escapes each one, so that the
// suite's monitor and strict readers (Python's json) take the file, and the text reads back whole.
TEST_F(Reports, DeviceStringsWithControlCharactersGiveStrictJson)
{
    std::u16string product = u"Mysz";
    for (char16_t c = 0; c < 0x20; ++c)
        product.push_back(c);
    UsbReport r;
    report_begin(r, u"");
    report_add_entry(r, u"Produkt", product, u"");
    r.level = report_level_blocked;
    report_save(r);
    const auto file = data_folder() / "logs/20240131/20240131095959-00000001-0001a2b3-1403.json";
    const std::string bytes = platform_test::read_text_file(file);
    const std::u16string text = text::from_utf16le(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    std::u16string written = text;
    for (size_t at; (at = written.find(u"\r\n")) != std::u16string::npos;)
        written.erase(at, 2);
    for (char16_t c : written)
        EXPECT_GE(c, 0x20) << "a raw control character in the report";

    CJsonNode read;
    read.LoadText(text);
    ASSERT_EQ(read.Member(u"report")->children.size(), 1u);
    EXPECT_EQ(read.Member(u"report")->children.begin()->second->Member(u"value")->AsString(), product);
#ifdef ZELMUSB_PYTHON3
    const std::string command = std::string(ZELMUSB_PYTHON3) + " -c \"import json,sys\njson.load(open(sys.argv[1], encoding='utf-16-le'))\" '" +
                                file.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
#endif
}

TEST_F(Reports, AnUnwritableLogFolderLosesOnlyTheReport)
{
    // The data folder's place is taken by a file, so no folder can be made below it.
    std::filesystem::create_directories(data_folder().parent_path());
    { std::ofstream(data_folder()) << "x"; }
    const std::u16string path = save(report_level_blocked);
    EXPECT_FALSE(path.empty());
    EXPECT_FALSE(std::filesystem::is_directory(data_folder()));
    // No report, no number taken: the next one written is the first.
    uint32_t n = 0;
    EXPECT_FALSE(SavedReportNumber::read(n)) << n;
    std::filesystem::remove(data_folder());
    EXPECT_EQ(save(report_level_blocked), data_path(u"logs\\20240131\\20240131095959-00000001-0001a2b3-1403.json"));
    EXPECT_EQ(stored_number(), 2u);
}

} // namespace
