// The driver run as whole processes: the program, the driver (the stand-in on Linux, the kernel
// test driver under Wine), the suite's stand-ins, usbsim, sc and reg, on one test machine.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e_machine.h"

namespace driver_e2e {

using namespace std::chrono_literals;

// The lines of a driver start that went well, in the order the run writes them.
inline const std::vector<std::string> start_lines = {"Driver installed.\r\n", "Driver started.\r\n",
                                                      "Driver attached.\r\n", "Hubs accepted done.\r\n",
                                                      "User mode enable done.\r\n"};

// Whether the trace holds one of the lines that end a driver start with a failure.
bool start_failed(const std::string& trace);

// Occurrences of `what` in `text`.
size_t count(const std::string& text, const std::string& what);
// True when every line of `lines` appears in `text` from `from` on, each after the one before;
// otherwise a failure naming the first line out of place.
::testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& lines, size_t from = 0);

// What the driver recorded for a device: answered by the program (allowed or blocked), its
// default applied (time-out, user test off...), still pending, or the driver not reachable.
enum class Verdict { allowed, blocked, defaulted, pending, unknown };
const char* name(Verdict v);
inline std::ostream& operator<<(std::ostream& out, Verdict v) { return out << name(v); }

// Caps the running driver's wait for a verdict (test-only control of the stand-ins).
bool cap_driver_wait(uint32_t ms);

// Raises every document at once on the running driver (in the order given), then waits at most
// `limit` for all the verdicts; one verdict per document, in the same order. `ids` receives the
// driver's request ids.
std::vector<Verdict> raise_all(const std::vector<std::string>& documents, std::chrono::milliseconds limit,
                               std::vector<uint64_t>* ids = nullptr);

class DriverRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    e2e::Machine& machine() { return *machine_; }
    std::string trace() const { return machine_->trace(); }

    // The suite data folder and the driver's files below it.
    std::filesystem::path data_folder() const { return machine_->all_users_profile() / "halvar"; }
    std::filesystem::path config_file() const { return data_folder() / "zelmusb" / "config.json"; }
    std::filesystem::path admittance_folder() const { return data_folder() / "zelmusb" / "internal_accept"; }
    std::filesystem::path accept_folder() const { return data_folder() / "zelmusb" / "accept"; }
    std::filesystem::path reports_folder() const;
    // The suite's settings file, read at start when no monitor answers.
    void write_settings(const std::string& usb_member_json);

    // Starts the /start instance and waits for the end of its driver start (success or error).
    uint32_t start_instance();
    // Asks the running instance to stop ("/stop") or to uninstall ("/uninstall") and waits for its
    // end; true when it ended with its trace's "Exit.".
    bool stop_instance(uint32_t pid, bool uninstall);

    // sc query ZelmUsb.
    e2e::ToolRun sc_query(const std::u16string& service = u"ZelmUsb");
    // reg query of the driver's service key (one value, or the whole key).
    e2e::ToolRun reg_query(const std::u16string& value = u"");

    // The monitor stand-in answering "get_config" with {"usb": <usb_member_json>} (rewritten
    // by later calls) and logging what it is asked to monitor.log.
    uint32_t start_monitor(const std::string& usb_member_json);
    void set_monitor_settings(const std::string& usb_member_json);
    std::filesystem::path monitor_log() const { return machine_->folder() / "monitor.log"; }
    // "cfg" to the running instance: it reloads the settings.
    bool reload_settings(uint32_t instance);

    // The menu stand-in answering questions with `answer` ("1", "0", "none"), logging to menu.log.
    uint32_t start_menu(const std::string& answer, uint32_t delay_ms = 0);
    std::filesystem::path menu_log() const { return machine_->folder() / "menu.log"; }

    // Raises a device with the usbsim tool without waiting; true when the driver took it.
    bool raise_no_wait(const std::string& device_json);
    // Raises a device with the usbsim tool and waits for the verdict it prints.
    Verdict raise_with_usbsim(const std::string& device_json, bool hub = false);

private:
    std::unique_ptr<e2e::Machine> machine_;
    unsigned devices_ = 0;
};

// A device document as the driver sends it, from the texts the policy reads.
std::string device_document(const std::string& manufacturer, const std::string& product, const std::string& serial,
                            const std::string& class_name, const std::string& description);

} // namespace driver_e2e
