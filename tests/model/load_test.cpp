// Loading machine files: what is refused and how it shows, the empty machine, reloading.
#include "model_fixture.h"
#include "platform/model/json_text.h"

namespace model_test {
namespace {

// A broken machine answers nothing: no device opens, the tree has no root, no drive letters.
void expect_broken(ModelTest& t, model::Engine& engine, model::ModelDevices& devices, model::ModelDeviceTree& tree,
                   const std::string& why_contains)
{
    const model::View v = engine.view();
    EXPECT_EQ(v.error, err::invalid_data);
    EXPECT_NE(v.message.find(why_contains), std::string::npos) << v.message;
    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\HCD0", access::generic_read, 7, 0, h), err::invalid_data);
    EXPECT_EQ(devices.open(u"\\\\.\\e:", access::generic_read, 7, 0, h), err::invalid_data);
    EXPECT_EQ(devices.open(u"\\\\.\\ZelmUsb", access::generic_read, 7, 0, h), err::file_not_found)
        << "a driver's device that is not there is still missing";
    DevNode root = 0;
    EXPECT_EQ(tree.locate_root(root), cr::failure);
    Handle set = 0;
    EXPECT_EQ(tree.get_class_devs(model::disk_interface, digcf::present | digcf::device_interface, set), err::invalid_data);
    EXPECT_EQ(model::drive_type_of(v, u"E:\\"), drive::no_root_dir);
    (void)t;
}

std::string nested_hubs(int tiers)
{
    std::string s = R"({"controllers": [{"index": 0, "root_hub": {"name": "H1", "ports": 1, "devices": [)";
    std::string close = "]}}]}";
    for (int i = 2; i <= tiers; ++i) {
        s += R"({"port": 1, "node": {"id": "USB\\HUB\\)" + std::to_string(i) + R"("}, "hub": {"name": "H)" +
             std::to_string(i) + R"(", "ports": 1, "devices": [)";
        close = "]}}" + close;
    }
    return s + close;
}

TEST_F(ModelTest, BadMachineFilesAreRefusedWithAReason)
{
    const std::string example_text = read_fixture("example.json");
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"garbage", "\x01\xff garbage {", "line 1, column 1"},
        {"truncated", example_text.substr(0, example_text.size() / 2), "line "},
        {"not an object", "[1, 2]", "not a JSON object"},
        {"hub loop: a hub on its own port", R"({"controllers": [{"index": 0, "root_hub": {"name": "USB#A", "ports": 1,
            "devices": [{"port": 1, "node": {"id": "USB\\X\\1"}, "hub": {"name": "usb#a", "ports": 1}}]}}]})",
         "loop"},
        {"hubs deeper than USB allows", nested_hubs(8), "deeper"},
        {"nesting without end", std::string(100000, '[') + std::string(100000, ']'), "too deep"},
        {"controller index twice", R"({"controllers": [{"index": 1}, {"index": 1}]})", "twice"},
        {"drive letter twice", R"({"nodes": [{"id": "A", "disk": {"number": 0, "volumes": [{"letter": "E"}]}},
            {"id": "B", "disk": {"number": 1, "volumes": [{"letter": "e"}]}}]})", "twice"},
        {"port past the hub's ports", R"({"controllers": [{"index": 0, "root_hub": {"name": "R", "ports": 2, "devices": [{"port": 3}]}}]})",
         "port"},
        {"short device descriptor", R"({"controllers": [{"index": 0, "root_hub": {"name": "R", "ports": 2, "devices": [{"port": 1, "device": "12 01"}]}}]})",
         "18 bytes"},
        {"odd hex digits", R"({"controllers": [{"index": 0, "root_hub": {"name": "R", "ports": 2, "devices": [{"port": 1, "configs": ["09 0"]}]}}]})",
         "odd"},
        {"unknown fault", R"({"controllers": [{"index": 0, "root_hub": {"name": "R", "ports": 2, "devices": [{"port": 1, "faults": ["melts"]}]}}]})",
         "fault"},
        {"node without id", R"({"nodes": [{"props": {}}]})", "id"},
        {"bad GUID", R"({"nodes": [{"id": "A", "props": {"BUSTYPEGUID": "{nope}"}}]})", "GUID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine(c.text);
        expect_broken(*this, engine, devices, tree, c.reason);
    }

    // 50 MB: refused by its size before it is read whole.
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "{\"nodes\": [";
        const std::string node = R"({"id": "X\\1"},)";
        for (size_t n = 0; n < 50u * 1024 * 1024 / node.size(); ++n) out << node;
        out << R"({"id": "X\\2"}]})";
    }
    expect_broken(*this, engine, devices, tree, "larger than");

    // Mended, the machine answers again.
    example();
    EXPECT_EQ(engine.view().error, 0u);
    DevNode root = 0;
    EXPECT_EQ(tree.locate_root(root), cr::success);
}

TEST_F(ModelTest, HubsNestedAsDeepAsUsbAllowsAreAnswered)
{
    machine(nested_hubs(7));
    EXPECT_EQ(engine.view().error, 0u) << engine.view().message;
    open(u"\\\\.\\H7");
}

TEST_F(ModelTest, NoFileIsAnEmptyMachine)
{
    DevNode root = 0, none = 0;
    ASSERT_EQ(tree.locate_root(root), cr::success);
    EXPECT_EQ(tree.child(root, none), cr::no_such_devnode);
    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\HCD0", access::generic_read, 7, 0, h), err::file_not_found);
    Handle set = 0;
    ASSERT_EQ(tree.get_class_devs(model::disk_interface, digcf::present | digcf::device_interface, set), err::success);
    DeviceInfo info;
    EXPECT_EQ(tree.enum_device_info(set, 0, info), err::no_more_items);
    EXPECT_EQ(tree.destroy_info_list(set), err::success);
}

TEST_F(ModelTest, ChangesToTheFileAreSeenAlsoWithinOneClockTick)
{
    // Same size, written at once: only the bytes differ.
    machine(R"({"controllers": [{"index": 1, "root_hub": {"name": "A", "ports": 1}}]})");
    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\HCD2", 0, 7, 0, h), err::file_not_found);
    machine(R"({"controllers": [{"index": 2, "root_hub": {"name": "A", "ports": 1}}]})");
    EXPECT_EQ(devices.open(u"\\\\.\\HCD2", 0, 7, 0, h), err::success);
    std::filesystem::remove(file);
    EXPECT_EQ(devices.open(u"\\\\.\\HCD2", 0, 7, 0, h), err::file_not_found);
}

TEST(ModelJsonText, ReaderKeepsTextsAndPositions)
{
    using model::json::Value;
    Value v;
    std::string error;
    ASSERT_TRUE(model::json::parse("\xEF\xBB\xBF {\"a\": [1, -2.5e1, true, null], \"s\": \"\\u00e9\xC5\x82\\ud83d\\ude00\\u0000\"}",
                                   v, error))
        << error;
    const Value* a = v.find("a");
    ASSERT_TRUE(a && a->is_array());
    EXPECT_EQ(a->items[1].number, -25);
    EXPECT_EQ(a->begin, 10u);
    EXPECT_EQ(a->end, 33u);
    EXPECT_EQ(v.find("s")->text, std::u16string(u"\u00e9\u0142\U0001F600\0", 5));

    struct Case {
        const char* text;
        const char* error;
    };
    for (const Case c : {Case{"{\"a\" 1}", "expected ':'"}, {"[1,]", "unexpected character"}, {"\"a\x01\"", "control"},
                         {"\"\xC0\xAF\"", "UTF-8"}, {"1e999", "range"}, {"[01]", "expected ','"}, {"{} {}", "after"},
                         {"\"\\x\"", "escape"}, {"\"\xE2\x82\"", "UTF-8"}, {"", "end"}}) {
        EXPECT_FALSE(model::json::parse(c.text, v, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

} // namespace
} // namespace model_test
