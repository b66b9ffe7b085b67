#include "driver_e2e.h"

#include <thread>

#include "driver_client.h"
#include "host/commp.h"

#include "text/text.h"

namespace driver_e2e {

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

::testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& lines, size_t from)
{
    size_t at = from;
    for (const std::string& line : lines) {
        const size_t found = text.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << line << "\" missing or out of order in\n"
                                                 << text.substr(from);
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

bool start_failed(const std::string& trace)
{
    for (const char* line : {"Driver installation error: ", "Driver starting error: ", "Hubs accepted error: ",
                             "User mode enable error: "})
        if (trace.find(line) != std::string::npos) return true;
    return false;
}

const char* name(Verdict v)
{
    switch (v) {
    case Verdict::allowed: return "allowed";
    case Verdict::blocked: return "blocked";
    case Verdict::defaulted: return "defaulted";
    case Verdict::pending: return "pending";
    case Verdict::unknown: return "unknown";
    }
    return "?";
}

namespace {
Verdict verdict_of(const driver_client::Verdict& v)
{
    switch (v.state) {
    case ZD_VERDICT_PENDING: return Verdict::pending;
    case ZD_VERDICT_ANSWERED: return v.allowed ? Verdict::allowed : Verdict::blocked;
    default: return Verdict::defaulted;
    }
}
} // namespace

bool cap_driver_wait(uint32_t ms)
{
    driver_client::DriverClient driver;
    return driver.open() == 0 && driver.cap_wait(ms) == 0;
}

std::vector<Verdict> raise_all(const std::vector<std::string>& documents, std::chrono::milliseconds limit,
                               std::vector<uint64_t>* ids_out)
{
    std::vector<Verdict> verdicts(documents.size(), Verdict::unknown);
    driver_client::DriverClient driver;
    if (const platform::Error e = driver.open()) {
        ADD_FAILURE() << "the driver cannot be opened: " << e;
        return verdicts;
    }
    std::vector<uint64_t> ids(documents.size(), 0);
    for (size_t i = 0; i < documents.size(); ++i) {
        driver_client::RaiseHeader header;
        header.vid = 0x1000;
        header.pid = uint16_t(i);
        if (const platform::Error e = driver.raise(header, text::from_utf8(documents[i]), ids[i])) {
            ADD_FAILURE() << "raise " << i << " failed: " << e;
            return verdicts;
        }
    }
    if (ids_out) *ids_out = ids;
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool pending = false;
        for (size_t i = 0; i < ids.size(); ++i) {
            driver_client::Verdict v;
            verdicts[i] = driver.verdict(ids[i], v) == 0 ? verdict_of(v) : Verdict::unknown;
            pending = pending || verdicts[i] == Verdict::pending;
        }
        if (!pending || std::chrono::steady_clock::now() >= until) return verdicts;
        std::this_thread::sleep_for(20ms);
    }
}

void DriverRun::SetUp()
{
    // Short: the machine's sockets live below this folder, and a socket's path is at most 107 bytes.
    static int machines = 0;
    machine_ = std::make_unique<e2e::Machine>("d" + std::to_string(++machines));
}

void DriverRun::TearDown()
{
    machine_.reset();
}

std::filesystem::path DriverRun::reports_folder() const
{
    return data_folder() / "logs";
}

void DriverRun::write_settings(const std::string& usb_member_json)
{
    e2e::write_file(machine_->all_users_profile() / "halvar" / "cfg" / "cfg.json",
                    "{\"usb\":" + usb_member_json + "}");
}

uint32_t DriverRun::start_instance()
{
    const size_t from = trace().size();
    const uint32_t pid = machine_->start(e2e::Program::zelmarusb, {u"/start"});
    EXPECT_NE(pid, 0u);
    // The run ends its start with one of these.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until) {
        const std::string t = trace().substr(from);
        if (t.find("User mode enable done.") != std::string::npos || start_failed(t)) break;
        std::this_thread::sleep_for(50ms);
    }
    return pid;
}

bool DriverRun::stop_instance(uint32_t pid, bool uninstall)
{
    const uint32_t asker = machine_->start(e2e::Program::zelmarusb, {uninstall ? u"/uninstall" : u"/stop"});
    int code = -1;
    if (!machine_->ended_within(asker, 15s, &code)) return false;
    // The instance sees the request at its next 5-second poll; its stop fits the 30-second watchdog.
    if (!machine_->ended_within(pid, 40s, &code)) return false;
    return trace().find("Exit.\r\n") != std::string::npos;
}

e2e::ToolRun DriverRun::sc_query(const std::u16string& service)
{
    return machine_->run(e2e::Program::sc, {u"query", service});
}

e2e::ToolRun DriverRun::reg_query(const std::u16string& value)
{
    std::vector<std::u16string> args{u"query", u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\ZelmUsb"};
    if (!value.empty()) {
        args.push_back(u"/v");
        args.push_back(value);
    }
    return machine_->run(e2e::Program::reg, args);
}

void DriverRun::set_monitor_settings(const std::string& usb_member_json)
{
    e2e::write_file(machine_->folder() / "settings.json", "{\"usb\":" + usb_member_json + "}");
}

uint32_t DriverRun::start_monitor(const std::string& usb_member_json)
{
    set_monitor_settings(usb_member_json);
    const uint32_t pid = machine_->start(e2e::Program::halvarmon, {u"--settings", (machine_->folder() / "settings.json").u16string(),
                                                                    u"--log", monitor_log().u16string()});
    EXPECT_NE(pid, 0u);
    EXPECT_TRUE(machine_->trace_has("zelmar_comm_default_" + std::to_string(pid) + "]")) << trace();
    return pid;
}

bool DriverRun::reload_settings(uint32_t instance)
{
    class_commp asker(2000, 2000);
    const std::u16string answer = asker.AskText(instance, u"cfg", u"default");
    if (answer != u"1") ADD_FAILURE() << "cfg answered \"" << text::to_utf8(answer) << "\"";
    return answer == u"1";
}

bool DriverRun::raise_no_wait(const std::string& device_json)
{
    const std::filesystem::path file = machine_->folder() / ("device-" + std::to_string(++devices_) + ".json");
    e2e::write_file(file, device_json);
    const e2e::ToolRun run = machine_->run(e2e::Program::usbsim, {u"raise", file.u16string()});
    return run.ended && run.exit_code == 0;
}

Verdict DriverRun::raise_with_usbsim(const std::string& device_json, bool hub)
{
    const std::filesystem::path file = machine_->folder() / ("device-" + std::to_string(++devices_) + ".json");
    e2e::write_file(file, device_json);
    std::vector<std::u16string> args{u"raise", file.u16string(), u"--wait"};
    if (hub) args.push_back(u"--hub");
    const e2e::ToolRun run = machine_->run(e2e::Program::usbsim, args);
    if (!run.ended || run.exit_code != 0) return Verdict::unknown;
    if (run.output.find("verdict allowed (answered)") != std::string::npos) return Verdict::allowed;
    if (run.output.find("verdict blocked (answered)") != std::string::npos) return Verdict::blocked;
    if (run.output.find("verdict pending") != std::string::npos) return Verdict::pending;
    if (run.output.find("(default") != std::string::npos) return Verdict::defaulted;
    ADD_FAILURE() << "usbsim: exit " << run.exit_code << "\n" << run.output;
    return Verdict::unknown;
}

uint32_t DriverRun::start_menu(const std::string& answer, uint32_t delay_ms)
{
    const std::vector<std::u16string> args{u"--answer", text::from_utf8(answer), u"--log", menu_log().u16string(),
                                           u"--delay-ms", text::from_utf8(std::to_string(delay_ms))};
    const uint32_t pid = machine_->start(e2e::Program::halvarmenu, args);
    EXPECT_NE(pid, 0u);
    EXPECT_TRUE(machine_->trace_has("zelmar_comm_usb_device_" + std::to_string(pid) + "]")) << trace();
    return pid;
}

std::string device_document(const std::string& manufacturer, const std::string& product, const std::string& serial,
                            const std::string& class_name, const std::string& description)
{
    return "{\"DeviceDescriptor\":{\"Manufacturer\":\"" + manufacturer + "\",\"Product\":\"" + product +
           "\",\"SerialNumber\":\"" + serial + "\"},\"DeviceProperty\":{\"ClassName\":\"" + class_name +
           "\",\"DeviceDescription\":\"" + description + "\"}}";
}

} // namespace driver_e2e
