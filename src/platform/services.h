// The service control manager: OpenSCManagerW, CreateServiceW, OpenServiceW, StartServiceW,
// ControlService, QueryServiceStatusEx, DeleteService, CloseServiceHandle.
//
// Errors are Windows': 1060 no such service, 1073 a service of that name exists, 1072 marked for
// delete (handles still open), 1056 already running, 1062 not running (a stop control), 1052/1061
// a control the service does not take now, 3 or 2 a missing image at start, 5 access denied,
// 6 a handle that names nothing.
//
// A service marked for delete still opens and answers queries (each new handle keeps it longer),
// as on Windows; a new create of its name gives 1072.
//
// posix: the records live in <root>/services/ and keep these meanings across processes; a handle
// of a process that died no longer counts. CreateService also writes the service's key
// HKLM\SYSTEM\CurrentControlSet\services\<name> (Type, Start, ErrorControl, ImagePath, DisplayName),
// removed with the service. Starting a kernel driver runs its image path, without arguments, as a
// daemon (own session, the environment plus ZELMUSB_SERVICE_NAME and ZELMUSB_READY_FD, the write
// end of a pipe): start returns 0 (RUNNING) when the daemon writes one byte there, once it serves
// its control device; 2 when the image is missing; 31 when the pipe closes or the daemon ends
// first; 1053 when nothing comes within 10 s (counted with the platform's sleep and tick count).
// Starting an own-process service runs its binary without arguments; it is RUNNING while the
// process lives. A stop control sends SIGTERM (STOP_PENDING while the process lives, SIGKILL when
// it outlives 5 s), STOPPED once it has ended. Deletion completes when the service is stopped and
// its last handle is closed; a service whose process ends after its last handle closed goes at the
// next call that finds it. When a kernel driver's deletion completes on the running machine (no
// machine.json) and the root hubs' values it kept are still there (posix/hub_values.h: it did not
// run to put them back), they are put back then, as Windows ends a filter driver's holding when it
// unloads it. platform::posix::end_all_services() (posix/services_admin.h) ends every
// daemon of the machine and removes every record, for the teardown of a test machine.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace platform {

// Windows values of the service control manager.
namespace service {
// dwServiceType
constexpr uint32_t kernel_driver = 0x1;     // SERVICE_KERNEL_DRIVER
constexpr uint32_t own_process = 0x10;      // SERVICE_WIN32_OWN_PROCESS
// dwStartType
constexpr uint32_t boot_start = 0;
constexpr uint32_t system_start = 1;
constexpr uint32_t auto_start = 2;
constexpr uint32_t demand_start = 3;
constexpr uint32_t disabled = 4;
// dwErrorControl
constexpr uint32_t error_ignore = 0;
constexpr uint32_t error_normal = 1;
// dwCurrentState
constexpr uint32_t stopped = 1;
constexpr uint32_t start_pending = 2;
constexpr uint32_t stop_pending = 3;
constexpr uint32_t running = 4;
constexpr uint32_t continue_pending = 5;
constexpr uint32_t pause_pending = 6;
constexpr uint32_t paused = 7;
// ControlService codes
constexpr uint32_t control_stop = 1;
constexpr uint32_t control_interrogate = 4;
// dwControlsAccepted
constexpr uint32_t accept_stop = 0x1;
// Access rights
constexpr uint32_t manager_all_access = 0xF003F; // SC_MANAGER_ALL_ACCESS
constexpr uint32_t manager_connect = 0x1;
constexpr uint32_t all_access = 0xF01FF;         // SERVICE_ALL_ACCESS
constexpr uint32_t query_config = 0x1;
constexpr uint32_t query_status = 0x4;
constexpr uint32_t start = 0x10;
constexpr uint32_t stop = 0x20;
constexpr uint32_t interrogate = 0x80;
constexpr uint32_t del = 0x10000;                // DELETE
} // namespace service

// SERVICE_STATUS_PROCESS, field for field (ControlService fills the first seven, SERVICE_STATUS).
struct ServiceStatus {
    uint32_t service_type = 0;
    uint32_t current_state = 0;
    uint32_t controls_accepted = 0;
    uint32_t win32_exit_code = 0;
    uint32_t service_specific_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint = 0;
    uint32_t process_id = 0;
    uint32_t service_flags = 0;
};

// The arguments of CreateServiceW that the program sets; it never passes a tag, dependencies, an
// account or a password.
struct ServiceDefinition {
    std::u16string name;
    std::u16string display_name;
    uint32_t desired_access = service::all_access;
    uint32_t service_type = service::kernel_driver;
    uint32_t start_type = service::demand_start;
    uint32_t error_control = service::error_normal;
    std::u16string image_path;
    std::u16string load_order_group; // empty: none (a null pointer)
};

class Services {
public:
    virtual ~Services() = default;

    // OpenSCManagerW(local machine, default database, desired_access).
    virtual Error open_manager(uint32_t desired_access, Handle& manager) = 0;
    // CreateServiceW: the handle of the new service. 1073 when the name is taken, 1072 when a
    // service of that name is marked for delete.
    virtual Error create(Handle manager, const ServiceDefinition& definition, Handle& service) = 0;
    // OpenServiceW(manager, name, desired_access): 1060 when it is not installed.
    virtual Error open(Handle manager, const std::u16string& name, uint32_t desired_access,
                       Handle& service) = 0;
    // StartServiceW without arguments; does not wait for the service to run. 1056 when it runs,
    // 1058 when disabled, 1072 when marked for delete.
    virtual Error start(Handle service) = 0;
    // ControlService: `status` gets the service's status when the call succeeds, and also with
    // 1051, 1052, 1061 and 1062, as Windows fills it then.
    virtual Error control(Handle service, uint32_t control, ServiceStatus& status) = 0;
    // QueryServiceStatusEx(SC_STATUS_PROCESS_INFO).
    virtual Error query_status(Handle service, ServiceStatus& status) = 0;
    // DeleteService: marks the service for delete; it goes when its last handle is closed (and
    // it is stopped). The handle stays open. 1072 when already marked.
    virtual Error remove(Handle service) = 0;
    // CloseServiceHandle of a manager or service handle.
    virtual Error close(Handle h) = 0;
};

} // namespace platform
