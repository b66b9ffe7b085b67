// Both readers over the JSONTestSuite parsing corpus: no input may crash, hang or leak (the
// sanitizer build checks the last two), and the documents that are plainly valid for the library's
// reader must parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"
#include "memory_files.h"
#include "text/text.h"

using namespace ZelmUsbVardoManager;

namespace {

std::filesystem::path fixtures()
{
    std::string dir = ZELMUSB_FIXTURES;
#ifdef _WIN32
    // Under Wine the Unix root is drive Z:.
    if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
#endif
    return std::filesystem::path(dir) / "JSONTestSuite";
}

struct Sample {
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<Sample> corpus()
{
    std::vector<Sample> samples;
    for (const char* folder : {"test_parsing", "test_transform"}) {
        for (const auto& entry : std::filesystem::directory_iterator(fixtures() / folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            samples.push_back({entry.path().filename().string(),
                               std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})});
        }
    }
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
    return samples;
}

std::u16string as_utf8(const std::vector<uint8_t>& bytes)
{
    return text::from_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TEST(JsonTestSuite, CorpusIsPresent)
{
    const auto samples = corpus();
    EXPECT_GT(samples.size(), 300u) << fixtures().string();
}

TEST(JsonTestSuite, LibraryReaderSurvivesEveryFile)
{
    jsontest::ScopedMemoryFiles files;
    for (const auto& sample : corpus()) {
        SCOPED_TRACE(sample.name);
        // The text read as UTF-8, and the raw bytes taken as UTF-16LE code units, both in memory
        // and through a file (the odd final byte of the latter included).
        const std::u16string decoded = as_utf8(sample.bytes);
        for (const std::u16string& input : {decoded, text::from_utf16le(sample.bytes)}) {
            JsonHolder result;
            std::u16string error;
            if (JsonHolder::Parse(input, result, error)) {
                // What parsed can be written, copied and written again the same way.
                const std::u16string written = result.ToString();
                JsonHolder copy(result);
                EXPECT_EQ(copy.ToString(), written);
            } else {
                EXPECT_FALSE(error.empty());
            }
        }
        files.contents[u"C:\\raw.json"] = sample.bytes;
        files.contents[u"C:\\text.json"] = text::to_utf16le(decoded);
        for (const char16_t* path : {u"C:\\raw.json", u"C:\\text.json"}) {
            JsonHolder result;
            std::u16string status;
            const uint32_t code = JsonHolder::LoadFromFile(path, result, status);
            EXPECT_TRUE(code == 0 || code == 30) << code;
            EXPECT_EQ(code == 0, status.empty());
        }
        EXPECT_EQ(files.open_handles(), 0u);
    }
}

// A text in memory is read in one piece when it is plainly one container, by the same reader as a
// file otherwise: both must give the same value, or the same error, for every input.
TEST(JsonTestSuite, MemoryAndFileReadTheSame)
{
    jsontest::ScopedMemoryFiles files;
    std::vector<std::u16string> inputs = {
        u"{\"b\":1,\"a\":{\"y\":[1,2],\"x\":\"\\u0041\\n\"},\"c\":true}",
        u"{\"a\":1,\"b\":2,\"a\":3}", u"{\"b\":1,\"a\":2,\"b\":3}", u"{\"a\":1,\"a\":1}",
        u"{\"\\u0061\":1,\"a\":2}", u"{\"\":1}", u"{\"a\"1}", u"{\"a\":}", u"{,}", u"{\"a\":1,}",
        u"[1,]", u"[,1]", u"[1 2]", u"[1,,2]", u"[\"a\"\"b\"]", u"[\"a\" ,\"b\" ]", u"[1}", u"{\"a\":1]",
        u"[tru]", u"[nulll]", u"[true false]", u"[truefalse]", u"[-]", u"[1-2]", u"[1.2.3e]", u"[01]", u"[1+2]",
        u"[1e5,-0,123456789012345678]", u"[\"a\nb\",\"\n\"]", u"[\"\\ud834\\udd1e\"]", u"[\"\\ud834x\"]",
        u"[\"\\x\"]", u"[\"\\u12\"]", u"[\"abc", u"[\"abc\\", u"[[[]]", u"[]]", u"[] x", u"[]{}", u"  [ ]  ",
        u"\n{\n\"a\"\n:\n[\n1\n,\n2\n]\n}\n", u"[\"\u00e9\u0000\"]", u"[1\t]", u"[null\r\n]", u"[{}{}]",
    };
    for (const auto& sample : corpus()) {
        inputs.push_back(as_utf8(sample.bytes));
        inputs.push_back(text::from_utf16le(sample.bytes));
    }
    for (const std::u16string& input : inputs) {
        SCOPED_TRACE(text::to_utf8(input).substr(0, 200));
        JsonHolder from_memory;
        std::u16string error;
        const bool parsed = JsonHolder::Parse(input, from_memory, error);
        files.contents[u"C:\\same.json"] = text::to_utf16le(input);
        JsonHolder from_file;
        std::u16string status;
        const uint32_t code = JsonHolder::LoadFromFile(u"C:\\same.json", from_file, status);
        ASSERT_EQ(parsed, code == 0) << text::to_utf8(error) << " / " << text::to_utf8(status);
        if (parsed) {
            EXPECT_EQ(from_memory.ToString(), from_file.ToString());
        } else {
            EXPECT_EQ(error + u" plik: C:\\same.json", status);
        }
    }
}

TEST(JsonTestSuite, HostReaderSurvivesEveryFile)
{
    for (const auto& sample : corpus()) {
        SCOPED_TRACE(sample.name);
        for (int fractional : {0, 1}) {
            CJsonNode node;
            node.fractionalNumbers = fractional;
            EXPECT_TRUE(node.LoadText(as_utf8(sample.bytes)));
            // Its own text is read again as well. (It need not give the same document: names
            // are written unescaped, and an array at the root is wrapped once more.)
            CJsonNode again;
            EXPECT_TRUE(again.LoadText(node.ToText(0)));
        }
    }
}

// Valid documents with an object or an array at the root and no "+" in an exponent.
bool plainly_valid(const Sample& sample)
{
    if (sample.name.rfind("y_", 0) != 0) return false;
    const std::string text(sample.bytes.begin(), sample.bytes.end());
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || (text[first] != '{' && text[first] != '[')) return false;
    return text.find("e+") == std::string::npos && text.find("E+") == std::string::npos;
}

TEST(JsonTestSuite, PlainlyValidDocumentsParse)
{
    // Valid JSON that this reader refuses by design: an object may not repeat a member name, nor
    // have an empty one.
    const std::map<std::string, std::string> refused = {
        {"y_object_duplicated_key.json", "Pole obiektu o wskazanej nazwie już istnieje"},
        {"y_object_duplicated_key_and_value.json", "Pole obiektu o wskazanej nazwie już istnieje"},
        {"y_object_empty_key.json", "Linia=1 Kolumna=4 Nazwa pola nie może być pusta"},
    };
    size_t checked = 0;
    for (const auto& sample : corpus()) {
        if (!plainly_valid(sample)) continue;
        ++checked;
        JsonHolder result;
        std::u16string error;
        const bool ok = JsonHolder::Parse(as_utf8(sample.bytes), result, error);
        auto it = refused.find(sample.name);
        if (it == refused.end()) {
            EXPECT_TRUE(ok) << sample.name << ": " << text::to_utf8(error);
            EXPECT_TRUE(result.GetTyp() == JsonHolderType::Array || result.GetTyp() == JsonHolderType::Object)
                << sample.name;
        } else {
            EXPECT_FALSE(ok) << sample.name;
            EXPECT_EQ(text::to_utf8(error), it->second) << sample.name;
        }
    }
    EXPECT_GT(checked, 70u); // the filter must not have emptied the set
}

TEST(JsonTestSuite, ValuesOfValidDocuments)
{
    struct Case {
        const char* file;
        std::u16string written;
    };
    const Case cases[] = {
        {"y_string_accepted_surrogate_pair.json", u"[\"\U00010437\"]"},
        {"y_string_uEscape.json", u"[\"a\u30af\u30ea\u30b9\"]"},
        {"y_string_allowed_escapes.json", u"[\"\\\"\\\\/\\b\\f\\n\\r\\t\"]"},
        {"y_string_nonCharacterInUTF-8_U+10FFFF.json", u"[\"\U0010FFFF\"]"},
        {"y_number_real_capital_e_neg_exp.json", u"[0.01]"},
        {"y_number.json", u"[1.23E+067]"},
        {"y_array_heterogeneous.json", u"[null,1,\"1\",{}]"},
        {"y_object_escaped_null_in_key.json", u"{\"foo\\u0000bar\":42}"},
    };
    const auto dir = fixtures() / "test_parsing";
    for (const auto& c : cases) {
        std::ifstream in(dir / c.file, std::ios::binary);
        const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        JsonHolder result;
        std::u16string error;
        ASSERT_TRUE(JsonHolder::Parse(as_utf8(bytes), result, error)) << c.file << ": " << text::to_utf8(error);
        EXPECT_EQ(result.ToString(), c.written) << c.file;
    }
}

} // namespace
