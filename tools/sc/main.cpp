// sc: the part of Windows' sc.exe that the system and its tests use, over the emulated service
// control manager of the posix backend (the machine below $ZELMUSB_PLATFORM_ROOT).
//
//   sc create <name> binpath= <path> [type= own|kernel] [start= boot|system|auto|demand|disabled]
//             [error= ignore|normal] [displayname= <text>] [group= <group>]
//   sc start <name>      sc stop <name>      sc delete <name>      sc query <name>
//
// As sc.exe: options are "name=" followed by the value as the next argument; create and delete
// print "[SC] <call> SUCCESS"; start, stop and query print the service's status block; a failed
// call prints "[SC] <call> FAILED <code>:" and the system's message. The exit code is 0 or the
// Windows error code of the call that failed (1639 for a command line it does not understand);
// a Linux exit status keeps only its low eight bits, and a code whose low bits are 0 exits with 1.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/services.h"
#include "text/text.h"

namespace {

using namespace platform;

constexpr int invalid_command_line = 1639; // ERROR_INVALID_COMMAND_LINE

void out(const std::u16string& s)
{
    const std::string bytes = text::to_utf8(s);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void line(const std::u16string& s = u"")
{
    out(s + u"\n");
}

int usage()
{
    line(u"DESCRIPTION:");
    line(u"        SC is a command line program used for communicating with the");
    line(u"        Service Control Manager and services.");
    line(u"USAGE:");
    line(u"        sc <server> [command] [service name] <option1> <option2>...");
    line();
    line(u"        Commands: create, start, stop, delete, query.");
    return invalid_command_line;
}

const char16_t* message(Error e)
{
    switch (e) {
    case err::file_not_found: return u"The system cannot find the file specified.";
    case err::path_not_found: return u"The system cannot find the path specified.";
    case err::access_denied: return u"Access is denied.";
    case err::invalid_handle: return u"The handle is invalid.";
    case err::gen_failure: return u"A device attached to the system is not functioning.";
    case err::invalid_parameter: return u"The parameter is incorrect.";
    case err::invalid_name: return u"The filename, directory name, or volume label syntax is incorrect.";
    case 193: return u"%1 is not a valid Win32 application.";
    case err::invalid_service_control: return u"The requested control is not valid for this service.";
    case err::service_request_timeout:
        return u"The service did not respond to the start or control request in a timely fashion.";
    case err::service_already_running: return u"An instance of the service is already running.";
    case err::service_disabled:
        return u"The service cannot be started, either because it is disabled or because it has no enabled "
               u"devices associated with it.";
    case err::service_does_not_exist: return u"The specified service does not exist as an installed service.";
    case err::service_cannot_accept_ctrl: return u"The service cannot accept control messages at this time.";
    case err::service_not_active: return u"The service has not been started.";
    case err::service_marked_for_delete: return u"The specified service has been marked for deletion.";
    case err::service_exists: return u"The specified service already exists.";
    case err::database_does_not_exist: return u"The specified database does not exist.";
    default: return nullptr;
    }
}

int failed(const char16_t* call, Error e)
{
    line(text::format(u"[SC] %s FAILED %u:", call, e));
    line();
    if (const char16_t* m = message(e)) line(m);
    line();
    return int(e);
}

std::u16string type_name(uint32_t type)
{
    switch (type) {
    case service::kernel_driver: return u"KERNEL_DRIVER";
    case 0x2: return u"FILE_SYSTEM_DRIVER";
    case service::own_process: return u"WIN32_OWN_PROCESS";
    case 0x20: return u"WIN32_SHARE_PROCESS";
    default: return u"";
    }
}

std::u16string state_name(uint32_t state)
{
    static const char16_t* const names[] = {u"STOPPED", u"START_PENDING", u"STOP_PENDING", u"RUNNING",
                                            u"CONTINUE_PENDING", u"PAUSE_PENDING", u"PAUSED"};
    return state >= 1 && state <= 7 ? names[state - 1] : u"";
}

void print_status(const std::u16string& name, const ServiceStatus& s)
{
    line(u"SERVICE_NAME: " + name);
    line(text::format(u"        TYPE               : %x  %s", s.service_type, type_name(s.service_type).c_str()));
    line(text::format(u"        STATE              : %u  %s", s.current_state, state_name(s.current_state).c_str()));
    line(text::format(u"        WIN32_EXIT_CODE    : %u  (0x%x)", s.win32_exit_code, s.win32_exit_code));
    line(text::format(u"        SERVICE_EXIT_CODE  : %u  (0x%x)", s.service_specific_exit_code,
                      s.service_specific_exit_code));
    line(text::format(u"        CHECKPOINT         : 0x%x", s.check_point));
    line(text::format(u"        WAIT_HINT          : 0x%x", s.wait_hint));
}

// "name=" options and their values, as sc.exe takes them (the value is the next argument).
bool parse_options(const std::vector<std::u16string>& args, size_t from, std::map<std::u16string, std::u16string>& options)
{
    for (size_t i = from; i < args.size(); i += 2) {
        const std::u16string& key = args[i];
        if (key.size() < 2 || key.back() != u'=' || i + 1 >= args.size()) return false;
        options[text::to_lower(key)] = args[i + 1];
    }
    return true;
}

bool lookup(const std::u16string& value, std::initializer_list<std::pair<const char16_t*, uint32_t>> table, uint32_t& out)
{
    for (const auto& [name, v] : table)
        if (text::to_lower(value) == name) {
            out = v;
            return true;
        }
    return false;
}

int create(Handle manager, const std::u16string& name, const std::vector<std::u16string>& args)
{
    std::map<std::u16string, std::u16string> options;
    if (!parse_options(args, 2, options)) return usage();
    ServiceDefinition d;
    d.name = name;
    d.display_name = name;
    d.service_type = service::own_process;
    d.start_type = service::demand_start;
    d.error_control = service::error_normal;
    for (const auto& [key, value] : options) {
        bool ok = true;
        if (key == u"binpath=") d.image_path = value;
        else if (key == u"displayname=") d.display_name = value;
        else if (key == u"group=") d.load_order_group = value;
        else if (key == u"type=")
            ok = lookup(value, {{u"own", service::own_process}, {u"kernel", service::kernel_driver}}, d.service_type);
        else if (key == u"start=")
            ok = lookup(value,
                        {{u"boot", service::boot_start}, {u"system", service::system_start}, {u"auto", service::auto_start},
                         {u"demand", service::demand_start}, {u"disabled", service::disabled}},
                        d.start_type);
        else if (key == u"error=")
            ok = lookup(value, {{u"ignore", service::error_ignore}, {u"normal", service::error_normal}, {u"severe", 2},
                                {u"critical", 3}},
                        d.error_control);
        else ok = false;
        if (!ok) return usage();
    }
    if (d.image_path.empty()) return usage();
    Handle h = null_handle;
    if (const Error e = services().create(manager, d, h)) return failed(u"CreateService", e);
    services().close(h);
    line(u"[SC] CreateService SUCCESS");
    return 0;
}

int run(const std::vector<std::u16string>& args)
{
    if (args.size() < 2) return usage();
    const std::u16string command = text::to_lower(args[0]);
    const std::u16string& name = args[1];
    if (command != u"create" && args.size() != 2) return usage();

    Handle manager = null_handle;
    if (const Error e = services().open_manager(service::manager_all_access, manager)) return failed(u"OpenSCManager", e);
    struct CloseManager {
        Handle h;
        ~CloseManager() { services().close(h); }
    } close_manager{manager};

    if (command == u"create") return create(manager, name, args);

    uint32_t access = 0;
    if (command == u"start") access = service::start | service::query_status;
    else if (command == u"stop") access = service::stop | service::query_status;
    else if (command == u"delete") access = service::del;
    else if (command == u"query") access = service::query_status;
    else return usage();

    Handle h = null_handle;
    if (const Error e = services().open(manager, name, access, h)) return failed(u"OpenService", e);
    struct CloseService {
        Handle h;
        ~CloseService() { services().close(h); }
    } close_service{h};

    ServiceStatus status;
    if (command == u"start") {
        if (const Error e = services().start(h)) return failed(u"StartService", e);
        if (const Error e = services().query_status(h, status)) return failed(u"QueryServiceStatus", e);
    } else if (command == u"stop") {
        if (const Error e = services().control(h, service::control_stop, status)) return failed(u"ControlService", e);
    } else if (command == u"delete") {
        if (const Error e = services().remove(h)) return failed(u"DeleteService", e);
        line(u"[SC] DeleteService SUCCESS");
        return 0;
    } else if (const Error e = services().query_status(h, status)) {
        return failed(u"QueryServiceStatus", e);
    }
    print_status(name, status);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(text::from_utf8(argv[i]));
    // A leading \\server names the machine; only this one exists.
    if (!args.empty() && args[0].rfind(u"\\\\", 0) == 0) args.erase(args.begin());
    const int code = run(args);
    std::fflush(stdout);
    // A Linux exit status keeps the low eight bits of the code; a failure must never read as 0.
    return code != 0 && (code & 0xFF) == 0 ? 1 : code;
}
