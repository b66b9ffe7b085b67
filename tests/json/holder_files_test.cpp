#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "json/holder/json_holder.h"
#include "memory_files.h"
#include "platform/platform.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

std::string u8(const std::u16string& s) { return text::to_utf8(s); }

std::vector<uint8_t> utf16le(std::u16string_view s) { return text::to_utf16le(s); }

// Where the files live: the in-memory family, or the real one of this build in a fresh folder.
class FileEnv {
public:
    virtual ~FileEnv() = default;
    virtual std::u16string path(const std::u16string& name) = 0;
    virtual void put(const std::u16string& path, const std::vector<uint8_t>& bytes) = 0;
    virtual bool exists(const std::u16string& path) = 0;
    virtual std::vector<uint8_t> get(const std::u16string& path) = 0;
    virtual std::u16string folder() = 0;
};

class MemoryEnv : public FileEnv {
public:
    jsontest::ScopedMemoryFiles files;
    MemoryEnv() { files.folders.insert(u"C:\\dane"); }
    std::u16string path(const std::u16string& name) override { return u"C:\\dane\\" + name; }
    void put(const std::u16string& path, const std::vector<uint8_t>& bytes) override { files.contents[path] = bytes; }
    bool exists(const std::u16string& path) override { return files.contents.count(path) != 0; }
    std::vector<uint8_t> get(const std::u16string& path) override { return files.contents.at(path); }
    std::u16string folder() override { return u"C:\\dane"; }
};

// The real files family, in a folder of its own below the system's temporary folder.
class NativeEnv : public FileEnv {
public:
    NativeEnv()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  ("zelmusb-json-" + std::string(info->name()).substr(0, 40) + "-" +
                   std::to_string(reinterpret_cast<uintptr_t>(this) & 0xFFFFFF));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    ~NativeEnv() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::u16string path(const std::u16string& name) override { return (folder_ / name).u16string(); }
    void put(const std::u16string& path, const std::vector<uint8_t>& bytes) override
    {
        std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    bool exists(const std::u16string& path) override { return std::filesystem::exists(std::filesystem::path(path)); }
    std::vector<uint8_t> get(const std::u16string& path) override
    {
        std::ifstream in(std::filesystem::path(path), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    std::u16string folder() override { return folder_.u16string(); }

private:
    std::filesystem::path folder_;
};

using EnvFactory = std::unique_ptr<FileEnv> (*)();

class JsonHolderFiles : public ::testing::TestWithParam<EnvFactory> {
protected:
    void SetUp() override { env = GetParam()(); }
    std::unique_ptr<FileEnv> env;
};

JsonHolder sample()
{
    JsonHolder o = JsonHolder::CreateObject();
    o.Add(u"b", new JsonHolder(1));
    o.Add(u"a", new JsonHolder(std::u16string(u"zażółć")));
    JsonHolder& list = *o.Add(u"B", new JsonHolder(JsonHolder::CreateArray()));
    list.Add(new JsonHolder(true));
    return o;
}

TEST_P(JsonHolderFiles, SavedFileIsTheTextAsUtf16leWithoutMarkAndLoadsBack)
{
    const std::u16string path = env->path(u"konfiguracja.json");
    std::u16string status;
    ASSERT_EQ(sample().SaveToFile(path, status), 0u) << u8(status);
    const std::u16string text = u"{\"B\":[true],\"a\":\"zażółć\",\"b\":1}";
    EXPECT_EQ(env->get(path), utf16le(text));

    JsonHolder loaded;
    ASSERT_EQ(JsonHolder::LoadFromFile(path, loaded, status), 0u) << u8(status);
    EXPECT_EQ(loaded.ToString(), text);
}

TEST_P(JsonHolderFiles, SavingOverALargerFileTruncatesIt)
{
    const std::u16string path = env->path(u"a.json");
    env->put(path, std::vector<uint8_t>(5000, 'x'));
    std::u16string status;
    ASSERT_EQ(JsonHolder::CreateArray().SaveToFile(path, status), 0u);
    EXPECT_EQ(env->get(path), utf16le(u"[]"));
}

TEST_P(JsonHolderFiles, LoadingAMissingFileNamesThePathAndTheSystemCode)
{
    const std::u16string path = env->path(u"brak.json");
    JsonHolder value(5.0);
    std::u16string status;
    EXPECT_EQ(JsonHolder::LoadFromFile(path, value, status), 2u);
    EXPECT_EQ(u8(status), "Plik [" + u8(path) + "]: Nie udało się otworzyć pliku -> err=0x00000002");
    EXPECT_EQ(value.NumberVal(), 5.0);
}

TEST_P(JsonHolderFiles, ASyntaxErrorIsReadFaultWithThePositionAndThePath)
{
    const std::u16string path = env->path(u"zly.json");
    env->put(path, utf16le(u"{\n\"a\" 1}"));
    JsonHolder value(5.0);
    std::u16string status;
    EXPECT_EQ(JsonHolder::LoadFromFile(path, value, status), 30u);
    EXPECT_EQ(u8(status), "Linia=2 Kolumna=6 Po nazwie musi być dwukropek plik: " + u8(path));
    EXPECT_EQ(value.NumberVal(), 5.0);
}

TEST_P(JsonHolderFiles, AnOddFinalByteIsIgnoredAndAMarkIsNotSkipped)
{
    const std::u16string odd = env->path(u"odd.json");
    auto bytes = utf16le(u"[1]");
    bytes.push_back('x');
    env->put(odd, bytes);
    JsonHolder value;
    std::u16string status;
    ASSERT_EQ(JsonHolder::LoadFromFile(odd, value, status), 0u) << u8(status);
    EXPECT_EQ(value.ToString(), u"[1]");

    const std::u16string marked = env->path(u"bom.json");
    env->put(marked, utf16le(u"\uFEFF[1]"));
    EXPECT_EQ(JsonHolder::LoadFromFile(marked, value, status), 30u);
    EXPECT_EQ(u8(status), "Linia=1 Kolumna=2 Nieprawidłowy znak rozpoczynający treść JSON plik: " + u8(marked));
}

TEST_P(JsonHolderFiles, UndefinedValueIsAWriteFaultAndCreatesNoFile)
{
    struct UndefinedValue : JsonHolder {
        UndefinedValue() { kind = JsonHolderType::Undefined; }
    };
    JsonHolder tree = JsonHolder::CreateArray();
    tree.Add(new UndefinedValue);
    const std::u16string path = env->path(u"u.json");
    std::u16string status;
    EXPECT_EQ(tree.SaveToFile(path, status), 29u);
    EXPECT_EQ(u8(status), "Nieokreślony typ wartości");
    EXPECT_FALSE(env->exists(path));
}

TEST_P(JsonHolderFiles, FileExists)
{
    const std::u16string file = env->path(u"jest.json");
    env->put(file, utf16le(u"[]"));
    struct Case {
        std::u16string path;
        bool exists;
    };
    const Case cases[] = {{file, true}, {env->path(u"nie-ma.json"), false}};
    for (const auto& c : cases) {
        bool flag = !c.exists;
        EXPECT_EQ(FileExists(c.path, flag), 0u) << u8(c.path);
        EXPECT_EQ(flag, c.exists) << u8(c.path);
    }
    // A folder exists too.
    const std::u16string folder = env->folder();
    bool flag = false;
    EXPECT_EQ(FileExists(folder, flag), 0u);
    EXPECT_TRUE(flag) << u8(folder);
}

TEST_P(JsonHolderFiles, StrumienReadsCodeUnitsAcrossItsBuffer)
{
    // Longer than the read buffer, with a code unit straddling every 64 KB boundary, and odd.
    std::u16string content;
    for (int i = 0; i < 70000; ++i)
        content.push_back(char16_t(0x20 + (i * 7919) % 0xD000));
    auto bytes = utf16le(content);
    bytes.push_back(0x41);
    const std::u16string path = env->path(u"dlugi.bin");
    env->put(path, bytes);

    Strumien in;
    EXPECT_EQ(in.getSize(), 0u);
    EXPECT_EQ(in.ReadWChar(), 0xFFFF);
    EXPECT_FALSE(in.Close());
    ASSERT_TRUE(in.OpenFileToRead(path));
    EXPECT_FALSE(in.OpenFileToRead(path)); // already open
    EXPECT_EQ(in.getSize(), bytes.size());
    std::u16string got;
    for (size_t i = 0; i < content.size(); ++i)
        got.push_back(in.ReadWChar());
    EXPECT_EQ(got, content);
    EXPECT_EQ(in.ReadWChar(), 0xFFFF); // the lone final byte is not a code unit
    EXPECT_EQ(in.ReadWChar(), 0xFFFF);
    EXPECT_TRUE(in.Close());
    EXPECT_FALSE(in.Close());
    EXPECT_EQ(in.ReadWChar(), 0xFFFF);

    Strumien missing;
    EXPECT_FALSE(missing.OpenFileToRead(env->path(u"nie-ma.bin")));
    EXPECT_EQ(missing.LastError(), 2u);
    EXPECT_EQ(missing.getSize(), 0u);
}

INSTANTIATE_TEST_SUITE_P(InMemory, JsonHolderFiles,
                         ::testing::Values(+[]() -> std::unique_ptr<FileEnv> { return std::make_unique<MemoryEnv>(); }));
INSTANTIATE_TEST_SUITE_P(NativeFiles, JsonHolderFiles,
                         ::testing::Values(+[]() -> std::unique_ptr<FileEnv> { return std::make_unique<NativeEnv>(); }));

// --- what the real files family of this build says ------------------------------------------

TEST(JsonHolderNativeFiles, SystemErrorsComeBackWithTheirWindowsCodes)
{
    NativeEnv env;
    std::u16string status;
    const std::u16string in_missing_folder = env.path(u"brak") + (env.folder().find(u'\\') != std::u16string::npos ? u"\\a.json" : u"/a.json");
    EXPECT_EQ(sample().SaveToFile(in_missing_folder, status), 3u);
    EXPECT_EQ(u8(status), "Plik [" + u8(in_missing_folder) + "]: Nie udało się otworzyć pliku -> err=0x00000003");

    // Saving asks for no sharing, so a file someone is reading cannot be replaced.
    const std::u16string path = env.path(u"czytany.json");
    ASSERT_EQ(sample().SaveToFile(path, status), 0u);
    Strumien reader;
    ASSERT_TRUE(reader.OpenFileToRead(path));
    EXPECT_EQ(JsonHolder::CreateArray().SaveToFile(path, status), 32u);
    EXPECT_EQ(u8(status), "Plik [" + u8(path) + "]: Nie udało się otworzyć pliku -> err=0x00000020");
    // Readers share with each other.
    JsonHolder loaded;
    EXPECT_EQ(JsonHolder::LoadFromFile(path, loaded, status), 0u) << u8(status);
    reader.Close();
    EXPECT_EQ(JsonHolder::CreateArray().SaveToFile(path, status), 0u);
}

// --- failures only the in-memory family can stage -----------------------------------------

TEST(JsonHolderFileFaults, WriteFailuresCloseTheFileAndReportTheCode)
{
    struct Case {
        const char* what;
        platform::Error open_error;
        platform::Error write_error;
        uint32_t write_limit;
        uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {"refused create", 5, 0, 0xFFFFFFFFu, 5,
         "Plik [C:\\x.json]: Nie udało się otworzyć pliku -> err=0x00000005"},
        {"failing write", 0, 112, 0xFFFFFFFFu, 112,
         "Plik [C:\\x.json]: Nie udało się zapisać zawartości pliku -> err=0x00000070"},
        {"short write", 0, 0, 7, 1100, "Plik [C:\\x.json]: Nie udało się zapisać całego pliku -> err=0x0000044C"},
    };
    for (const auto& c : cases) {
        jsontest::ScopedMemoryFiles files;
        files.open_error = c.open_error;
        files.write_error = c.write_error;
        files.write_limit = c.write_limit;
        std::u16string status;
        EXPECT_EQ(sample().SaveToFile(u"C:\\x.json", status), c.code) << c.what;
        EXPECT_EQ(u8(status), c.message) << c.what;
        EXPECT_EQ(files.open_handles(), 0u) << c.what;
        if (!c.open_error) {
            EXPECT_EQ(files.write_calls, 1) << c.what; // the whole text in one call
        }
    }
}

TEST(JsonHolderFileFaults, OpenModesAreThoseOfTheWindowsCalls)
{
    jsontest::ScopedMemoryFiles files;
    std::u16string status;
    ASSERT_EQ(sample().SaveToFile(u"C:\\x.json", status), 0u);
    EXPECT_EQ(files.last_access, 0x1F01FFu);
    EXPECT_EQ(files.last_share, 0u);
    EXPECT_EQ(files.last_disposition, 2u);
    JsonHolder value;
    ASSERT_EQ(JsonHolder::LoadFromFile(u"C:\\x.json", value, status), 0u);
    EXPECT_EQ(files.last_access, 0x80000000u);
    EXPECT_EQ(files.last_share, 7u);
    EXPECT_EQ(files.last_disposition, 3u);
    EXPECT_EQ(files.open_handles(), 0u);
}

TEST(JsonHolderFileFaults, ShortReadsGiveTheSameCodeUnitsWithFewCalls)
{
    std::u16string content;
    for (int i = 0; i < 5000; ++i)
        content.push_back(char16_t(0x100 + i));
    for (uint32_t limit : {1u, 3u, 0xFFFFFFFFu}) {
        jsontest::ScopedMemoryFiles files;
        files.contents[u"C:\\r.bin"] = utf16le(content);
        files.read_limit = limit;
        Strumien in;
        ASSERT_TRUE(in.OpenFileToRead(u"C:\\r.bin"));
        std::u16string got;
        for (size_t i = 0; i < content.size(); ++i)
            got.push_back(in.ReadWChar());
        EXPECT_EQ(got, content) << "read limit " << limit;
        EXPECT_EQ(in.ReadWChar(), 0xFFFF);
        if (limit == 0xFFFFFFFFu) {
            EXPECT_LE(files.read_calls, 3) << "one system call per code unit";
        }
    }
}

// A read may give fewer bytes than asked for without the file having ended (the system is free to
// do so): the document is loaded whole all the same.
TEST(JsonHolderFileFaults, ShortReadsLoadTheWholeDocument)
{
    const std::u16string text = u"{\"a\":[1,2,{\"b\":\"zażółć\"}],\"c\":true}";
    for (uint32_t limit : {1u, 2u, 3u, 7u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(limit);
        jsontest::ScopedMemoryFiles files;
        files.contents[u"C:\\d.json"] = utf16le(text);
        files.read_limit = limit;
        JsonHolder value;
        std::u16string status;
        ASSERT_EQ(JsonHolder::LoadFromFile(u"C:\\d.json", value, status), 0u) << text::to_utf8(status);
        EXPECT_EQ(value.ToString(), text);
        EXPECT_EQ(files.open_handles(), 0u);
    }
}

TEST(JsonHolderFileFaults, FileExistsPassesOtherErrorsOnAndLeavesTheFlag)
{
    jsontest::ScopedMemoryFiles files;
    files.stat_error = 13;
    bool flag = true;
    EXPECT_EQ(FileExists(u"C:\\zakazany", flag), 13u);
    EXPECT_TRUE(flag);
    flag = false;
    EXPECT_EQ(FileExists(u"C:\\zakazany", flag), 13u);
    EXPECT_FALSE(flag);
}

} // namespace
