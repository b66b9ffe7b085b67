// LoadedDriver on Windows: the kernel driver through the service control manager (Wine's in the
// tests). Wine may report a stopped driver before its unload has finished, so unloading also
// waits until the control device is gone.
#ifdef _WIN32
#include "loaded_driver.h"

#include <windows.h>

#include "../support/fresh_machine.h"
#include "../support/machine_lock.h"

namespace driver_test {

platform::Error write_config(const std::filesystem::path& file, const std::u16string& windows_path,
                             const std::string& json);

struct LoadedDriver::Leg {
    // Held while the driver is this test's: no other test binary of the prefix loads or stops it.
    platform_test::MachineLock lock;
    platform_test::TempFolder files;
};

namespace {
platform::Error stop_and_delete()
{
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return ::GetLastError();
    platform::Error e = 0;
    SC_HANDLE service = ::OpenServiceW(manager, L"ZelmUsb", SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status{};
        ::ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 500 && ::QueryServiceStatus(service, &status) &&
                        status.dwCurrentState != SERVICE_STOPPED; ++i)
            ::Sleep(20);
        if (!::DeleteService(service)) e = ::GetLastError();
        ::CloseServiceHandle(service);
    } else if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        e = ::GetLastError();
    }
    ::CloseServiceHandle(manager);
    return e;
}
} // namespace

LoadedDriver::LoadedDriver(const std::string& config_json, const std::function<void()>& before_start)
    : leg_(std::make_unique<Leg>())
{
    auto fail = [&](const char* step, platform::Error e) {
        step_ = step;
        error_ = e;
    };
    // A driver that a failed run left loaded would keep the device name.
    if (unload()) { fail("remove what a failed run left", platform::err::gen_failure); return; }
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) { fail("open manager", ::GetLastError()); return; }
    const std::u16string image = driver_image();
    SC_HANDLE service = ::CreateServiceW(manager, L"ZelmUsb", L"ZelmUsb", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         reinterpret_cast<const wchar_t*>(image.c_str()), nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
    if (!service) {
        const DWORD e = ::GetLastError();
        ::CloseServiceHandle(manager);
        { fail("create", e); return; }
    }
    platform::Error e = 0;
    if (!config_json.empty()) {
        const auto file = leg_->files.path() / "cfg.json";
        if ((e = write_config(file, file.u16string(), config_json))) fail("configuration", e);
    }
    if (!e && before_start) before_start();
    // Wine's driver host may still be unloading the driver of the round before (its service is
    // stopped and deleted, its device gone): it then answers the start with 1359 for a moment.
    for (int tries = 0; !e && !::StartServiceW(service, 0, nullptr); ++tries) {
        e = ::GetLastError();
        if (e != ERROR_INTERNAL_ERROR || tries == 20) {
            fail("start", e);
            break;
        }
        e = 0;
        ::Sleep(100);
    }
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    if (!e && !wait_device(false, 10000)) fail("device", platform::err::file_not_found);
}

platform::Error LoadedDriver::unload()
{
    if (platform::Error e = stop_and_delete()) return e;
    return wait_device(true, 10000) ? platform::err::success : platform::err::gen_failure;
}

LoadedDriver::~LoadedDriver()
{
    unload();
}

} // namespace driver_test
#endif
