#include "app/app.h"

#include "app/driver_run.h"
#include "app/settings.h"
#include "app/switches.h"
#include "host/commp.h"
#include "host/files.h"
#include "host/threads.h"
#include "host/trace.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/services.h"
#include "platform/sync.h"
#include "platform/system.h"

std::atomic<uint32_t> g_stop_request{0};
std::atomic<uint32_t> g_uninstall_request{0};

namespace {
constexpr uint32_t watchdog_ms = 30000;
constexpr uint32_t poll_ms = 5000;
constexpr uint32_t failed_start_delay_ms = 20000;
constexpr uint32_t failed_start_pause_ms = 2000;
// How long /gud: waits for the service copy to write the list, inside its 30 s watchdog.
constexpr uint32_t list_writer_wait_ms = 20000;
constexpr uint32_t list_writer_poll_ms = 100;
constexpr const char16_t* temporary_service = u"zelmusbtmpsvc";

std::u16string handover_file()
{
    return joined(suite_data_folder(), u"tmp\\zelmusbtmppath.txt");
}

// CreateMutexW for a mutex that only has to be seen: the handle, or none when it already existed.
platform::Handle create_seen_mutex(const char16_t* name)
{
    auto& sync = platform::sync();
    platform::Handle h = platform::null_handle;
    const platform::Error e = sync.create_mutex(u"Global\\" + std::u16string(name), h);
    if (e == platform::err::already_exists) {
        sync.close(h);
        return platform::null_handle;
    }
    return e == platform::err::success ? h : platform::null_handle;
}
} // namespace

std::u16string HandleDefaultQuestion(uint32_t, const std::u16string& question)
{
    if (question == u"cfg") {
        ensure_initial_list();
        read_config();
        return u"1";
    }
    if (question == u"usb_state") return settings_summary();
    if (question == u"stop") {
        g_stop_request = 1;
        return u"1";
    }
    if (question == u"uninstall") {
        g_stop_request = 1;
        g_uninstall_request = 1;
        return u"1";
    }
    return {};
}

bool default_channel_filter(uint64_t pipe, uint32_t, const std::u16string& question)
{
    // Only a privileged client (an elevated process on Windows; root or this program's user on
    // Linux) may end the protection or have the settings and rule lists reloaded: the suite's
    // monitor, which sends "cfg" after a change, runs so. Another user's "cfg" would have every
    // rule file read again on demand, and the listener tied up, as often as it likes.
    if (question != u"stop" && question != u"uninstall" && question != u"cfg") return true;
    uint32_t client = 0;
    bool privileged = false;
    const platform::Error e = platform::pipes().client_process(pipe, client, privileged);
    if (e == platform::err::success && privileged) return true;
    TRACE(u"Refused \"%s\" from process %u: the client is not privileged (%i)", question, unsigned(client), int(e));
    return false;
}

uint32_t thread_communication_default(void*)
{
    TRACE(u"> Enter");
    class_commp commp(2000, 2000);
    commp.text_handler = HandleDefaultQuestion;
    commp.request_filter = default_channel_filter;
    commp.listen(u"default");
    return 0;
}

uint32_t force_exit_watchdog(void*)
{
    platform::sync().sleep(watchdog_ms);
    _COUT(u"! Force process termination.");
    platform::processes().terminate_current(0);
    return 0;
}

bool run_program(const std::u16string& file, const std::u16string& parameters, bool wait, bool show)
{
    platform::LaunchRequest request;
    request.verb = u"open";
    request.file = file;
    request.parameters = parameters;
    const size_t slash = file.rfind(u'\\');
    request.directory = slash == std::u16string::npos ? std::u16string() : file.substr(0, slash);
    request.show = show ? platform::show_command::show_normal : platform::show_command::hide;
    request.wait = wait;
    request.wait_limit_ms = 1800000;
    platform::LaunchResult result;
    return platform::processes().launch(request, result) == platform::err::success;
}

void wait_for_service_end(const std::u16string& name, uint32_t limit_ms)
{
    auto& services = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    if (services.open_manager(platform::service::manager_connect, manager) != platform::err::success) return;
    if (services.open(manager, name, platform::service::query_status, service) == platform::err::success) {
        for (uint32_t waited = 0; waited < limit_ms; waited += list_writer_poll_ms) {
            platform::ServiceStatus status;
            if (services.query_status(service, status) != platform::err::success) break;
            if (status.current_state != platform::service::running &&
                status.current_state != platform::service::start_pending)
                break;
            platform::sync().sleep(list_writer_poll_ms);
        }
        services.close(service);
    }
    services.close(manager);
}

void run_temporary_service()
{
    const platform::Handle mutex = create_seen_mutex(temporary_service_mutex);
    std::u16string exe;
    platform::processes().current_module_path(exe);
    run_program(u"sc.exe", u"create zelmusbtmpsvc binpath= \"" + exe + u"\"", true, false);
    run_program(u"sc.exe", u"start zelmusbtmpsvc", true, false);
    // The copy is the list writer only while this instance holds the mutex: it must have read the
    // hand-over file and written the list before the mutex goes with this process. "sc start" may
    // come back as soon as the copy runs, so its end is awaited here.
    wait_for_service_end(temporary_service, list_writer_wait_ms);
    run_program(u"sc.exe", u"delete zelmusbtmpsvc", true, false);
    if (mutex != platform::null_handle) platform::sync().close(mutex);
}

void CzelmarusbApp::run_start()
{
    // Another user who can change the folders that hold the machine's records could plant the
    // driver's kept values, service records or pipe names: nothing is started on such a machine.
    std::u16string folder, owner;
    if (platform::system().check_state_folders(folder, owner) != platform::err::success) {
        TRACE(u"%s", u"Not started: the folder " + folder + u" (owner " + owner +
                         u") can be changed by a user other than root and this program's user");
        return;
    }
    if (MutexPresent(run_mutex)) return;
    const platform::Handle mutex = create_seen_mutex(run_mutex);
    host_threads().StartThread(thread_communication_default, nullptr);
    _COUT(u"*** USB STARTED.");
    read_config();

    uint32_t exit_delay = 1;
    if (!start_driver_run()) {
        // A run without its driver protects nothing: stop at once, and delay the exit so that the
        // suite does not restart the program in a tight loop.
        exit_delay = failed_start_delay_ms;
        g_stop_request = 1;
        platform::sync().sleep(failed_start_pause_ms);
    }

    while (g_stop_request == 0) platform::sync().sleep(poll_ms);
    _COUT(u"*** USB STOPPED.");
    host_threads().StartThread(force_exit_watchdog, nullptr);
    stop_driver_run();
    if (exit_delay > 10) {
        _COUT(u"Emergency delay...");
        platform::sync().sleep(exit_delay);
    }
    _COUT(u"Exit.");
    if (mutex != platform::null_handle) platform::sync().close(mutex);
}

bool CzelmarusbApp::InitInstance()
{
    auto& processes = platform::processes();
    TRACE(u"%s", u"LANG(U): " + IntText(processes.user_ui_language()));
    TRACE(u"%s", u"LANG(S): " + IntText(processes.system_ui_language()));
    std::u16string user;
    if (processes.current_user_name(user) != platform::err::success) user.clear();
    TRACE(u"%s", u"User   : " + user);

    if (MutexPresent(temporary_service_mutex)) {
        const std::u16string handover = handover_file();
        std::u16string destination;
        if (LoadSuiteFile(handover, destination) && !destination.empty()) {
            platform::files().remove(handover);
            TRACE(u"%s", cout_text(u"USB list path: " + destination));
            write_usb_list_to(destination);
        }
        return false;
    }

    std::u16string value;
    if (find_switch(command_line_, u"/test:", value)) {
        test_rules_file(value);
    } else if (find_switch(command_line_, u"/gud:", value)) {
        WriteWholeFile(handover_file(), value);
        host_threads().StartThread(force_exit_watchdog, nullptr);
        run_temporary_service();
    } else if (find_switch(command_line_, u"/stop", value)) {
        class_commp commp(2000, 2000);
        TRACE(u"%s", u"Stop result: " + commp.AskOtherInstance(u"stop", u"default"));
    } else if (find_switch(command_line_, u"/uninstall", value)) {
        class_commp commp(2000, 2000);
        commp.AskOtherInstance(u"uninstall", u"default");
    } else if (find_switch(command_line_, u"/start", value)) {
        run_start();
    }
    return false;
}
