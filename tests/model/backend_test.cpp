// The machine model behind each platform's own families: on Linux the native families answer from
// <root>/machine.json; on Windows the native device tree is the real one (under Wine a tree with
// no USB), whose thin wrappers must pass its answers through without a crash.
#include <chrono>

#include "model_fixture.h"
#include "platform/native.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace model_test {
namespace {

// The way the Windows build's tests run the inventory: the model installed over the platform.
TEST_F(ModelTest, InstalledWithOverrideItAnswersThePlatformFamilies)
{
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::string text = read_fixture("example.json");
    text.insert(1, "\"booted_at\": " + std::to_string(now - 120000) + ", ");
    machine(text);
    model::ModelFiles files(engine, platform::files());
    model::ModelSystem system(engine, platform::system());
    platform::Override<Devices> o1(&Platform::devices, devices);
    platform::Override<DeviceTree> o2(&Platform::devicetree, tree);
    platform::Override<Files> o3(&Platform::files, files);
    platform::Override<System> o4(&Platform::system, system);

    DevNode root = 0, child = 0;
    ASSERT_EQ(platform::devicetree().locate_root(root), cr::success);
    ASSERT_EQ(platform::devicetree().child(root, child), cr::success);
    EXPECT_EQ(platform::files().drive_type(u"E:\\"), drive::removable);
    Handle h = 0;
    ASSERT_EQ(platform::devices().open(u"\\\\.\\HCD0", access::generic_read, 7, 0, h), err::success);
    EXPECT_EQ(platform::devices().close(h), err::success);
    const uint64_t up = platform::system().tick_count64();
    EXPECT_GE(up, 120000u);
    EXPECT_LT(up, 180000u);
    const uint32_t low = platform::system().tick_count();
    EXPECT_GE(low, 120000u);
    EXPECT_LT(low, 180000u);
    // The other calls go to the wrapped family.
    Error error = 0;
    EXPECT_NE(platform::files().attributes(folder.windows(), error), attribute::invalid);
}

#ifndef _WIN32

class PosixMachineTest : public ::testing::Test {
protected:
    platform_test::FreshMachine fresh;
    void machine(const std::string& json) { write_file(fresh.root() / "machine.json", json); }
};

TEST_F(PosixMachineTest, NativeFamiliesAnswerFromTheRootsMachineFile)
{
    DeviceTree& tree = platform::devicetree();
    // Through the devices family: paths no driver serves reach the model.
    Devices& devices = platform::devices();
    DevNode root = 0, child = 0;
    ASSERT_EQ(tree.locate_root(root), cr::success);
    EXPECT_EQ(tree.child(root, child), cr::no_such_devnode) << "no file: an empty machine";
    EXPECT_EQ(platform::files().drive_type(u"E:\\"), drive::no_root_dir);

    machine(read_fixture("example.json"));
    ASSERT_EQ(tree.child(root, child), cr::success);
    EXPECT_EQ(child, 2u);
    EXPECT_EQ(platform::files().drive_type(u"E:\\"), drive::removable);
    EXPECT_EQ(platform::files().drive_type(u"C:\\"), drive::fixed);
    Handle h = 0;
    ASSERT_EQ(devices.open(u"\\\\.\\E:", access::generic_read | access::generic_write, 3, 0, h), err::success);
    uint32_t returned = 0;
    ASSERT_EQ(devices.control(h, ioctl::storage_eject_media, nullptr, 0, nullptr, 0, returned), err::success);
    EXPECT_EQ(devices.close(h), err::success);
    EXPECT_NE(platform_test::read_text_file(fresh.root() / "machine.json").find("\"ejected\": true"), std::string::npos);
    EXPECT_EQ(platform::files().drive_type(u"E:\\"), drive::no_root_dir);
    EXPECT_EQ(devices.open(u"\\\\.\\E:", access::generic_read, 3, 0, h), err::file_not_found);
}

TEST_F(PosixMachineTest, UptimeComesFromTheMachinesBootTime)
{
    System& sys = platform::system();
    const uint64_t host = sys.tick_count64();
    EXPECT_GT(host, 0u);
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    machine("{\"booted_at\": " + std::to_string(now - 90000) + "}");
    const uint64_t up = sys.tick_count64();
    EXPECT_GE(up, 90000u);
    EXPECT_LT(up, 90000u + 60000u);
    const uint32_t low = sys.tick_count();
    const uint64_t full = sys.tick_count64();
    EXPECT_LT(uint32_t(full) - low, 1000u) << "the low bits of the same count";

    // Booted 60 days ago: the 64-bit count goes on where the 32-bit one wraps.
    const int64_t days60 = int64_t(60) * 24 * 3600 * 1000;
    machine("{\"booted_at\": " + std::to_string(now - days60) + "}");
    EXPECT_GE(sys.tick_count64(), uint64_t(days60));
    EXPECT_LT(sys.tick_count(), uint64_t(days60) - (uint64_t(1) << 32) + 60000);
}

// The program ejects volumes while usbsim plugs devices, each from its own process: every edit
// of the one file must survive the other's.
TEST_F(PosixMachineTest, EditsFromTwoProcessesAreNeitherLost)
{
    constexpr int ports = 60;
    std::string m = R"({"controllers": [{"index": 0, "root_hub": {"name": "RH", "ports": 60, "devices": [)";
    for (int p = 1; p <= ports; ++p)
        m += std::string(p > 1 ? "," : "") + R"({"port": )" + std::to_string(p) + R"(, "status": 0, "node": {"id": "USB\\D\\)" +
             std::to_string(p) + R"("}})";
    m += R"(]}}], "nodes": [{"id": "SCSI\\DISK", "disk": {"number": 0, "volumes": [)";
    for (char c = 'D'; c <= 'Z'; ++c) m += std::string(c > 'D' ? "," : "") + R"({"letter": ")" + c + R"("})";
    m += "]}}]}";
    machine(m);
    model::Engine& engine = *platform::backend::native_machine();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        for (int p = 1; p <= ports; ++p) {
            std::string message;
            failures += engine.set_connected(model::PortPath{0, {uint32_t(p)}}, true, message) != 0;
        }
        ::_exit(failures);
    }
    for (char16_t c = u'D'; c <= u'Z'; ++c) EXPECT_EQ(engine.eject(c), 0u);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const model::View v = engine.view();
    ASSERT_EQ(v.error, 0u) << v.message;
    EXPECT_EQ(v.machine->hubs[0].ports.size(), size_t(ports)) << "every device plugged";
    for (const model::Volume& volume : v.machine->volumes) EXPECT_TRUE(volume.ejected) << char(volume.letter);
}

TEST_F(PosixMachineTest, BrokenFileIsReportedOnceOnTheDebugOutput)
{
    platform_test::TempFolder trace;
    const std::string trace_file = (trace.path() / "trace.txt").string();
    platform_test::ScopedEnv env("ZELMUSB_TRACE_FILE", trace_file.c_str());
    machine("{\"controllers\": 5}");
    DevNode root = 0;
    EXPECT_EQ(platform::devicetree().locate_root(root), cr::failure);
    EXPECT_EQ(platform::devicetree().locate_root(root), cr::failure);
    Handle h = 0;
    EXPECT_EQ(platform::devices().open(u"\\\\.\\ZelmUsb", access::generic_read, 7, 0, h), err::file_not_found)
        << "a driver that is not loaded is still missing";
    const std::string text = platform_test::read_text_file(trace_file);
    EXPECT_NE(text.find("machine.json: the machine file is not usable: controllers is not an array"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("machine.json", text.find("machine.json") + 1), std::string::npos) << "once: " << text;
}

#else

TEST(Win32DeviceTree, RealCallsPassTheirAnswersThrough)
{
    DeviceTree& tree = *platform::native().devicetree;
    DevNode root = 0;
    const uint32_t r = tree.locate_root(root);
    // Wine's configuration manager may have no root; whatever it says is a CONFIGRET.
    EXPECT_LT(r, 0x40u);
    if (r == cr::success) {
        uint32_t length = 0;
        EXPECT_EQ(tree.device_id_size(root, length), cr::success);
        std::u16string id;
        EXPECT_LT(tree.device_id(root, length, id), 0x40u);
        DevNode child = 0;
        EXPECT_LT(tree.child(root, child), 0x40u);
        uint32_t type = 0, size = 0;
        EXPECT_LT(tree.registry_property(root, devnode_property::device_desc, type, {}, size), 0x40u);
    }
    DevNode none = 0;
    EXPECT_LT(tree.child(0xFFFFFF, none), 0x40u);
    uint32_t type = 0, size = 4;
    EXPECT_EQ(tree.registry_property(1, devnode_property::device_desc, type, {}, size), cr::invalid_pointer);

    Handle set = 0;
    const Error e = tree.get_class_devs(model::disk_interface, digcf::present | digcf::device_interface, set);
    if (e == err::success) {
        for (uint32_t i = 0; i < 64; ++i) {
            DeviceInterface iface;
            const Error f = tree.enum_device_interfaces(set, model::disk_interface, i, iface);
            if (f) {
                EXPECT_EQ(f, err::no_more_items);
                break;
            }
            uint32_t required = 0;
            std::u16string path;
            ASSERT_EQ(tree.interface_detail(set, iface, 0, required, path), err::insufficient_buffer);
            EXPECT_GT(required, 6u);
            EXPECT_EQ(tree.interface_detail(set, iface, required, required, path), err::success);
            EXPECT_FALSE(path.empty());
        }
        DeviceInfo info;
        EXPECT_EQ(tree.enum_device_info(set, 100000, info), err::no_more_items);
        EXPECT_EQ(tree.destroy_info_list(set), err::success);
    }
}

TEST(Win32System, TickCount64CountsFromBoot)
{
    System& sys = *platform::native().system;
    const uint64_t a = sys.tick_count64();
    const uint32_t b = sys.tick_count();
    EXPECT_GT(a, 0u);
    EXPECT_LT(uint32_t(b - uint32_t(a)), 10000u);
}

#endif

} // namespace
} // namespace model_test
