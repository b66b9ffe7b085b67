// The application: start-up, the modes of the command line and the /start instance's main loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Set by the listener on "stop" and "uninstall"; polled by the /start loop and the driver stop.
extern std::atomic<uint32_t> g_stop_request;
extern std::atomic<uint32_t> g_uninstall_request;

// Names of the global mutexes through which instances see each other.
inline constexpr const char16_t* temporary_service_mutex = u"ZELMUSB_MTX_USB_218718798712398123";
inline constexpr const char16_t* run_mutex = u"ZELMUSB_MTX_9324179821738756812738";

class CzelmarusbApp {
public:
    // `command_line` is the text after the program's name, as the system gave it.
    explicit CzelmarusbApp(std::u16string command_line) : command_line_(std::move(command_line)) {}
    // Does all the work of the process; always false, so that no message loop runs.
    bool InitInstance();

private:
    void run_start();
    std::u16string command_line_;
};

// The commands of channel "default": "cfg", "stop", "uninstall", and the question "usb_state" (the
// settings in effect, settings_summary of app/settings.h, for zelmusbctl); anything else gets the
// empty answer.
std::u16string HandleDefaultQuestion(uint32_t asker, const std::u16string& question);
// Whether the listener acts on `question` from the client at the other end of `pipe`: "stop" and
// "uninstall" only from a privileged client (traced with its process id when refused).
bool default_channel_filter(uint64_t pipe, uint32_t asker, const std::u16string& question);
// The pipe listener of the /start instance.
uint32_t thread_communication_default(void*);
// Ends the process 30 seconds after it is started, whatever the process is doing then.
uint32_t force_exit_watchdog(void*);
// Launches a program (verb "open", working folder = the program's folder), optionally waiting for
// its end (at most 30 minutes). Returns whether it was launched.
bool run_program(const std::u16string& file, const std::u16string& parameters, bool wait, bool show);
// The /gud: work once the hand-over file is written: create, start and delete a temporary service
// that runs this program, which then writes the device list.
void run_temporary_service();
// Waits, at most `limit_ms`, while the service `name` is starting or running.
void wait_for_service_end(const std::u16string& name, uint32_t limit_ms);
