// Admittances: their order, file names, validation, merging into a file, and the folder written
// and cleared.
#include <filesystem>

#include <gtest/gtest.h>

#include "drivercontrol/admittance.h"
#include "files_support.h"

namespace {

using namespace ZelmUsbVardoManager;
using platform_test::TempFolder;

JsonHolder parse(std::u16string_view text)
{
    JsonHolder doc;
    std::u16string error;
    EXPECT_TRUE(JsonHolder::Parse(text, doc, error)) << text::to_utf8(error);
    return doc;
}

TEST(Admittance, OrderOfRecords)
{
    const Admittance plain(0x00AB, 0x0002, 0x0100);
    auto serial = [](std::u16string s) { return Admittance(0x00AB, 0x0002, 0x0100, s); };
    struct Case {
        const char* what;
        Admittance a, b;
        int expected;
    };
    const Case cases[] = {
        {"vendor first", Admittance(1, 9, 9), Admittance(2, 0, 0), -1},
        {"vendor unsigned", Admittance(0x8000, 0, 0), Admittance(0x7FFF, 0, 0), 1},
        {"then product", Admittance(1, 1, 9), Admittance(1, 2, 0), -1},
        {"then revision", Admittance(1, 1, 0xFFFF), Admittance(1, 1, 1), 1},
        {"serial-less first", plain, serial(u""), -1},
        {"serial-less equal", plain, Admittance(0x00AB, 0x0002, 0x0100), 0},
        {"serials by unit", serial(u"A"), serial(u"B"), -1},
        {"shorter first", serial(u"AB"), serial(u"ABC"), -1},
        {"equal serials", serial(u"ABC"), serial(u"ABC"), 0},
        {"case matters", serial(u"a"), serial(u"A"), 1},
        {"unit 0x8000 before ASCII", serial(u"\x8000"), serial(u"A"), -1},
        {"unit 0xFFFF before ASCII", serial(u"\xFFFF"), serial(u"0"), -1},
        {"terminator after a high unit", serial(u"A"), serial(u"A\x8000"), 1},
        {"terminator before a low unit", serial(u"A"), serial(u"A\x0001"), -1},
        {"0x8000 before 0xFFFF", serial(u"\x8000"), serial(u"\xFFFF"), -1},
        {"cache flag ignored", Admittance(1, 1, 1, u"S", true), Admittance(1, 1, 1, u"S", false), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a._cmp(c.b), c.expected) << c.what;
        EXPECT_EQ(c.b._cmp(c.a), -c.expected) << c.what << " (reversed)";
    }
}

TEST(Admittance, CanonicalFileNames)
{
    EXPECT_EQ(Admittance::GetCanonName(0x00AB, 0x0002, 0x0100), u"Vid_00ab_Pid_0002_Rev_0100.json");
    EXPECT_EQ(Admittance(0xFFFF, 0xABCD, 0).GetCanonName(), u"Vid_ffff_Pid_abcd_Rev_0000.json");
}

TEST(Admittance, ListKeepsTheFirstInsertedOfEqualRecords)
{
    AdmittanceList list;
    EXPECT_TRUE(list.Add(Admittance(1, 2, 3, u"S", true)));
    EXPECT_FALSE(list.Add(Admittance(1, 2, 3, u"S", false)));
    ASSERT_EQ(list.Size(), 1u);
    EXPECT_TRUE(list.Items().begin()->first.CacheUse);

    AdmittanceList other;
    other.Add(Admittance(9, 9, 9));
    other = list;
    ASSERT_EQ(other.Size(), 1u) << "assignment empties the target first";
    EXPECT_EQ(other.Items().begin()->first.VendorID, 1);
}

TEST(Admittance, Validation)
{
    struct Case {
        const char* what;
        const char16_t* json;
        uint32_t code;
    };
    const Case cases[] = {
        {"minimal", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 0},
        {"full range", u"{\"VendorID\":65535,\"ProductID\":0,\"RevBCD\":0,\"SerialNumbers\":[{\"CacheUse\":1},{\"SerialNumber\":\"x\",\"CacheUse\":false}]}", 0},
        {"not an object", u"[1,2]", 592},
        {"missing RevBCD", u"{\"VendorID\":1,\"ProductID\":2,\"SerialNumbers\":[]}", 592},
        {"VendorID 70000", u"{\"VendorID\":70000,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"VendorID 65536", u"{\"VendorID\":65536,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"VendorID 12.5", u"{\"VendorID\":12.5,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"negative PID", u"{\"VendorID\":1,\"ProductID\":-1,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"huge Rev", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":1e300,\"SerialNumbers\":[]}", 592},
        {"Rev 2^32", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":4294967296,\"SerialNumbers\":[]}", 592},
        {"tiny fraction", u"{\"VendorID\":1e-300,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"VendorID a string", u"{\"VendorID\":\"1\",\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[]}", 592},
        {"SerialNumbers an object", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":{}}", 592},
        {"entry not an object", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[1]}", 592},
        {"CacheUse 2", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"CacheUse\":2}]}", 592},
        {"CacheUse a string", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"CacheUse\":\"true\"}]}", 592},
        {"SerialNumber a number", u"{\"VendorID\":1,\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"SerialNumber\":5}]}", 592},
    };
    for (const auto& c : cases) {
        std::u16string status = u"untouched";
        EXPECT_EQ(Admittance::ValidateAdmittancesJson(parse(c.json), status), c.code) << c.what;
        EXPECT_EQ(status, c.code ? u"Bad data in admittance file; err=0x00000250" : u"untouched") << c.what;
    }
}

TEST(Admittance, MergingIntoADocument)
{
    JsonHolder doc = parse(u"{\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"CacheUse\":true,\"SerialNumber\":\"S1\"}],\"VendorID\":1}");
    std::u16string status;
    // The same serial: its entry changes in place.
    ASSERT_EQ(Admittance(1, 2, 3, u"S1", false).AddToJsonHolder(doc, status), 0u);
    EXPECT_EQ(doc.ToString(), u"{\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"CacheUse\":false,\"SerialNumber\":\"S1\"}],\"VendorID\":1}");
    // A new serial and the model itself are appended, in that order; case matters.
    ASSERT_EQ(Admittance(1, 2, 3, u"s1", true).AddToJsonHolder(doc, status), 0u);
    ASSERT_EQ(Admittance(1, 2, 3).AddToJsonHolder(doc, status), 0u);
    EXPECT_EQ(doc[u"SerialNumbers"].ToString(),
              u"[{\"CacheUse\":false,\"SerialNumber\":\"S1\"},{\"CacheUse\":true,\"SerialNumber\":\"s1\"},{\"CacheUse\":true}]");
    // An entry without CacheUse gets one.
    JsonHolder bare = parse(u"{\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{}],\"VendorID\":1}");
    ASSERT_EQ(Admittance(1, 2, 3, u"", false).AddToJsonHolder(bare, status), 0u);
    ASSERT_EQ(Admittance(1, 2, 3).AddToJsonHolder(bare, status), 0u);
    EXPECT_EQ(bare[u"SerialNumbers"].ToString(), u"[{\"CacheUse\":true},{\"CacheUse\":false,\"SerialNumber\":\"\"}]");
    // A malformed document is refused and left as it was.
    JsonHolder bad = parse(u"{\"ProductID\":2,\"RevBCD\":3,\"SerialNumbers\":[{\"CacheUse\":7}],\"VendorID\":1}");
    EXPECT_EQ(Admittance(1, 2, 3).AddToJsonHolder(bad, status), 592u);
    EXPECT_EQ(bad[u"SerialNumbers"].Count(), 1u);
}

class AdmittanceFolder : public ::testing::Test {
protected:
    TempFolder dir;
    std::u16string status;
    std::filesystem::path file(const char* name) { return dir.path() / name; }
};

TEST_F(AdmittanceFolder, OneFilePerModelWithItsEntriesInOrder)
{
    AdmittanceList list;
    list.Add(Admittance(0x00AB, 0x0002, 0x0100, u"B"));
    list.Add(Admittance(0x00AB, 0x0002, 0x0100, u"A", false));
    list.Add(Admittance(0x00AB, 0x0002, 0x0100));
    list.Add(Admittance(0x1234, 0xABCD, 0x0001, u"Z"));
    ASSERT_EQ(list.SaveToDirectory(dir.windows(), status), 0u) << text::to_utf8(status);
    EXPECT_EQ(dc_test::read_utf16(file("Vid_00ab_Pid_0002_Rev_0100.json")),
              u"{\"ProductID\":2,\"RevBCD\":256,\"SerialNumbers\":[{\"CacheUse\":true},"
              u"{\"CacheUse\":false,\"SerialNumber\":\"A\"},{\"CacheUse\":true,\"SerialNumber\":\"B\"}],"
              u"\"VendorID\":171}");
    EXPECT_EQ(dc_test::read_utf16(file("Vid_1234_Pid_abcd_Rev_0001.json")),
              u"{\"ProductID\":43981,\"RevBCD\":1,\"SerialNumbers\":[{\"CacheUse\":true,\"SerialNumber\":\"Z\"}],"
              u"\"VendorID\":4660}");

    // Saved again through a path ending in a backslash: the same file, merged, nothing doubled.
    AdmittanceList more;
    more.Add(Admittance(0x00AB, 0x0002, 0x0100, u"C"));
    more.Add(Admittance(0x00AB, 0x0002, 0x0100, u"A", true));
    ASSERT_EQ(more.SaveToDirectory(dir.windows() + u"\\", status), 0u);
    EXPECT_EQ(dc_test::read_utf16(file("Vid_00ab_Pid_0002_Rev_0100.json")),
              u"{\"ProductID\":2,\"RevBCD\":256,\"SerialNumbers\":[{\"CacheUse\":true},"
              u"{\"CacheUse\":true,\"SerialNumber\":\"A\"},{\"CacheUse\":true,\"SerialNumber\":\"B\"},"
              u"{\"CacheUse\":true,\"SerialNumber\":\"C\"}],\"VendorID\":171}");
}

TEST_F(AdmittanceFolder, MalformedExistingFileStopsBeforeWritingIt)
{
    const std::u16string broken = u"{\"VendorID\":1,\"ProductID\":1,\"RevBCD\":1,\"SerialNumbers\":[{\"CacheUse\":3}]}";
    dc_test::write_utf16(file("Vid_0001_Pid_0001_Rev_0001.json"), broken);
    AdmittanceList list;
    list.Add(Admittance(1, 1, 1, u"S"));
    EXPECT_EQ(list.SaveToDirectory(dir.windows(), status), 592u);
    EXPECT_EQ(status, u"Bad data in admittance file; err=0x00000250");
    EXPECT_EQ(dc_test::read_utf16(file("Vid_0001_Pid_0001_Rev_0001.json")), broken);
}

TEST_F(AdmittanceFolder, EmptyListTouchesNothing)
{
    EXPECT_EQ(AdmittanceList().SaveToDirectory(dir.windows(u"missing"), status), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST_F(AdmittanceFolder, ClearingKeepsReadOnlyFilesFoldersAndOtherNames)
{
    for (const char* n : {"Vid_0001_Pid_0001_Rev_0001.json", "vid_0002_pid_0002_rev_0002.json",
                          "Vid_0003_Pid_0003_Rev_0003.json", "Vid_1_Pid_1_Rev_1.json", "other.json"})
        dc_test::write_utf16(file(n), u"{}");
    std::filesystem::create_directory(file("Vid_0004_Pid_0004_Rev_0004.json"));
    std::filesystem::permissions(file("Vid_0003_Pid_0003_Rev_0003.json"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);

    ASSERT_EQ(AdmittanceList::ClearDirectory(dir.windows(), status), 0u) << text::to_utf8(status);
    EXPECT_FALSE(std::filesystem::exists(file("Vid_0001_Pid_0001_Rev_0001.json")));
    EXPECT_FALSE(std::filesystem::exists(file("vid_0002_pid_0002_rev_0002.json"))) << "names match without case";
    EXPECT_TRUE(std::filesystem::exists(file("Vid_0003_Pid_0003_Rev_0003.json"))) << "read-only stays";
    EXPECT_TRUE(std::filesystem::is_directory(file("Vid_0004_Pid_0004_Rev_0004.json")));
    EXPECT_TRUE(std::filesystem::exists(file("Vid_1_Pid_1_Rev_1.json")));
    EXPECT_TRUE(std::filesystem::exists(file("other.json")));

    // Nothing left to match: success again.
    EXPECT_EQ(AdmittanceList::ClearDirectory(dir.windows(), status), 0u);
}

TEST_F(AdmittanceFolder, ClearingAMissingFolderFailsWithTheListingError)
{
    EXPECT_EQ(AdmittanceList::ClearDirectory(dir.windows(u"missing"), status), 3u);
    EXPECT_EQ(status, u"Nie można wylistować plików; err=0x00000003");
}

TEST_F(AdmittanceFolder, ClearingStopsAtTheFirstFailedDelete)
{
    for (const char* n : {"Vid_0001_Pid_0001_Rev_0001.json", "Vid_0002_Pid_0002_Rev_0002.json",
                          "Vid_0003_Pid_0003_Rev_0003.json"})
        dc_test::write_utf16(file(n), u"{}");
    dc_test::FailingDeletes files(platform::files());
    files.refused.insert(u"Vid_0002_Pid_0002_Rev_0002.json");
    platform::Override<platform::Files> use(&platform::Platform::files, files);

    EXPECT_EQ(AdmittanceList::ClearDirectory(dir.windows(), status), 5u);
    EXPECT_EQ(status, u"Nie można skasować pliku " + dir.windows(u"Vid_0002_Pid_0002_Rev_0002.json") +
                          u"; err=0x00000005");
    EXPECT_FALSE(std::filesystem::exists(file("Vid_0001_Pid_0001_Rev_0001.json")));
    EXPECT_TRUE(std::filesystem::exists(file("Vid_0003_Pid_0003_Rev_0003.json"))) << "later files not attempted";
    EXPECT_EQ(files.removed, std::vector<std::u16string>{u"Vid_0001_Pid_0001_Rev_0001.json"});
}

} // namespace
