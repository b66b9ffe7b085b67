// zelmusbctl as the administrator runs it, on a running machine (a umockdev testbed in place of
// /sys) protected by the real program and zelmusb.sys: status for each way protection is off,
// list and why of devices decided, held and present before, allow and block through the driver,
// the permanent rule that survives a re-plug and a restart, reload, generate, watch, and the
// refusal of every changing command to another user than root (nobody).
//
// The programs run from the build tree (the installed layout waits for the install prefix to be
// settable for a scratch folder).
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../sysfs/testbed.h"
#include "e2e_machine.h"

namespace {

using namespace std::chrono_literals;
using sysfs_test::example_devices;

// A full-speed HID device (vendor 3333, product 4444); its strings are the test's.
constexpr const char* device_descriptors =
    "12 01 10 01 00 00 00 08 33 33 44 44 00 01 01 02 03 01 09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 "
    "21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a";
// The same without a serial number string (iSerialNumber 0).
constexpr const char* no_serial_descriptors =
    "12 01 10 01 00 00 00 08 33 33 55 55 00 01 01 02 00 01 09 02 22 00 01 01 00 a0 32 09 04 00 00 01 03 01 01 00 09 "
    "21 11 01 00 01 22 3f 00 07 05 81 03 08 00 0a";

struct CtlRun {
    int exit_code = -1;
    std::string out, err;
};

class Ctl : public sysfs_test::Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        if (HasFatalFailure()) return;
        controller();
        usb({"usb1", example_devices()[0].descriptors,
             {{"maxchild", "8"}, {"speed", "480"}, {"authorized_default", "1"}}, {}},
            1);
        // Present before protection: admitted by the kernel, never decided.
        plug("1-1", "Present Keyboard", "P-1", device_descriptors, "1");
        machine_ = std::make_unique<e2e::Machine>("ctl");
    }

    void TearDown() override
    {
        if (watcher_ > 0) {
            ::kill(-watcher_, SIGKILL);
            ::waitpid(watcher_, nullptr, 0);
        }
        machine_.reset();
        Testbed::TearDown();
    }

    // A device as the kernel announces it, with `authorized` as given (0: held by the hub).
    void plug(const std::string& name, const std::string& product, const std::string& serial,
              const char* descriptors = device_descriptors, const char* authorized = "0")
    {
        const std::string h = hex(descriptors);
        add("P: " + path_of(name) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: devnum=" +
            std::to_string(next_devnum_++) + "\nH: descriptors=" + h + "\nA: authorized=" + authorized +
            "\nA: speed=12\nA: bConfigurationValue=1\nA: manufacturer=Acme\nA: product=" + product +
            (serial.empty() ? "" : "\nA: serial=" + serial) + "\nA: idVendor=" + h.substr(18, 2) + h.substr(16, 2) +
            "\nA: idProduct=" + h.substr(22, 2) + h.substr(20, 2) + "\nA: bDeviceClass=00\n");
    }


    std::filesystem::path settings_file() const
    {
        return machine_->all_users_profile() / "halvar" / "cfg" / "cfg.json";
    }
    void settings(const std::string& json) { e2e::write_file(settings_file(), json); }

    // zelmusbctl with `args`, as root or as nobody, to its end.
    CtlRun ctl(const std::vector<std::string>& args, bool as_nobody = false)
    {
        const std::string out = (machine_->folder() / "ctl.out").string();
        const std::string err = (machine_->folder() / "ctl.err").string();
        const pid_t pid = spawn(args, as_nobody, out, err);
        CtlRun r;
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "zelmusbctl did not end";
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = e2e::read_file(out);
        r.err = e2e::read_file(err);
        return r;
    }

    // Waits (at most 10 s) until process `pid` holds `file` open at its end: a follower that has
    // not got there yet would miss the lines written meanwhile.
    static bool follows(pid_t pid, const std::filesystem::path& file)
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        for (int tries = 0; tries < 1000; ++tries) {
            const fs::path wanted = fs::weakly_canonical(file, ec);
            const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
            for (const fs::directory_entry& fd : fs::directory_iterator(fds, ec)) {
                if (fs::read_symlink(fd.path(), ec) != wanted) continue;
                const std::string info = e2e::read_file("/proc/" + std::to_string(pid) + "/fdinfo/" +
                                                        fd.path().filename().string());
                const size_t at = info.find("pos:");
                const uintmax_t size = fs::file_size(file, ec);
                if (at != std::string::npos && !ec && std::stoull(info.substr(at + 4)) == size) return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    pid_t spawn(const std::vector<std::string>& args, bool as_nobody, const std::string& out, const std::string& err,
                int input = -1)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A group of its own, so that what it starts (watch --ask runs itself as the menu) ends with it.
            ::setpgid(0, 0);
            if (input >= 0) ::dup2(input, 0);
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (as_nobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(99);
            std::vector<char*> argv{const_cast<char*>(ZELMUSB_CTL)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(ZELMUSB_CTL, argv.data());
            ::_exit(127);
        }
        return pid;
    }

    void start_program()
    {
        program_ = machine_->start(e2e::Program::zelmarusb, {u"/start"});
        ASSERT_NE(program_, 0u);
        ASSERT_TRUE(machine_->trace_has("User mode enable done.", 60s)) << machine_->trace();
    }
    void stop_program()
    {
        const uint32_t stopper = machine_->start(e2e::Program::zelmarusb, {u"/stop"});
        ASSERT_TRUE(machine_->ended_within(stopper, 15s));
        ASSERT_TRUE(machine_->ended_within(program_, 40s)) << machine_->trace();
    }
    // The number of trace lines holding `text`.
    size_t count(const std::string& text) const
    {
        const std::string t = machine_->trace();
        size_t n = 0;
        for (size_t at = t.find(text); at != std::string::npos; at = t.find(text, at + 1)) ++n;
        return n;
    }
    bool verdicts_reach(size_t n, std::chrono::milliseconds limit = 20s) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count("Verdict allow=") < n) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    static bool root() { return ::geteuid() == 0; }

    std::unique_ptr<e2e::Machine> machine_;
    uint32_t program_ = 0;
    pid_t watcher_ = -1;
    uint32_t next_devnum_ = 2;
};

const char* const good_settings =
    R"({"usb":{"active":1,"action":0,"allow_initial":0,"rules":[[{"produkt":"Allowed"},1]]}})";

TEST_F(Ctl, StatusSaysWhyProtectionIsOff)
{
    struct Case {
        const char* what;
        const char* settings; // nullptr: no settings file
        const char* why;
    };
    const Case off[] = {
        {"no settings file", nullptr, "the policy is off: no settings file"},
        {"\"USB\" for \"usb\"", R"({"USB":{"active":1}})", "has no object \"usb\""},
        {"\"active\": true", R"({"usb":{"active":true}})", "\"active\" reads as 0"},
        {"\"active\" left out", R"({"usb":{"action":0}})", "\"active\" reads as 0"},
        {"a file that does not parse", "not json at all", "does not parse"},
        {"the program not running", good_settings, "zelmarusb /start is not running"},
        {"the driver not running", good_settings, "the driver is not running"},
    };
    for (const Case& c : off) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        std::filesystem::remove(settings_file(), ec);
        if (c.settings) settings(c.settings);
        const CtlRun r = ctl({"status"});
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("protection: OFF"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
    }

    start_program();
    CtlRun on = ctl({"status"});
    EXPECT_EQ(on.exit_code, 0) << on.out << on.err;
    EXPECT_NE(on.out.find("protection: on"), std::string::npos) << on.out;
    EXPECT_NE(on.out.find("hubs held: 1"), std::string::npos) << on.out;
    EXPECT_NE(on.out.find("program: zelmarusb /start is running"), std::string::npos) << on.out;

    // Another user cannot ask the driver: not protected as far as it can tell, and it says why.
    if (root()) {
        const CtlRun other = ctl({"status"}, true);
        EXPECT_EQ(other.exit_code, 1) << other.out << other.err;
        EXPECT_NE(other.out.find("only root may ask it"), std::string::npos) << other.out;
    }

    // /stop leaves the driver holding, with nobody to ask.
    stop_program();
    const CtlRun stopped = ctl({"status"});
    EXPECT_EQ(stopped.exit_code, 1);
    EXPECT_NE(stopped.out.find("no program is registered with the driver"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("zelmarusb /start is not running"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("hubs held: 1"), std::string::npos) << stopped.out;

    // A device plugged meanwhile waits, held; allowed now, it is not asked when the program comes.
    plug("1-5", "Waiting Stick", "S-5");
    const auto end = std::chrono::steady_clock::now() + 10s;
    CtlRun list;
    do {
        std::this_thread::sleep_for(50ms);
        list = ctl({"list"});
    } while (list.out.find("held: no program registered") == std::string::npos &&
             std::chrono::steady_clock::now() < end);
    EXPECT_NE(list.out.find("1-5 3333:4444 \"Acme\" \"Waiting Stick\""), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("held: no program registered"), std::string::npos) << list.out;
    EXPECT_NE(ctl({"status"}).out.find("devices waiting: 0 for a verdict, 1 for the program or for room"),
              std::string::npos);
    const CtlRun allow = ctl({"allow", "1-5"});
    EXPECT_EQ(allow.exit_code, 0) << allow.err;
    EXPECT_EQ(authorized("1-5"), "1");
    start_program();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(machine_->trace().find("Waiting Stick"), std::string::npos) << machine_->trace();
    EXPECT_EQ(authorized("1-5"), "1");
    EXPECT_NE(ctl({"list"}).out.find(": allowed by the administrator"), std::string::npos);
}

TEST_F(Ctl, ListWhyAllowBlockAndTheirRefusals)
{
    if (!root()) GTEST_SKIP() << "needs root, to run the other user as nobody";
    settings(good_settings);
    start_program();
    // Every verdict as it happens.
    watcher_ = spawn({"watch", (machine_->folder() / "trace.txt").string()}, false,
                     (machine_->folder() / "watch.out").string(), (machine_->folder() / "watch.err").string());
    ASSERT_TRUE(follows(watcher_, machine_->folder() / "trace.txt")) << e2e::read_file(machine_->folder() / "watch.err");
    plug("1-2", "Stick Blocked", "S-2");
    plug("1-3", "Allowed Mouse", "S-3");
    ASSERT_TRUE(verdicts_reach(2)) << machine_->trace();
    ASSERT_TRUE(becomes("1-3", "1"));
    EXPECT_EQ(authorized("1-2"), "0");

    CtlRun list = ctl({"list"});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    const auto line_of = [](const std::string& out, const std::string& port) {
        const size_t at = out.find(port + " 3333:4444");
        return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
    };
    EXPECT_NE(line_of(list.out, "1-1").find("not decided (present before protection)"), std::string::npos) << list.out;
    EXPECT_NE(line_of(list.out, "1-2").find(": blocked by its verdict; settings now: block, default action 0"),
              std::string::npos) << list.out;
    EXPECT_NE(line_of(list.out, "1-3").find(": allowed by its verdict; settings now: allow, main rule 1"),
              std::string::npos) << list.out;
    EXPECT_NE(line_of(list.out, "1-2").find("\"Acme\" \"Stick Blocked\" serial \"S-2\""), std::string::npos)
        << list.out;

    CtlRun json = ctl({"list", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    for (const char* field : {"\"port\" : \"1-2\"", "\"vendor_id\" : \"3333\"", "\"product_id\" : \"4444\"",
                              "\"state\" : \"blocked\"", "\"state\" : \"allowed\"", "\"state\" : \"undecided\"",
                              "\"decided_by\" : \"verdict\"", "\"serial\" : \"S-3\"", "\"verdict\" : \"block\"",
                              "\"list\" : \"main\""})
        EXPECT_NE(json.out.find(field), std::string::npos) << field << "\n" << json.out;

    const CtlRun why = ctl({"why", "S-2"});
    EXPECT_EQ(why.exit_code, 0) << why.err;
    EXPECT_NE(why.out.find("state: blocked by its verdict"), std::string::npos) << why.out;
    EXPECT_NE(why.out.find("its last verdict in the trace: blocked by default action 0 (no rule)"), std::string::npos)
        << why.out;
    EXPECT_NE(why.out.find("block, decided by default action 0 (no rule)"), std::string::npos) << why.out;

    // The changing commands are root's: nothing changes for anyone else.
    const std::string settings_before = e2e::read_file(settings_file());
    struct Refused {
        std::vector<std::string> args;
    };
    const Refused refused[] = {{{"allow", "1-2"}}, {{"block", "1-3"}}, {{"allow", "1-2", "--permanent"}},
                               {{"reload"}},      {{"generate", "--write"}}};
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.args[0]);
        const CtlRun n = ctl(r.args, true);
        EXPECT_EQ(n.exit_code, 1) << n.out << n.err;
        EXPECT_NE(n.err.find("only root may change the protection"), std::string::npos) << n.err;
    }
    EXPECT_EQ(authorized("1-2"), "0");
    EXPECT_EQ(authorized("1-3"), "1");
    EXPECT_EQ(e2e::read_file(settings_file()), settings_before);

    // Wrong names and wrong use.
    struct Wrong {
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const Wrong wrong[] = {
        {{"allow", "1-9"}, 1, "no device present is named 1-9"},
        {{"allow", "3333:4444"}, 1, "3333:4444 names 3 devices; name one by its port"},
        {{"allow"}, 2, "usage: zelmusbctl allow <device>"},
        {{"allow", "1-2", "--now"}, 2, "unknown option --now"},
        {{"allow", "1-2", "--model-wide"}, 2, "usage: zelmusbctl allow"},
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{"check", "a", "b"}, 2, "usage: zelmusbctl check"},
    };
    for (const Wrong& w : wrong) {
        SCOPED_TRACE(w.args[0] + (w.args.size() > 1 ? " " + w.args[1] : ""));
        const CtlRun r = ctl(w.args);
        EXPECT_EQ(r.exit_code, w.exit_code) << r.out << r.err;
        EXPECT_NE(r.err.find(w.says), std::string::npos) << r.err;
    }
    const CtlRun ambiguous = ctl({"why", "3333:4444"});
    for (const char* port : {"  1-1 ", "  1-2 ", "  1-3 "}) EXPECT_NE(ambiguous.err.find(port), std::string::npos);

    // Allowed through the driver: the kernel's state and the list agree.
    const CtlRun allow = ctl({"allow", "1-2"});
    EXPECT_EQ(allow.exit_code, 0) << allow.err;
    EXPECT_EQ(authorized("1-2"), "1");
    EXPECT_NE(line_of(ctl({"list"}).out, "1-2").find(": allowed by the administrator"), std::string::npos);
    const CtlRun block = ctl({"block", "1-3"});
    EXPECT_EQ(block.exit_code, 0) << block.err;
    EXPECT_EQ(authorized("1-3"), "0");
    EXPECT_NE(line_of(ctl({"list"}).out, "1-3").find(": blocked by the administrator"), std::string::npos);

    // With the suite's monitor running, a permanent rule goes where a user's answer goes.
    const std::filesystem::path monitor_log = machine_->folder() / "monitor.log";
    ASSERT_NE(machine_->start(e2e::Program::halvarmon, {u"--settings", settings_file().u16string(), u"--log",
                                                        monitor_log.u16string()}),
              0u);
    CtlRun sent;
    for (int tries = 0; tries < 100; ++tries) { // until the monitor listens
        sent = ctl({"block", "1-3", "--permanent"});
        if (sent.out.find("rule sent to the suite's monitor") != std::string::npos) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_NE(sent.out.find("rule sent to the suite's monitor"), std::string::npos) << sent.out;
    const std::string told = e2e::read_file(monitor_log);
    EXPECT_NE(told.find("usb_device_add_rule0:"), std::string::npos) << told;
    EXPECT_NE(told.find("=S-3"), std::string::npos) << told;
    EXPECT_EQ(e2e::read_file(settings_file()), settings_before) << "the monitor stores it, not the file";

    // watch saw both verdicts, with what decided them.
    const std::string watched = e2e::read_file(machine_->folder() / "watch.out");
    EXPECT_NE(watched.find("blocked \"Stick Blocked\" by default action 0 (no rule)"), std::string::npos) << watched;
    EXPECT_NE(watched.find("allowed \"Allowed Mouse\" by main rule 1 (produkt \"Allowed\""), std::string::npos)
        << watched;
}

TEST_F(Ctl, AllowPermanentSurvivesReplugAndRestart)
{
    settings(R"({"usb":{"active":1,"action":0,"allow_initial":0,"rules":[[{"produkt":"Nothing"},1]]}})");
    start_program();
    plug("1-2", "Stick", "S-2");
    plug("1-4", "Serialless", "", no_serial_descriptors);
    ASSERT_TRUE(verdicts_reach(2)) << machine_->trace();
    ASSERT_EQ(authorized("1-2"), "0");

    const CtlRun allow = ctl({"allow", "1-2", "--permanent"});
    ASSERT_EQ(allow.exit_code, 0) << allow.out << allow.err;
    EXPECT_EQ(authorized("1-2"), "1");
    EXPECT_NE(allow.out.find("the program has read it"), std::string::npos) << allow.out;
    // First in the rules, so that no earlier rule decides before it; the kept rule stays.
    const std::string written = e2e::read_file(settings_file());
    const size_t rule = written.find("\"numer\" : \"=S-2\""), kept = written.find("Nothing");
    EXPECT_NE(rule, std::string::npos) << written;
    EXPECT_LT(rule, kept) << written;
    EXPECT_EQ(ctl({"check"}).exit_code, 0) << ctl({"check"}).out;

    // Plugged again: the program's rule admits it.
    remove("1-2");
    std::this_thread::sleep_for(200ms);
    plug("1-2", "Stick", "S-2");
    ASSERT_TRUE(verdicts_reach(3)) << machine_->trace();
    EXPECT_TRUE(becomes("1-2", "1")) << machine_->trace();

    // A device without a serial number: its rule would fit its whole model (sysfs gives it no
    // "numer" to bind a rule to); the administrator says so.
    const CtlRun asked = ctl({"allow", "1-4", "--permanent"});
    EXPECT_EQ(asked.exit_code, 1);
    EXPECT_NE(asked.err.find("has no serial number: its rule would fit every device of its model; say so with "
                             "--model-wide"),
              std::string::npos)
        << asked.err;
    const CtlRun bound = ctl({"allow", "1-4", "--permanent", "--port-bound"});
    EXPECT_EQ(bound.exit_code, 1);
    EXPECT_NE(bound.err.find("no \"numer\" to bind a rule to"), std::string::npos) << bound.err;
    const CtlRun model = ctl({"allow", "1-4", "--permanent", "--model-wide"});
    EXPECT_EQ(model.exit_code, 0) << model.err;

    // Restarted, and both plugged again: both admitted by their rules.
    stop_program();
    start_program();
    remove("1-2");
    remove("1-4");
    std::this_thread::sleep_for(200ms);
    const size_t before = count("Verdict allow=");
    plug("1-2", "Stick", "S-2");
    plug("1-4", "Serialless", "", no_serial_descriptors);
    ASSERT_TRUE(verdicts_reach(before + 2)) << machine_->trace();
    EXPECT_TRUE(becomes("1-2", "1")) << machine_->trace();
    EXPECT_TRUE(becomes("1-4", "1")) << machine_->trace();
}

TEST_F(Ctl, ReloadAndGenerate)
{
    settings(R"({"usb":{"active":1,"action":0,"rules":[[{"produkt":"Keyboard"},1]]}})");
    const CtlRun nothing = ctl({"reload"});
    EXPECT_EQ(nothing.exit_code, 1);
    EXPECT_NE(nothing.err.find("zelmarusb /start is not running"), std::string::npos) << nothing.err;

    start_program();
    settings(R"({"usb":{"active":1,"action":2,"rules":[[{"produkt":"Keyboard"},1],[{"produkt":"Mouse"},1]]}})");
    const CtlRun reload = ctl({"reload"});
    EXPECT_EQ(reload.exit_code, 0) << reload.err;
    EXPECT_NE(reload.out.find("action: 0 -> 2"), std::string::npos) << reload.out;
    EXPECT_NE(reload.out.find("rules: 1 -> 2"), std::string::npos) << reload.out;
    EXPECT_EQ(ctl({"reload"}).out, "reloaded; nothing changed\n");

    // The devices present as exact rules, the /gud: list's form; one without a serial number is
    // pointed out, as its rule names it by what the list gives.
    plug("1-4", "Serialless", "", no_serial_descriptors, "1");
    const CtlRun shown = ctl({"generate"});
    EXPECT_EQ(shown.exit_code, 0) << shown.err;
    EXPECT_NE(shown.err.find("note: 1-4 3333:5555 \"Acme\" \"Serialless\" has no serial number"), std::string::npos)
        << shown.err;
    EXPECT_NE(shown.err.find("fits every device of its model without one"), std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.find("1-1 3333:4444"), std::string::npos) << shown.err;
    EXPECT_NE(shown.out.find("\"produkt\" : \"=Present Keyboard\""), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"numer\" : \"=P-1\""), std::string::npos) << shown.out;
    // Merged after the kept rules, once.
    const CtlRun merged = ctl({"generate", "--write"});
    EXPECT_EQ(merged.exit_code, 0) << merged.out << merged.err;
    EXPECT_NE(merged.out.find("rules added"), std::string::npos) << merged.out;
    const std::string file = e2e::read_file(settings_file());
    EXPECT_LT(file.find("\"Mouse\""), file.find("=Present Keyboard")) << file;
    EXPECT_NE(file.find("\"action\" : 2"), std::string::npos) << "the other settings stay: " << file;
    const CtlRun again = ctl({"generate", "--write"});
    EXPECT_NE(again.out.find(": 0 rules added"), std::string::npos) << again.out;
    EXPECT_EQ(e2e::read_file(settings_file()), file);

    // A file the settings reader takes only in part (it stops at a number with a fraction, or where
    // a file is cut short) is not written back from that part: the rest would be lost.
    for (const char* partial : {R"({"usb":{"active":1,"note":1.5,"action":2,"rules":[[{"produkt":"Mouse"},1]]}})",
                                R"({"usb":{"active":1,"action":2,"rules":[[{"produkt":"Mouse"},1]])"}) {
        SCOPED_TRACE(partial);
        settings(partial);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"generate", "--write"},
                                                      std::vector<std::string>{"allow", "1-4", "--permanent", "--model-wide"}}) {
            const CtlRun refused = ctl(args);
            EXPECT_EQ(refused.exit_code, 1) << refused.out << refused.err;
            EXPECT_NE(refused.err.find("is read only in part"), std::string::npos) << refused.err;
            EXPECT_EQ(e2e::read_file(settings_file()), partial);
        }
    }
}

TEST_F(Ctl, WatchAskAnswersTheProgramsQuestionsYesAndNo)
{
    settings(R"({"usb":{"active":1,"action":2,"allow_initial":0}})");
    start_program();
    int answers[2];
    ASSERT_EQ(::pipe(answers), 0);
    const std::string out = (machine_->folder() / "ask.out").string();
    watcher_ = spawn({"watch", "--ask", (machine_->folder() / "trace.txt").string()}, false, out,
                     (machine_->folder() / "ask.err").string(), answers[0]);
    ::close(answers[0]);
    const auto shows = [&](const std::string& text, size_t times) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            const std::string o = e2e::read_file(out);
            size_t n = 0;
            for (size_t at = o.find(text); at != std::string::npos; at = o.find(text, at + 1)) ++n;
            if (n >= times) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
    };
    ASSERT_TRUE(shows("answering the program's questions", 1)) << e2e::read_file(out);

    plug("1-2", "Yes Stick", "S-2");
    ASSERT_TRUE(shows("allow it? [y/n]", 1)) << e2e::read_file(out) << machine_->trace();
    EXPECT_NE(e2e::read_file(out).find("asked for \"Acme\" \"Yes Stick\" serial \"S-2\""), std::string::npos);
    ASSERT_EQ(::write(answers[1], "y\n", 2), 2);
    EXPECT_TRUE(becomes("1-2", "1")) << machine_->trace();

    plug("1-3", "No Stick", "S-3");
    ASSERT_TRUE(shows("allow it? [y/n]", 2)) << e2e::read_file(out);
    ASSERT_EQ(::write(answers[1], "n\n", 2), 2);
    ASSERT_TRUE(verdicts_reach(2)) << machine_->trace();
    EXPECT_EQ(authorized("1-3"), "0");
    EXPECT_NE(machine_->trace().find("decided by the user's answer \"0\""), std::string::npos);
    // The verdicts as they happen, beside the questions.
    EXPECT_TRUE(shows("allowed \"Yes Stick\" by the user's answer \"1\"", 1)) << e2e::read_file(out);
    EXPECT_TRUE(shows("blocked \"No Stick\" by the user's answer \"0\"", 1)) << e2e::read_file(out);
    ::close(answers[1]);
}

} // namespace
