#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "child/spawn.h"
#include "../support/fresh_machine.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace {

using namespace platform;
using platform_test::FreshMachine;
using platform_test::TempFolder;

constexpr uint32_t read_write = access::generic_read | access::generic_write;
constexpr uint32_t share_all = share::read | share::write | share::del;

class FilesTest : public ::testing::Test {
protected:
    FreshMachine machine;
    TempFolder dir;
    Files& files = platform::files();

    std::u16string at(std::u16string_view name) const { return dir.windows(name); }

    void put(std::u16string_view name, const std::string& content)
    {
        Handle h = 0;
        ASSERT_EQ(files.open(at(name), access::generic_write, share::none, disposition::create_always,
                             attribute::normal, h),
                  err::success);
        uint32_t written = 0;
        EXPECT_EQ(files.write(h, content.data(), uint32_t(content.size()), written), err::success);
        EXPECT_EQ(written, content.size());
        EXPECT_EQ(files.close(h), err::success);
    }

    std::string get(std::u16string_view name)
    {
        Handle h = 0;
        EXPECT_EQ(files.open(at(name), access::generic_read, share::read, disposition::open_existing,
                             attribute::normal, h),
                  err::success);
        std::string out;
        char buf[7]; // small on purpose: the content comes back over several reads
        for (;;) {
            uint32_t n = 0;
            EXPECT_EQ(files.read(h, buf, sizeof buf, n), err::success);
            if (n == 0) break;
            out.append(buf, n);
        }
        files.close(h);
        return out;
    }
};

struct DispositionCase {
    const char* what;
    uint32_t disposition;
    bool exists_before;
    Error expected;
    uint64_t size_after; // checked on success: 5 keeps "hello", 0 truncates or creates
};

TEST_F(FilesTest, DispositionsCreateOpenAndTruncateAsWindowsDoes)
{
    const DispositionCase cases[] = {
        {"create_new, missing", disposition::create_new, false, err::success, 0},
        {"create_new, existing", disposition::create_new, true, err::file_exists, 0},
        {"create_always, missing", disposition::create_always, false, err::success, 0},
        {"create_always, existing", disposition::create_always, true, err::success, 0},
        {"open_existing, missing", disposition::open_existing, false, err::file_not_found, 0},
        {"open_existing, existing", disposition::open_existing, true, err::success, 5},
        {"open_always, missing", disposition::open_always, false, err::success, 0},
        {"open_always, existing", disposition::open_always, true, err::success, 5},
        {"truncate_existing, missing", disposition::truncate_existing, false, err::file_not_found, 0},
        {"truncate_existing, existing", disposition::truncate_existing, true, err::success, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string name = platform_test::cat(u"d", text::u16(std::to_string(n++)), u".bin");
        if (c.exists_before) put(name, "hello");
        Handle h = 0;
        ASSERT_EQ(files.open(at(name), read_write, share::none, c.disposition, attribute::normal, h), c.expected);
        if (c.expected != err::success) {
            Error why = 0;
            EXPECT_EQ(files.attributes(at(name), why) == attribute::invalid, !c.exists_before);
            continue;
        }
        uint64_t size = 99;
        EXPECT_EQ(files.size(h, size), err::success);
        EXPECT_EQ(size, c.size_after);
        EXPECT_EQ(files.close(h), err::success);
    }
}

TEST_F(FilesTest, MissingFileIs2AndMissingFolderIs3)
{
    const std::u16string missing_file = at(u"nothing.json");
    const std::u16string in_missing_folder = at(u"no-such-folder\\nothing.json");
    Handle h = 0;
    EXPECT_EQ(files.open(missing_file, access::generic_read, share_all, disposition::open_existing, 0, h),
              err::file_not_found);
    EXPECT_EQ(files.open(in_missing_folder, access::generic_read, share_all, disposition::open_existing, 0, h),
              err::path_not_found);
    // Creating needs the folder as much as opening does.
    EXPECT_EQ(files.open(in_missing_folder, read_write, share::none, disposition::create_always, 0, h),
              err::path_not_found);

    Error why = 0;
    EXPECT_EQ(files.attributes(missing_file, why), attribute::invalid);
    EXPECT_EQ(why, err::file_not_found);
    EXPECT_EQ(files.attributes(in_missing_folder, why), attribute::invalid);
    EXPECT_EQ(why, err::path_not_found);

    EXPECT_EQ(files.remove(missing_file), err::file_not_found);
    EXPECT_EQ(files.remove(in_missing_folder), err::path_not_found);

    std::vector<FindEntry> found;
    EXPECT_EQ(files.find(at(u"no-such-folder\\*.json"), found), err::path_not_found);

    bool is_dir = false;
    EXPECT_EQ(files.stat(missing_file, is_dir), 2); // ENOENT
    EXPECT_EQ(files.make_writable(missing_file), 2);
}

struct ShareCase {
    const char* what;
    uint32_t first_access, first_share;
    uint32_t second_access, second_share, second_disposition;
    Error expected;
};

TEST_F(FilesTest, SecondOpenFollowsWindowsSharingRules)
{
    constexpr uint32_t all = access::file_all_access;
    const ShareCase cases[] = {
        {"two readers sharing reading", access::generic_read, share::read, access::generic_read, share::read,
         disposition::open_existing, err::success},
        {"writer while the reader shares only reading", access::generic_read, share::read, access::generic_write,
         share::read | share::write, disposition::open_existing, err::sharing_violation},
        {"reader that does not share the first handle's writing", access::generic_write, share::read,
         access::generic_read, share::read, disposition::open_existing, err::sharing_violation},
        {"reader that shares the first handle's writing", access::generic_write, share::read, access::generic_read,
         share::read | share::write, disposition::open_existing, err::success},
        {"reader while a document is being saved", all, share::none, access::generic_read, share_all,
         disposition::open_existing, err::sharing_violation},
        {"save while a reader holds the document", access::generic_read, share_all, all, share::none,
         disposition::create_always, err::sharing_violation},
        {"save while a reader shares everything, saver too", access::generic_read, share_all, all, share_all,
         disposition::create_always, err::success},
        {"truncating a file whose reader does not share writing", access::generic_read, share::read,
         access::generic_write, share_all, disposition::truncate_existing, err::sharing_violation},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string name = at(platform_test::cat(u"s", text::u16(std::to_string(n++)), u".json"));
        put(name.substr(name.rfind(u'\\') + 1), "content");
        Handle first = 0, second = 0;
        ASSERT_EQ(files.open(name, c.first_access, c.first_share, disposition::open_existing, 0, first), err::success);
        EXPECT_EQ(files.open(name, c.second_access, c.second_share, c.second_disposition, 0, second), c.expected);
        if (c.expected == err::success) files.close(second);
        EXPECT_EQ(files.close(first), err::success);
        // Once the first handle is gone, nothing stands in the way.
        ASSERT_EQ(files.open(name, c.second_access, c.second_share, c.second_disposition, 0, second), err::success);
        files.close(second);
    }
}

#ifdef ZELMUSB_PLATFORM_CHILD
// The same rules hold between processes: a handle here against an open in another program.
TEST_F(FilesTest, AnotherProcessMeetsTheSameSharingRules)
{
    constexpr uint32_t all = access::file_all_access;
    const ShareCase cases[] = {
        {"reader there while a reader here shares reading", access::generic_read, share::read, access::generic_read,
         share_all, disposition::open_existing, err::success},
        {"writer there while a reader here shares only reading", access::generic_read, share::read,
         access::generic_write, share_all, disposition::open_existing, err::sharing_violation},
        {"reader there that does not share the writing here", access::generic_write, share::read,
         access::generic_read, share::read, disposition::open_existing, err::sharing_violation},
        {"reader there while a document is being saved here", all, share::none, access::generic_read, share_all,
         disposition::open_existing, err::sharing_violation},
        {"reader there while a reader here shares everything", access::generic_read, share_all,
         access::generic_read, share::read, disposition::open_existing, err::success},
        {"readers here and there that both keep writers out", access::generic_read, share::read,
         access::generic_read, share::read, disposition::open_existing, err::success},
        {"reader there that keeps writers out while a writer is here", access::generic_write, share_all,
         access::generic_read, share::read, disposition::open_existing, err::sharing_violation},
    };
    put(u"shared.json", "content");
    const std::u16string name = at(u"shared.json");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Handle here = 0;
        ASSERT_EQ(files.open(name, c.first_access, c.first_share, disposition::open_existing, 0, here), err::success);
        testchild::Child there;
        ASSERT_TRUE(there.start({"open-file", text::to_utf8(name), std::to_string(c.second_access),
                                 std::to_string(c.second_share)}));
        EXPECT_EQ(there.wait(30000), int(c.expected));
        EXPECT_EQ(files.close(here), err::success);
    }
}
#endif

TEST_F(FilesTest, DeleteIsRefusedWhileAHandleDoesNotShareDeletion)
{
    put(u"held.json", "x");
    Handle h = 0;
    ASSERT_EQ(files.open(at(u"held.json"), access::generic_read, share::read | share::write,
                         disposition::open_existing, 0, h),
              err::success);
    EXPECT_EQ(files.remove(at(u"held.json")), err::sharing_violation);
    EXPECT_EQ(files.close(h), err::success);
    EXPECT_EQ(files.remove(at(u"held.json")), err::success);
    Error why = 0;
    EXPECT_EQ(files.attributes(at(u"held.json"), why), attribute::invalid);
    EXPECT_EQ(why, err::file_not_found);
}

TEST_F(FilesTest, ReadWriteAndSizeKeepTheBytes)
{
    std::string content;
    for (int i = 0; i < 70000; ++i) content.push_back(char(i * 7));
    put(u"data.bin", content);
    EXPECT_EQ(get(u"data.bin"), content);

    Handle h = 0;
    ASSERT_EQ(files.open(at(u"data.bin"), access::generic_read, share::read, disposition::open_existing, 0, h),
              err::success);
    uint64_t size = 0;
    EXPECT_EQ(files.size(h, size), err::success);
    EXPECT_EQ(size, content.size());
    // A handle opened for reading does not write, and the other way round.
    uint32_t n = 0;
    EXPECT_EQ(files.write(h, "x", 1, n), err::access_denied);
    EXPECT_EQ(n, 0u);
    files.close(h);
    ASSERT_EQ(files.open(at(u"data.bin"), access::generic_write, share::none, disposition::open_existing, 0, h),
              err::success);
    char c = 0;
    EXPECT_EQ(files.read(h, &c, 1, n), err::access_denied);
    files.close(h);
    EXPECT_EQ(get(u"data.bin"), content);
}

// The size follows every change made through this process's handles: a reader's first size
// request after another handle wrote (or a truncating open emptied the file) gives the new size.
TEST_F(FilesTest, SizeFollowsWritesThroughOtherHandles)
{
    const uint32_t all = share::read | share::write | share::del;
    put(u"grows.bin", "1234");
    Handle reader = 0, writer = 0, second = 0;
    ASSERT_EQ(files.open(at(u"grows.bin"), access::generic_read, all, disposition::open_existing, 0, reader),
              err::success);
    ASSERT_EQ(files.open(at(u"grows.bin"), access::generic_read, all, disposition::open_existing, 0, second),
              err::success);
    ASSERT_EQ(files.open(at(u"grows.bin"), access::append_data, all, disposition::open_existing, 0, writer),
              err::success);
    uint32_t n = 0;
    ASSERT_EQ(files.write(writer, "56789", 5, n), err::success);
    uint64_t size = 0;
    EXPECT_EQ(files.size(reader, size), err::success);
    EXPECT_EQ(size, 9u);
    files.close(writer);
    ASSERT_EQ(files.open(at(u"grows.bin"), access::generic_write, all, disposition::truncate_existing, 0, writer),
              err::success);
    EXPECT_EQ(files.size(second, size), err::success);
    EXPECT_EQ(size, 0u);
    for (Handle h : {reader, writer, second}) files.close(h);
}

TEST_F(FilesTest, AHandleThatNamesNothingIsAnErrorNotACrash)
{
    const Handle bogus = 0x7A5A5A0;
    char buf[4];
    uint32_t n = 0;
    uint64_t size = 0;
    EXPECT_EQ(files.read(bogus, buf, sizeof buf, n), err::invalid_handle);
    EXPECT_EQ(files.write(bogus, buf, sizeof buf, n), err::invalid_handle);
    EXPECT_EQ(files.size(bogus, size), err::invalid_handle);
    EXPECT_EQ(files.close(bogus), err::invalid_handle);

    Handle h = 0;
    put(u"once.txt", "1");
    ASSERT_EQ(files.open(at(u"once.txt"), access::generic_read, share::read, disposition::open_existing, 0, h),
              err::success);
    EXPECT_EQ(files.close(h), err::success);
    EXPECT_EQ(files.read(h, buf, sizeof buf, n), err::invalid_handle); // closed handles are gone
}

TEST_F(FilesTest, ReadOnlyFileIsReportedAndProtectedUntilMadeWritable)
{
    Handle h = 0;
    ASSERT_EQ(files.open(at(u"ro.json"), access::generic_write, share::none, disposition::create_new,
                         attribute::readonly, h),
              err::success);
    uint32_t n = 0;
    EXPECT_EQ(files.write(h, "abc", 3, n), err::success); // the creating handle keeps its rights
    files.close(h);

    Error why = 1;
    const uint32_t a = files.attributes(at(u"ro.json"), why);
    EXPECT_EQ(why, err::success);
    EXPECT_TRUE(a & attribute::readonly);
    EXPECT_FALSE(a & attribute::directory);

#ifndef _WIN32
    // Windows refuses these as well; Wine leaves the decision to the Linux file permissions, which
    // do not stop root, so under Wine the check would only say who runs the tests.
    EXPECT_EQ(files.open(at(u"ro.json"), access::generic_write, share::none, disposition::open_existing, 0, h),
              err::access_denied);
    EXPECT_EQ(files.open(at(u"ro.json"), access::generic_read, share::read, disposition::create_always, 0, h),
              err::access_denied);
#endif
    EXPECT_EQ(files.remove(at(u"ro.json")), err::access_denied);
    EXPECT_EQ(get(u"ro.json"), "abc"); // reading is fine

    EXPECT_EQ(files.make_writable(at(u"ro.json")), 0);
    EXPECT_FALSE(files.attributes(at(u"ro.json"), why) & attribute::readonly);
    put(u"ro.json", "new");
    EXPECT_EQ(get(u"ro.json"), "new");
    EXPECT_EQ(files.remove(at(u"ro.json")), err::success);
}

TEST_F(FilesTest, FoldersAreCreatedOneLevelAtATime)
{
    EXPECT_EQ(files.create_directory(at(u"logs")), err::success);
    EXPECT_EQ(files.create_directory(at(u"logs")), err::already_exists);
    EXPECT_EQ(files.create_directory(at(u"a\\b")), err::path_not_found);

    Error why = 1;
    EXPECT_TRUE(files.attributes(at(u"logs"), why) & attribute::directory);
    bool is_dir = false;
    EXPECT_EQ(files.stat(at(u"logs"), is_dir), 0);
    EXPECT_TRUE(is_dir);
    put(u"plain.txt", "x");
    EXPECT_EQ(files.stat(at(u"plain.txt"), is_dir), 0);
    EXPECT_FALSE(is_dir);

    // A folder is not a file: it cannot be opened or deleted as one.
    Handle h = 0;
    EXPECT_EQ(files.open(at(u"logs"), access::generic_read, share_all, disposition::open_existing, 0, h),
              err::access_denied);
    EXPECT_EQ(files.remove(at(u"logs")), err::access_denied);
}

std::vector<std::u16string> sorted_names(const std::vector<FindEntry>& entries)
{
    std::vector<std::u16string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FilesTest, WildcardFindMatchesQuestionMarkAsExactlyOneCharacter)
{
    for (const char16_t* name : {u"Vid_1234_Pid_abcd_Rev_0100.json", u"Vid_12345_Pid_abcd_Rev_0100.json",
                                 u"Vid_123_Pid_abcd_Rev_0100.json", u"VID_0A0B_PID_0001_REV_0002.JSON",
                                 u"Vid_1234_Pid_abcd_Rev_0100.json.bak", u"other.txt"})
        put(name, "{}");
    ASSERT_EQ(files.create_directory(at(u"sub")), err::success);

    struct Case {
        const char16_t* pattern;
        std::vector<std::u16string> expected; // sorted by code unit
    };
    const Case cases[] = {
        {u"Vid_????_Pid_????_Rev_????.json", {u"VID_0A0B_PID_0001_REV_0002.JSON", u"Vid_1234_Pid_abcd_Rev_0100.json"}},
        {u"Vid_?????_Pid_*", {u"Vid_12345_Pid_abcd_Rev_0100.json"}},
        {u"*.json",
         {u"VID_0A0B_PID_0001_REV_0002.JSON", u"Vid_12345_Pid_abcd_Rev_0100.json", u"Vid_1234_Pid_abcd_Rev_0100.json",
          u"Vid_123_Pid_abcd_Rev_0100.json"}},
        {u"other.???", {u"other.txt"}},
        {u"s*", {u"sub"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text::to_utf8(c.pattern));
        std::vector<FindEntry> found;
        ASSERT_EQ(files.find(at(c.pattern), found), err::success);
        EXPECT_EQ(sorted_names(found), c.expected);
    }

    std::vector<FindEntry> found;
    EXPECT_EQ(files.find(at(u"Vid_??_*"), found), err::file_not_found);
    EXPECT_EQ(files.find(at(u"*.xml"), found), err::file_not_found);

    ASSERT_EQ(files.find(at(u"*"), found), err::success);
    for (const auto& e : found) {
        SCOPED_TRACE(text::to_utf8(e.name));
        if (e.name == u"sub" || e.name == u"." || e.name == u"..") {
            EXPECT_TRUE(e.attributes & attribute::directory);
        } else {
            EXPECT_FALSE(e.attributes & attribute::directory);
            EXPECT_EQ(e.size, 2u);
        }
    }
}

// Names are found whatever their letter case, as Windows file systems find them, so a path that
// was lower-cased on its way in (a switch value) still names the file.
TEST_F(FilesTest, PathComponentsAreFoundWithoutRegardToCase)
{
    ASSERT_EQ(files.create_directory(at(u"Home")), err::success);
    ASSERT_EQ(files.create_directory(at(u"Home\\Ann")), err::success);
    put(u"Home\\Ann\\Rules.json", "rules");
    EXPECT_EQ(get(u"home\\ann\\rules.json"), "rules");
    bool is_directory = false;
    EXPECT_EQ(files.stat(at(u"HOME\\ann"), is_directory), 0);
    EXPECT_TRUE(is_directory);
    std::vector<FindEntry> found;
    ASSERT_EQ(files.find(at(u"home\\ANN\\*.json"), found), err::success);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, u"Rules.json");
    // A new file goes into the folder that exists, under the name as written; an existing one is
    // replaced, not doubled.
    put(u"home\\ann\\rules.json.blocked.json", "out");
    put(u"HOME\\ANN\\RULES.JSON", "again");
    found.clear();
    ASSERT_EQ(files.find(at(u"Home\\Ann\\*"), found), err::success);
    std::vector<std::u16string> names;
    for (const FindEntry& e : found)
        if (!(e.attributes & attribute::directory)) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Rules.json", u"rules.json.blocked.json"}));
    EXPECT_EQ(get(u"home\\ann\\rules.json"), "again");
    // What exists in no letter case is still missing.
    Error why = 0;
    EXPECT_EQ(files.attributes(at(u"home\\bob\\rules.json"), why), attribute::invalid);
    EXPECT_EQ(why, err::path_not_found);
}

TEST_F(FilesTest, MoveReplacesTheTarget)
{
    put(u"cfg.json", "old");
    put(u"cfg.json.new", "new");
    EXPECT_EQ(files.move_replace(at(u"cfg.json.new"), at(u"cfg.json")), err::success);
    EXPECT_EQ(get(u"cfg.json"), "new");
    Error why = 0;
    EXPECT_EQ(files.attributes(at(u"cfg.json.new"), why), attribute::invalid);
    EXPECT_EQ(files.move_replace(at(u"gone.json"), at(u"cfg.json")), err::file_not_found);
    EXPECT_EQ(get(u"cfg.json"), "new");
}

#ifndef _WIN32
TEST_F(FilesTest, ANamedPipeInAFilesPlaceIsRefusedWithoutWaitingForAWriter)
{
    ASSERT_EQ(::mkfifo((dir.path() / "fifo.json").c_str(), 0666), 0);
    Handle h = 0;
    for (const uint32_t want : {access::generic_read, access::generic_write, read_write}) {
        SCOPED_TRACE(want);
        EXPECT_EQ(files.open(at(u"fifo.json"), want, share_all, disposition::open_existing, 0, h), err::access_denied);
    }
}
#endif

TEST_F(FilesTest, ALetterWithoutAVolumeHasNoRootDirectory)
{
    EXPECT_EQ(files.drive_type(u"Q:\\"), drive::no_root_dir);
}

} // namespace
