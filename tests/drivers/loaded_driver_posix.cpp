// LoadedDriver on Linux: a fresh emulated machine, the daemon started by its service manager.
#ifndef _WIN32
#include "loaded_driver.h"

#include "../support/fresh_machine.h"
#include "platform/platform.h"
#include "platform/posix/services_admin.h"
#include "platform/services.h"
#include "platform/sync.h"

namespace driver_test {

platform::Error write_config(const std::filesystem::path& file, const std::u16string& windows_path,
                             const std::string& json);

struct LoadedDriver::Leg {
    platform_test::FreshMachine machine;
    platform_test::TempFolder files;
};

namespace {
platform::Error stop_and_delete()
{
    auto& scm = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    if (platform::Error e = scm.open_manager(platform::service::manager_all_access, manager)) return e;
    platform::Error e = scm.open(manager, u"ZelmUsb", platform::service::all_access, service);
    if (!e) {
        platform::ServiceStatus status;
        scm.control(service, platform::service::control_stop, status);
        for (int i = 0; i < 500 && !scm.query_status(service, status) &&
                        status.current_state != platform::service::stopped; ++i)
            platform::sync().sleep(20);
        e = scm.remove(service);
        scm.close(service);
    }
    scm.close(manager);
    return e == 1060u ? platform::err::success : e;
}
} // namespace

LoadedDriver::LoadedDriver(const std::string& config_json, const std::function<void()>& before_start)
    : leg_(std::make_unique<Leg>())
{
    auto& scm = platform::services();
    platform::Handle manager = platform::null_handle, service = platform::null_handle;
    auto fail = [&](const char* step, platform::Error e) {
        step_ = step;
        error_ = e;
    };
    if (platform::Error e = scm.open_manager(platform::service::manager_all_access, manager))
        { fail("open manager", e); return; }
    platform::ServiceDefinition d;
    d.name = u"ZelmUsb";
    d.display_name = u"ZelmUsb";
    d.service_type = platform::service::kernel_driver;
    d.image_path = driver_image();
    platform::Error e = scm.create(manager, d, service);
    if (e) {
        scm.close(manager);
        { fail("create", e); return; }
    }
    if (!config_json.empty()) {
        const auto file = leg_->files.path() / "cfg.json";
        if ((e = write_config(file, text::from_utf8(file.string()), config_json))) fail("configuration", e);
    }
    if (!e && before_start) before_start();
    if (!e && (e = scm.start(service))) fail("start", e);
    scm.close(service);
    scm.close(manager);
    if (!e && !wait_device(false, 10000)) fail("device", platform::err::file_not_found);
}

platform::Error LoadedDriver::unload()
{
    const platform::Error e = stop_and_delete();
    platform::posix::end_all_services();
    if (e) return e;
    return wait_device(true, 10000) ? platform::err::success : platform::err::gen_failure;
}

LoadedDriver::~LoadedDriver()
{
    unload();
}

} // namespace driver_test
#endif
