// Every control character U+0000-U+001F through both writers: the device document, /gud: lists
// and accept records are the library's value's text; reports, identities, /test: answers and
// rule messages are the host value's text. Each written text holds no raw control character
// inside a string, reads back to the same text with both readers, and passes strict readers
// (Python's json and jq, where the build found them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "json/holder/json_holder.h"
#include "json/hostjson/json_node.h"
#include "text/text.h"

using ZelmUsbVardoManager::JsonHolder;

namespace {

struct Writer {
    const char* what;
    std::u16string (*write)(const std::u16string& value, const std::u16string& name);
};

std::u16string holder_text(const std::u16string& value, const std::u16string& name)
{
    JsonHolder doc = JsonHolder::CreateObject();
    doc.Add(u"k", new JsonHolder(value));
    doc.Add(name, new JsonHolder(1));
    return doc.ToString();
}

std::u16string host_text(const std::u16string& value, const std::u16string& name)
{
    CJsonNode doc;
    doc.SetString(u"k", value);
    doc.SetInt(name, 1);
    return doc.ToText(0);
}

const Writer writers[] = {
    {"library value", holder_text},
    {"host value", host_text},
};

// The host writer's line ends are its own structure; any other raw control character would be
// inside a string.
bool has_raw_control(std::u16string text)
{
    for (size_t at; (at = text.find(u"\r\n")) != std::u16string::npos;)
        text.erase(at, 2);
    for (char16_t c : text)
        if (c < 0x20) return true;
    return false;
}

std::u16string value_with(char16_t c) { return std::u16string(u"Good Mouse") + c + u"Evil"; }

TEST(ControlCharacters, EveryWriterEscapesAndBothReadersReadBack)
{
    for (const Writer& w : writers)
        for (char16_t c = 0; c < 0x20; ++c) {
            SCOPED_TRACE(std::string(w.what) + " U+00" + "0123456789ABCDEF"[c >> 4] + "0123456789ABCDEF"[c & 0xF]);
            const std::u16string value = value_with(c);
            const std::u16string name = std::u16string(u"n") + c;
            const std::u16string text = w.write(value, name);
            EXPECT_FALSE(has_raw_control(text)) << text::to_utf8(text);

            JsonHolder strict;
            std::u16string error;
            ASSERT_TRUE(JsonHolder::Parse(text, strict, error)) << text::to_utf8(error);
            EXPECT_EQ(strict[u"k"].StringVal(), value);
            EXPECT_TRUE(strict.HasField(name));

            CJsonNode lenient;
            lenient.LoadText(text);
            EXPECT_EQ(lenient.Member(u"k")->AsString(), value);
            EXPECT_TRUE(lenient.children.find(name) != lenient.children.end());
        }
}

// The device's name is the digest of its five texts in the form it always had: the other
// control characters stay raw there, so rules and records naming a device keep naming it.
TEST(ControlCharacters, ChecksumFormKeepsOtherControlsRaw)
{
    CJsonNode form;
    form.SetString(u"produkt", std::u16string(u"a\x01\tb\0c", 6));
    EXPECT_EQ(form.ToText(0, CJsonNode::Escapes::checksum_form),
              u"{\r\n    \"produkt\" : \"a\x01\\tb" + std::u16string(1, u'\0') + u"c\"\r\n}");
    EXPECT_EQ(form.ToText(0), u"{\r\n    \"produkt\" : \"a\\u0001\\tb\\u0000c\"\r\n}");
}

#if defined(ZELMUSB_PYTHON3) || defined(ZELMUSB_JQ)
} // namespace
#include <unistd.h>
namespace {

// Both writers' texts of every control character, as the UTF-8 files the suite's readers get.
std::vector<std::string> written_files()
{
    const auto dir = std::filesystem::temp_directory_path() / ("zelmusb-json-strict-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::string> files;
    for (const Writer& w : writers)
        for (char16_t c = 0; c < 0x20; ++c) {
            const auto path = dir / (std::string(w.what[0] == 'l' ? "library" : "host") + "-" + std::to_string(int(c)) + ".json");
            std::ofstream(path, std::ios::binary) << text::to_utf8(w.write(value_with(c), std::u16string(u"n") + c));
            files.push_back(path.string());
        }
    return files;
}
#endif

#ifdef ZELMUSB_PYTHON3
TEST(ControlCharacters, PythonStrictReaderAcceptsEveryText)
{
    const std::vector<std::string> files = written_files();
    std::string command = std::string(ZELMUSB_PYTHON3) +
                          " -c \"import json,sys\nfor p in sys.argv[1:]:\n  json.load(open(p, encoding='utf-8'))\"";
    for (const std::string& f : files) command += " '" + f + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove_all(std::filesystem::path(files.front()).parent_path());
}
#endif

#ifdef ZELMUSB_JQ
TEST(ControlCharacters, JqAcceptsEveryText)
{
    const std::vector<std::string> files = written_files();
    std::string command = std::string(ZELMUSB_JQ) + " -e .k";
    for (const std::string& f : files) command += " '" + f + "'";
    command += " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove_all(std::filesystem::path(files.front()).parent_path());
}
#endif

} // namespace
