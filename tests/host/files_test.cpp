#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../platform/child/spawn.h"
#include "fakes.h"
#include "host/files.h"
#include "platform/files.h"
#include "platform/forwarding.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "text/text.h"

namespace {

TEST(JoinPath, SeparatorRules)
{
    struct Case {
        const char16_t* base;
        const char16_t* tail;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"C:\\a\\", u"\\b", u"C:\\a\\b"},
        {u"C:\\a", u"b", u"C:\\a\\b"},
        {u"", u"b", u"\\b"},
        {u"C:\\a", u"\\\\b", u"C:\\a\\\\b"},  // only one leading separator is dropped
        {u"C:\\a", u"", u"C:\\a\\"},
    };
    for (const auto& c : cases) {
        std::u16string base = c.base;
        JoinPath(base, c.tail);
        EXPECT_EQ(base, c.expected);
    }
}

// Delegates to the real files family but lets a test break writes.
class BreakingFiles : public platform::ForwardingFiles {
public:
    using ForwardingFiles::ForwardingFiles;
    bool short_writes = false;

    platform::Error write(platform::Handle h, const void* b, uint32_t n, uint32_t& w) override
    {
        if (!short_writes) return inner_.write(h, b, n, w);
        // A full disk: half of the bytes go in, then nothing more.
        const platform::Error e = inner_.write(h, b, n / 2, w);
        short_writes_done = true;
        if (w == 0) return platform::err::disk_full;
        return e;
    }
    bool short_writes_done = false;
};

class WholeFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("zelmusb-host-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    // The folder as the program names it (Windows separators).
    std::u16string path(const char* tail) const
    {
        std::u16string p = text::from_utf8((dir_ / tail).string());
        for (auto& c : p)
            if (c == u'/') c = u'\\';
        return p;
    }
    std::filesystem::path dir_;
};

TEST_F(WholeFiles, WriteCreatesFoldersReplacesContentAndReadsBack)
{
    const std::u16string file = path("a/b/c/data.bin");
    ASSERT_EQ(WriteWholeFile(file, std::u16string(u"long content, Łódź")), 1);
    ASSERT_EQ(WriteWholeFile(file, std::u16string(u"short")), 1);
    CByteBuffer buffer;
    ASSERT_EQ(ReadWholeFile(file, buffer), 1);
    EXPECT_EQ(buffer.size(), 10u);
    EXPECT_EQ(buffer.as_utf16(), u"short");
    // Terminated as wide text right after the data.
    EXPECT_EQ(buffer.data()[10], 0);
    EXPECT_EQ(buffer.data()[11], 0);
    // No temporary left beside it.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_ / "a/b/c")) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1u);
}

TEST_F(WholeFiles, ShortWriteLeavesTheOldContentAndFails)
{
    const std::u16string file = path("keep.json");
    ASSERT_EQ(WriteWholeFile(file, std::u16string(u"{\"old\":1}")), 1);
    BreakingFiles breaking(platform::files());
    breaking.short_writes = true;
    {
        platform::Override<platform::Files> o(&platform::Platform::files, breaking);
        EXPECT_EQ(WriteWholeFile(file, std::u16string(u"{\"new\":2, \"much\":\"longer\"}")), 0);
    }
    EXPECT_TRUE(breaking.short_writes_done);
    CByteBuffer buffer;
    ASSERT_EQ(ReadWholeFile(file, buffer), 1);
    EXPECT_EQ(buffer.as_utf16(), u"{\"old\":1}");
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_)) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1u);
}

#ifdef ZELMUSB_HOST_CHILD
// Another program (the suite) reads the file while it is written: the atomic replacement is refused
// then, on Windows whatever that program shares, and the bytes go into the file itself.
TEST_F(WholeFiles, TargetHeldOpenByAnotherProgramIsWrittenInPlace)
{
    struct Case {
        const char* what;
        uint32_t share;
        int result;
        const char* content;
    };
    namespace share = platform::share;
    const Case cases[] = {
        {"shared for reading and writing", share::read | share::write, 1, "new content"},
        {"shared for reading, writing and deletion", share::read | share::write | share::del, 1, "new content"},
        {"shared for reading only: the write fails and says so", share::read, 0, "old"},
    };
    std::filesystem::create_directories(dir_ / "markers");
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string file = path("report.json");
        ASSERT_EQ(WriteWholeFile(file, "old", 3), 1);
        const std::string release = (dir_ / "markers" / ("release" + std::to_string(++round))).string();
        testchild::Child holder;
        ASSERT_TRUE(holder.start_program(testchild::built_program_path(ZELMUSB_HOST_CHILD),
                                         {"hold", text::to_utf8(file), std::to_string(c.share), release}));
        for (int i = 0; i < 1500 && !std::filesystem::exists(release + ".ready"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(std::filesystem::exists(release + ".ready"));

        EXPECT_EQ(WriteWholeFile(file, "new content", 11), c.result);
        CByteBuffer buffer;
        ASSERT_EQ(ReadWholeFile(file, buffer), 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()), c.content);
        std::ofstream(release).put('1');
        EXPECT_EQ(holder.wait(30000), 0);
        // No temporary is left beside it.
        size_t entries = 0;
        for (auto& e : std::filesystem::directory_iterator(dir_)) entries += e.is_regular_file();
        EXPECT_EQ(entries, 1u);
    }
}
#endif

TEST_F(WholeFiles, TemporaryOfAWriterThatDiedIsRemovedByTheNextWrite)
{
    auto& processes = platform::processes();
    // The path as the program names it, and as a switch value hands it over ("/gud:/tmp/x.json"):
    // the file's folder is found after either separator.
    struct Case {
        const char* what;
        std::u16string file;
    };
    const std::u16string native = text::from_utf8((dir_ / "list.json").string());
    const Case cases[] = {
        {"backslashes", path("list.json")},
        {"forward slashes", native},
#ifdef _WIN32
        {"mixed", native.substr(0, native.rfind(u'\\')) + u"/list.json"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A writer that no longer runs, and one that does (this process, another thread).
        const std::string dead = "list.json.7ffffff1-1.tmp";
        const std::string alive = "list.json." + text::to_utf8(text::format(u"%x", processes.current_id())) + "-7ff.tmp";
        std::ofstream(dir_ / dead).put('x');
        std::ofstream(dir_ / alive).put('x');
        ASSERT_EQ(WriteWholeFile(c.file, "data", 4), 1);
        EXPECT_FALSE(std::filesystem::exists(dir_ / dead));
        EXPECT_TRUE(std::filesystem::exists(dir_ / alive));
        std::filesystem::remove(dir_ / alive);
    }
}

TEST_F(WholeFiles, MissingFileAndEmptyFile)
{
    CByteBuffer buffer;
    buffer.append("xy", 2);
    EXPECT_EQ(ReadWholeFile(path("missing.bin"), buffer), 0);
    EXPECT_EQ(buffer.size(), 2u);  // unchanged on failure
    ASSERT_EQ(WriteWholeFile(path("empty.bin"), "", 0), 1);
    ASSERT_EQ(ReadWholeFile(path("empty.bin"), buffer), 1);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST_F(WholeFiles, AppendAddsWholeLines)
{
    const std::u16string log = path("logs/arrivals.txt");
    ASSERT_EQ(AppendToFile(log, "one\r\n"), 1);
    ASSERT_EQ(AppendToFile(log, "two\r\n"), 1);
    CByteBuffer buffer;
    ASSERT_EQ(ReadWholeFile(log, buffer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size()), "one\r\ntwo\r\n");
}

TEST(SuiteFolders, DataAndConfigFoldersFollowTheEnvironment)
{
    fakes::System system;
    fakes::Processes processes;
    platform::Override<platform::System> o1(&platform::Platform::system, system);
    platform::Override<platform::Processes> o2(&platform::Platform::processes, processes);
    system.env[u"ALLUSERSPROFILE"] = u"C:\\ProgramData";
    EXPECT_EQ(suite_data_folder(), u"C:\\ProgramData\\halvar");
    EXPECT_EQ(suite_data_folder(u"tmp"), u"C:\\ProgramData\\halvar\\tmp");
    EXPECT_EQ(suite_config_folder(u"cfg.json"), u"C:\\ProgramData\\halvar\\cfg\\cfg.json");
    EXPECT_EQ(program_folder(u"zelmusb.sys"), u"C:\\Program Files\\zelmarusb\\zelmusb.sys");
    // Without a usable ALLUSERSPROFILE: on Windows the folder is below the current drive's root;
    // on Linux, where that root would be the file system's, it is a name no file call accepts.
#ifdef _WIN32
    const std::u16string unusable = u"\\halvar";
#else
    const std::u16string unusable = no_folder;
#endif
    system.env.clear();
    EXPECT_EQ(suite_data_folder(), unusable);
    system.env[u"ALLUSERSPROFILE"] = std::u16string(1024, u'x');
    EXPECT_EQ(suite_data_folder(), unusable);
}

} // namespace
