// The suite's Linux menu and monitor on a running machine (a umockdev testbed in place of /sys),
// protected by the real program and zelmusb.sys: a device no rule decides is put to the desktop's
// user, the user allows it through the notification, the device is admitted (`authorized` 1), the
// monitor keeps the answer as a rule in the settings file and the program reads it, and the device
// plugged again is admitted by that rule without a question.
//
// The desktop is a private session bus of the user nobody that admits nobody else, with Debian's
// python3-dbusmock notification server on it: what it shows came with that user's rights.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "../sysfs/testbed.h"
#include "e2e_machine.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* device_descriptors =
    "12 01 10 01 00 00 00 08 33 33 44 44 00 01 01 02 03 01 09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 "
    "21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a";
constexpr uid_t nobody = 65534;

bool eventually(const std::function<bool()>& check, std::chrono::milliseconds limit = 20s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!check()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class Peers : public sysfs_test::Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        if (HasFatalFailure()) return;
        if (::geteuid() != 0) GTEST_SKIP() << "the menu drops to another user's rights, which takes root";
        controller();
        usb({"usb1", sysfs_test::example_devices()[0].descriptors,
             {{"maxchild", "8"}, {"speed", "480"}, {"authorized_default", "1"}}, {}},
            1);
        machine_ = std::make_unique<e2e::Machine>("peers");

        // The desktop: a folder nobody may pass through, the bus's own folder nobody's.
        char scratch[] = "/tmp/zelmusb-desktop-XXXXXX";
        ASSERT_NE(::mkdtemp(scratch), nullptr);
        desktop_ = scratch;
        ::chmod(scratch, 0711);
        fs::create_directory(desktop_ / "bus");
        ASSERT_EQ(::chown((desktop_ / "bus").c_str(), nobody, nobody), 0);
        address_ = "unix:path=" + (desktop_ / "bus" / "socket").string();
        std::ofstream(desktop_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>session</type>"
               "<listen>" << address_ << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow user=\"nobody\"/><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        log_ = desktop_ / "bus" / "notifications.log";
        ASSERT_NE(as_nobody({"dbus-daemon", "--config-file=" + (desktop_ / "bus.conf").string(), "--nofork"}), 0u);
        ASSERT_TRUE(eventually([&] { return fs::exists(desktop_ / "bus" / "socket"); }, 10s));
        ASSERT_NE(as_nobody({"env", "DBUS_SESSION_BUS_ADDRESS=" + address_, "/usr/bin/python3", "-m", "dbusmock",
                             "--template", "notification_daemon", "-l", log_.string()}),
                  0u);
        ASSERT_TRUE(eventually([&] { return gdbus("org.freedesktop.Notifications.GetServerInformation") == 0; }, 20s));

        settings_ = machine_->folder() / "etc" / "cfg.json";
        fs::create_directories(settings_.parent_path());
        std::ofstream(settings_) << R"({"usb":{"active":1,"action":2,"allow_initial":0,"rules":[[{"produkt":"Keyboard"},1]]}})";
        ASSERT_NE(machine_->start_path(fs::path(ZELMUSB_PEERS) / "halvarmon.exe", {u"--settings", text(settings_)}), 0u);
        ASSERT_NE(machine_->start_path(fs::path(ZELMUSB_PEERS) / "halvarmenu.exe",
                                       {u"--session", u"65534:" + text(address_), u"--answer-limit-ms", u"30000"}),
                  0u);
        ASSERT_TRUE(eventually([&] { return count("listener [") >= 2; })) << machine_->trace();
    }

    void TearDown() override
    {
        machine_.reset();
        std::error_code ec;
        if (!desktop_.empty()) fs::remove_all(desktop_, ec);
        Testbed::TearDown();
    }

    static std::u16string text(const fs::path& p) { return std::u16string(p.u16string()); }
    static std::u16string text(const std::string& s) { return fs::path(s).u16string(); }

    uint32_t as_nobody(const std::vector<std::string>& command)
    {
        std::vector<std::u16string> args{u"--reuid=65534", u"--regid=65534", u"--clear-groups"};
        for (const std::string& a : command) args.push_back(text(a));
        return machine_->start_path("/usr/bin/setpriv", args);
    }

    int gdbus(const std::string& method, const std::string& args = "")
    {
        const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups env DBUS_SESSION_BUS_ADDRESS='" +
                                    address_ + "' gdbus call --session --dest org.freedesktop.Notifications "
                                               "--object-path /org/freedesktop/Notifications --method " +
                                    method + " " + args + " >/dev/null 2>&1";
        return std::system(command.c_str());
    }

    // The notifications the server was asked to show.
    size_t notifications() const
    {
        const std::string log = e2e::read_file(log_);
        size_t n = 0;
        for (size_t at = log.find(" Notify \"zelmarusb\""); at != std::string::npos;
             at = log.find(" Notify \"zelmarusb\"", at + 1))
            ++n;
        return n;
    }

    void plug(const std::string& name, const std::string& product, const std::string& serial)
    {
        const std::string h = hex(device_descriptors);
        add("P: " + path_of(name) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=" +
            std::to_string(next_devnum_++) + "\nH: descriptors=" + h +
            "\nA: authorized=0\nA: speed=12\nA: bConfigurationValue=1\nA: manufacturer=Gizmo\nA: product=" + product +
            "\nA: serial=" + serial + "\nA: idVendor=3333\nA: idProduct=4444\nA: bDeviceClass=00\n");
    }

    size_t count(const std::string& what) const
    {
        const std::string t = machine_->trace();
        size_t n = 0;
        for (size_t at = t.find(what); at != std::string::npos; at = t.find(what, at + 1)) ++n;
        return n;
    }

    std::unique_ptr<e2e::Machine> machine_;
    fs::path desktop_, log_, settings_;
    std::string address_;
    uint32_t next_devnum_ = 2;
};

TEST_F(Peers, AllowedOnTheDesktopThenByTheStoredRule)
{
    const uint32_t program = machine_->start(e2e::Program::zelmarusb, {u"/start"});
    ASSERT_NE(program, 0u);
    ASSERT_TRUE(machine_->trace_has("User mode enable done.", 60s)) << machine_->trace();

    plug("1-2", "Gadget", "G-3");
    ASSERT_TRUE(eventually([&] { return notifications() == 1; })) << machine_->trace();
    const std::string shown = e2e::read_file(log_);
    EXPECT_NE(shown.find("Gizmo Gadget"), std::string::npos) << shown;
    EXPECT_NE(shown.find("G-3"), std::string::npos) << shown;
    EXPECT_NE(shown.find("[\"allow\", \"Allow\", \"block\", \"Block\"]"), std::string::npos) << shown;
    EXPECT_EQ(authorized("1-2"), "0") << "held while the user is asked";
    ASSERT_EQ(gdbus("org.freedesktop.DBus.Mock.EmitSignal",
                    "org.freedesktop.Notifications ActionInvoked us '[<uint32 1>, <\"allow\">]'"),
              0);
    EXPECT_TRUE(becomes("1-2", "1")) << machine_->trace();

    // The answer kept as a rule, first, and read by the program.
    const std::regex rule(R"re("rules" : \[\s*\[\s*\{[^}]*"numer" : "=G-3"[^}]*"produkt" : "=Gadget"[^}]*\},\s*1\s*\],)re");
    ASSERT_TRUE(eventually([&] { return std::regex_search(e2e::read_file(settings_), rule); }))
        << e2e::read_file(settings_);
    ASSERT_TRUE(machine_->trace_has("rules      : 2", 20s)) << machine_->trace();

    // Plugged again: admitted by the rule, nobody asked.
    remove("1-2");
    std::this_thread::sleep_for(200ms);
    plug("1-2", "Gadget", "G-3");
    EXPECT_TRUE(becomes("1-2", "1")) << machine_->trace();
    ASSERT_TRUE(eventually([&] { return count("Verdict allow=") >= 2; })) << machine_->trace();
    const std::string trace = machine_->trace();
    const size_t last = trace.rfind("Verdict allow=");
    EXPECT_NE(trace.find("decided by main rule 1", last), std::string::npos) << trace.substr(last, 300);
    EXPECT_EQ(notifications(), 1u);
}

} // namespace
