// The emulated service control manager (see services.h for the meanings and service_record.h for
// how the records keep them across processes).
#include "platform/services.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/hub_values.h"
#include "platform/posix/objects.h"
#include "platform/posix/root.h"
#include "platform/posix/service_process.h"
#include "platform/posix/service_record.h"
#include "platform/posix/services_admin.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix {
namespace {

using services::Record;

constexpr uint32_t manager_create_service = 0x2; // SC_MANAGER_CREATE_SERVICE
constexpr uint32_t generic_read = 0x80000000u, generic_write = 0x40000000u, generic_execute = 0x20000000u,
                   generic_all = 0x10000000u;
constexpr uint32_t service_user_defined_control = 0x100;

// Generic rights as the service control manager maps them.
uint32_t service_rights(uint32_t access)
{
    uint32_t rights = access & 0x00FFFFFFu;
    if (access & generic_all) rights |= service::all_access;
    if (access & generic_read) rights |= 0x2008D; // READ_CONTROL | query config/status | enumerate | interrogate
    if (access & generic_write) rights |= 0x20002; // READ_CONTROL | change config
    if (access & generic_execute) rights |= 0x20170; // READ_CONTROL | start | stop | pause | user control
    return rights;
}

uint32_t manager_rights(uint32_t access)
{
    uint32_t rights = access & 0x00FFFFFFu;
    if (access & generic_all) rights |= service::manager_all_access;
    if (access & generic_read) rights |= 0x20014;
    if (access & generic_write) rights |= 0x20022;
    if (access & generic_execute) rights |= 0x20009;
    return rights;
}

// A service handle owns its open record file; the file's holders lock is this handle's mark.
struct OpenRecord {
    int fd = -1;
    explicit OpenRecord(int f) : fd(f) {}
    ~OpenRecord()
    {
        if (fd >= 0) ::close(fd);
    }
    OpenRecord(const OpenRecord&) = delete;
    OpenRecord& operator=(const OpenRecord&) = delete;
};

struct Entry {
    bool manager = false;
    uint32_t access = 0;
    std::shared_ptr<OpenRecord> record;
};

bool valid_name(const std::u16string& name)
{
    if (name.empty() || name.size() > 256) return false;
    for (char16_t c : name)
        if (c == u'/' || c == u'\\' || c < 0x20) return false;
    return true;
}

void fill_status(const Record& r, ServiceStatus& status)
{
    status = ServiceStatus{};
    status.service_type = r.definition.service_type;
    status.current_state = r.state;
    status.controls_accepted = r.state == service::running ? service::accept_stop : 0;
    status.win32_exit_code = r.state == service::stopped ? r.exit_code : 0;
    if (r.state == service::start_pending || r.state == service::stop_pending)
        status.wait_hint = r.state == service::start_pending ? services::driver_ready_bound_ms
                                                             : uint32_t(services::stop_bound_ms);
    // A driver runs in the kernel, not in a process of its own.
    if (r.definition.service_type != service::kernel_driver && r.state != service::stopped)
        status.process_id = uint32_t(r.pid);
}

Error write_registry_key(const ServiceDefinition& d)
{
    Registry& reg = platform::registry();
    Handle key = null_handle;
    if (const Error e = reg.create_key(services::registry_key(d.name), key_access::all_access, key)) return e;
    auto dword = [&](const char16_t* name, uint32_t v) {
        const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        return reg.set_value(key, name, reg_type::dword, bytes);
    };
    auto string = [&](const char16_t* name, uint32_t type, const std::u16string& v) {
        std::vector<uint8_t> bytes;
        for (char16_t c : v) {
            bytes.push_back(uint8_t(c));
            bytes.push_back(uint8_t(c >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
        return reg.set_value(key, name, type, bytes);
    };
    Error e = dword(u"Type", d.service_type);
    if (!e) e = dword(u"Start", d.start_type);
    if (!e) e = dword(u"ErrorControl", d.error_control);
    if (!e) e = string(u"ImagePath", reg_type::expand_sz, d.image_path);
    if (!e && !d.display_name.empty()) e = string(u"DisplayName", reg_type::sz, d.display_name);
    if (!e && !d.load_order_group.empty()) e = string(u"Group", reg_type::sz, d.load_order_group);
    if (!e && d.service_type == service::own_process) e = string(u"ObjectName", reg_type::sz, u"LocalSystem");
    reg.close_key(key);
    return e;
}

// A driver on the running machine holds devices through the root hubs' authorized_default and
// keeps their values from before in a file until it puts them back. When its service goes while
// it does not run (killed, or dead), nobody else would: the hubs would hold every device plugged
// later. Windows unloads a filter driver with its service; here the values are put back instead.
void put_back_hubs(const std::u16string& name)
{
    struct stat st{};
    if (::stat((root() + "/machine.json").c_str(), &st) == 0 || errno != ENOENT) return; // a model machine
    const std::string driver = text::to_utf8(name);
    if (::lstat(hub_values::kept_path(driver).c_str(), &st) != 0) return; // nothing is held
    hub_values::restore_kept([](const std::string& line) { platform::system().debug_output(text::from_utf8(line)); }, driver);
}

// Removes the record and the service's key when it is marked for delete, stopped and no handle
// other than `fd`'s own holds it. Called under the record's guard; true when it went.
bool complete_delete_if_due(int fd, const Record& r)
{
    if (!r.marked_for_delete || r.state != service::stopped) return false;
    if (objects::locked_by_other(fd, objects::holders)) return false;
    ::unlink(services::record_path(r.definition.name).c_str());
    platform::registry().delete_tree(services::registry_key(r.definition.name));
    if (r.definition.service_type == service::kernel_driver) put_back_hubs(r.definition.name);
    return true;
}

// Reads the record of an open file under its guard and brings it up to date: 0, 1060 when the
// service has gone (or goes now because its deletion was due).
Error load(int fd, Record& r, bool complete_delete)
{
    if (!services::linked(fd)) return err::service_does_not_exist;
    if (const Error e = services::read(fd, r)) return e;
    if (services::refresh(r)) services::write(fd, r);
    if (complete_delete && complete_delete_if_due(fd, r)) return err::service_does_not_exist;
    return err::success;
}

class PosixServices final : public Services {
public:
    Error open_manager(uint32_t desired_access, Handle& manager) override
    {
        manager = null_handle;
        Entry e;
        e.manager = true;
        e.access = manager_rights(desired_access);
        manager = table_.add(std::move(e));
        return err::success;
    }

    Error create(Handle manager, const ServiceDefinition& definition, Handle& service) override
    {
        service = null_handle;
        const auto m = table_.get(manager);
        if (!m || !m->manager) return err::invalid_handle;
        if (!(m->access & manager_create_service)) return err::access_denied;
        if (!valid_name(definition.name)) return err::invalid_name;
        const uint32_t type = definition.service_type;
        if (type != service::kernel_driver && type != service::own_process) return err::invalid_parameter;
        if (definition.start_type > service::disabled || definition.error_control > 3) return err::invalid_parameter;
        if (type == service::own_process && definition.start_type < service::auto_start) return err::invalid_parameter;
        if (definition.image_path.empty()) return err::invalid_parameter;

        const std::string path = services::record_path(definition.name);
        // A record that is there but due to go is removed on the way; then the name is free.
        for (int attempt = 0; attempt < 4; ++attempt) {
            const int existing = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (existing >= 0) {
                OpenRecord file(existing);
                objects::Guard guard(existing);
                Record r;
                const Error e = load(existing, r, true);
                if (e == err::service_does_not_exist) continue;
                if (e) return e;
                return r.marked_for_delete ? err::service_marked_for_delete : err::service_exists;
            }
            if (errno != ENOENT) return from_errno(errno);

            // Made whole under a temporary name and linked in place, so no process ever sees a
            // half-written record.
            std::string temp = services::folder() + "/new.XXXXXX";
            const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0) return from_errno(errno);
            auto file = std::make_shared<OpenRecord>(fd);
            Record r;
            r.definition = definition;
            Error e = objects::lock_byte(fd, objects::holders, F_RDLCK, false) ? err::gen_failure : err::success;
            if (!e) e = services::write(fd, r);
            if (!e && ::link(temp.c_str(), path.c_str()) != 0) e = errno == EEXIST ? err::already_exists : from_errno(errno);
            ::unlink(temp.c_str());
            if (e == err::already_exists) continue; // another process created it meanwhile
            if (e) return e;
            if (const Error k = write_registry_key(definition)) {
                ::unlink(path.c_str());
                platform::registry().delete_tree(services::registry_key(definition.name));
                return k;
            }
            Entry entry;
            entry.access = service_rights(definition.desired_access);
            entry.record = std::move(file);
            service = table_.add(std::move(entry));
            return err::success;
        }
        return err::service_database_locked;
    }

    Error open(Handle manager, const std::u16string& name, uint32_t desired_access, Handle& service) override
    {
        service = null_handle;
        const auto m = table_.get(manager);
        if (!m || !m->manager) return err::invalid_handle;
        if (!valid_name(name)) return name.empty() ? err::invalid_name : err::service_does_not_exist;
        const std::string path = services::record_path(name);
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT ? err::service_does_not_exist : from_errno(errno);
        auto file = std::make_shared<OpenRecord>(fd);
        {
            objects::Guard guard(fd);
            Record r;
            // A service marked for delete still opens, as on Windows; the new handle keeps it.
            if (const Error e = load(fd, r, true)) return e;
            if (objects::lock_byte(fd, objects::holders, F_RDLCK, false) != 0) return err::gen_failure;
        }
        Entry entry;
        entry.access = service_rights(desired_access);
        entry.record = std::move(file);
        service = table_.add(std::move(entry));
        return err::success;
    }

    Error start(Handle h) override
    {
        const auto e = service_entry(h);
        if (!e) return err::invalid_handle;
        if (!(e->access & service::start)) return err::access_denied;
        const int fd = e->record->fd;

        Record r;
        services::Daemon daemon;
        {
            objects::Guard guard(fd);
            if (const Error x = load(fd, r, false)) return x;
            if (r.marked_for_delete) return err::service_marked_for_delete;
            if (r.state != service::stopped) return err::service_already_running;
            if (r.definition.start_type == service::disabled) return err::service_disabled;
            const bool driver = r.definition.service_type == service::kernel_driver;
            const std::string program = driver ? native_path(r.definition.image_path)
                                               : services::program_of_command_line(r.definition.image_path);
            if (const Error x = services::start_daemon(program, r.definition.name, driver, daemon)) return x;
            r.pid = daemon.pid;
            r.pid_start = services::process_start_time(daemon.pid);
            r.exit_code = 0;
            r.stop_requested_ms = 0;
            r.state = driver ? service::start_pending : service::running;
            r.starter = driver ? ::getpid() : 0;
            if (const Error x = services::write(fd, r)) {
                services::kill_now(daemon.pid);
                if (daemon.ready_fd >= 0) ::close(daemon.ready_fd);
                return x;
            }
            if (!driver) {
                services::reap_later(daemon.pid);
                return err::success;
            }
        }

        // No lock is held while the driver gets ready: others see START_PENDING meanwhile.
        const Error ready = services::wait_ready(daemon);
        objects::Guard guard(fd);
        Record now;
        const bool readable = services::read(fd, now) == err::success;
        const bool ours = readable && now.pid == daemon.pid && now.state == service::start_pending;
        if (ready) {
            services::kill_now(daemon.pid);
            if (ours) {
                now.state = service::stopped;
                now.pid = 0;
                now.pid_start = 0;
                now.starter = 0;
                now.exit_code = ready;
                services::write(fd, now);
            }
            return ready;
        }
        if (ours) {
            now.state = service::running;
            now.starter = 0;
            services::write(fd, now);
        }
        services::reap_later(daemon.pid);
        return err::success;
    }

    Error control(Handle h, uint32_t control, ServiceStatus& status) override
    {
        const auto e = service_entry(h);
        if (!e) return err::invalid_handle;
        uint32_t needed = 0;
        switch (control) {
        case service::control_stop: needed = service::stop; break;
        case service::control_interrogate: needed = service::interrogate; break;
        case 2: // pause
        case 3: // continue
        case 6: // param change
        case 7: case 8: case 9: case 10: // network binding changes
            needed = 0x40; // SERVICE_PAUSE_CONTINUE
            break;
        default:
            if (control >= 128 && control <= 255) {
                needed = service_user_defined_control;
                break;
            }
            return err::invalid_parameter;
        }
        if (!(e->access & needed)) return err::access_denied;
        const int fd = e->record->fd;
        objects::Guard guard(fd);
        Record r;
        if (const Error x = load(fd, r, false)) return x;
        fill_status(r, status);
        if (r.state == service::stopped) return err::service_not_active;
        if (control == service::control_interrogate) return err::success;
        if (control != service::control_stop) return err::invalid_service_control;
        if (r.state != service::running) return err::service_cannot_accept_ctrl;
        services::signal_process(r.pid, r.pid_start, SIGTERM);
        r.state = service::stop_pending;
        r.stop_requested_ms = services::monotonic_ms();
        if (const Error x = services::write(fd, r)) return x;
        fill_status(r, status);
        return err::success;
    }

    Error query_status(Handle h, ServiceStatus& status) override
    {
        const auto e = service_entry(h);
        if (!e) return err::invalid_handle;
        if (!(e->access & service::query_status)) return err::access_denied;
        const int fd = e->record->fd;
        objects::Guard guard(fd);
        Record r;
        if (const Error x = load(fd, r, false)) return x;
        fill_status(r, status);
        return err::success;
    }

    Error remove(Handle h) override
    {
        const auto e = service_entry(h);
        if (!e) return err::invalid_handle;
        if (!(e->access & service::del)) return err::access_denied;
        const int fd = e->record->fd;
        objects::Guard guard(fd);
        Record r;
        if (const Error x = load(fd, r, false)) return x;
        if (r.marked_for_delete) return err::service_marked_for_delete;
        r.marked_for_delete = true;
        return services::write(fd, r);
    }

    Error close(Handle h) override
    {
        auto e = table_.take(h);
        if (!e) return err::invalid_handle;
        if (e->manager) return err::success;
        const int fd = e->record->fd;
        objects::Guard guard(fd);
        // This handle stops counting before the check, so that the last one out removes it.
        objects::lock_byte(fd, objects::holders, F_UNLCK, false);
        Record r;
        if (load(fd, r, false) == err::success) complete_delete_if_due(fd, r);
        return err::success; // the record file closes with the last copy of the entry
    }

private:
    std::optional<Entry> service_entry(Handle h)
    {
        auto e = table_.get(h);
        if (!e || e->manager) return std::nullopt;
        return e;
    }

    HandleTable<Entry> table_;
};

} // namespace

void end_all_services()
{
    const std::string folder = services::folder();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> files;
    while (const dirent* d = ::readdir(dir)) {
        const std::string n = d->d_name;
        if (n.rfind("service.", 0) == 0 || n.rfind("new.", 0) == 0) files.push_back(folder + "/" + n);
    }
    ::closedir(dir);

    struct Running {
        pid_t pid;
        uint64_t start;
    };
    std::vector<Running> running;
    for (const auto& path : files) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        {
            objects::Guard guard(fd);
            Record r;
            if (services::read(fd, r) == err::success) {
                if (r.state != service::stopped && services::signal_process(r.pid, r.pid_start, SIGTERM))
                    running.push_back({r.pid, r.pid_start});
                platform::registry().delete_tree(services::registry_key(r.definition.name));
            }
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    // The daemons get their stop bound to end by themselves, then SIGKILL.
    const uint64_t began = services::monotonic_ms();
    for (const auto& d : running) {
        while (services::process_alive(d.pid, d.start) && services::monotonic_ms() - began < services::stop_bound_ms)
            ::usleep(10 * 1000);
        services::signal_process(d.pid, d.start, SIGKILL);
    }
}

} // namespace platform::posix

namespace platform::backend {
Services* native_services()
{
    static posix::PosixServices services;
    return &services;
}
} // namespace platform::backend
