// The service control manager on Windows: the real calls, their handles as numbers.
#include "platform/native.h"
#include "platform/services.h"
#include "platform/win32/wide.h"

namespace platform::win32 {
namespace {

SC_HANDLE to_sc(Handle h)
{
    return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(h));
}

Handle from_sc(SC_HANDLE h)
{
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

void copy_status(const SERVICE_STATUS& s, ServiceStatus& out)
{
    out = ServiceStatus{};
    out.service_type = s.dwServiceType;
    out.current_state = s.dwCurrentState;
    out.controls_accepted = s.dwControlsAccepted;
    out.win32_exit_code = s.dwWin32ExitCode;
    out.service_specific_exit_code = s.dwServiceSpecificExitCode;
    out.check_point = s.dwCheckPoint;
    out.wait_hint = s.dwWaitHint;
}

class Win32Services final : public Services {
public:
    Error open_manager(uint32_t desired_access, Handle& manager) override
    {
        manager = null_handle;
        const SC_HANDLE h = ::OpenSCManagerW(nullptr, nullptr, desired_access);
        if (!h) return last_error();
        manager = from_sc(h);
        return err::success;
    }

    Error create(Handle manager, const ServiceDefinition& d, Handle& service) override
    {
        service = null_handle;
        if (manager == null_handle) return err::invalid_handle;
        ::SetLastError(0);
        const SC_HANDLE h = ::CreateServiceW(
            to_sc(manager), W(d.name), d.display_name.empty() ? nullptr : W(d.display_name), d.desired_access,
            d.service_type, d.start_type, d.error_control, W(d.image_path),
            d.load_order_group.empty() ? nullptr : W(d.load_order_group), nullptr, nullptr, nullptr, nullptr);
        if (!h) return last_error();
        service = from_sc(h);
        return err::success;
    }

    Error open(Handle manager, const std::u16string& name, uint32_t desired_access, Handle& service) override
    {
        service = null_handle;
        if (manager == null_handle) return err::invalid_handle;
        const SC_HANDLE h = ::OpenServiceW(to_sc(manager), W(name), desired_access);
        if (!h) return last_error();
        service = from_sc(h);
        return err::success;
    }

    Error start(Handle service) override
    {
        if (service == null_handle) return err::invalid_handle;
        return ::StartServiceW(to_sc(service), 0, nullptr) ? err::success : last_error();
    }

    Error control(Handle service, uint32_t control, ServiceStatus& status) override
    {
        if (service == null_handle) return err::invalid_handle;
        SERVICE_STATUS s{};
        if (::ControlService(to_sc(service), control, &s)) {
            copy_status(s, status);
            return err::success;
        }
        const Error e = last_error();
        // Windows fills the status with these answers too.
        if (e == err::dependent_services_running || e == err::invalid_service_control ||
            e == err::service_cannot_accept_ctrl || e == err::service_not_active)
            copy_status(s, status);
        return e;
    }

    Error query_status(Handle service, ServiceStatus& status) override
    {
        if (service == null_handle) return err::invalid_handle;
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(to_sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s,
                                    &needed))
            return last_error();
        status.service_type = s.dwServiceType;
        status.current_state = s.dwCurrentState;
        status.controls_accepted = s.dwControlsAccepted;
        status.win32_exit_code = s.dwWin32ExitCode;
        status.service_specific_exit_code = s.dwServiceSpecificExitCode;
        status.check_point = s.dwCheckPoint;
        status.wait_hint = s.dwWaitHint;
        status.process_id = s.dwProcessId;
        status.service_flags = s.dwServiceFlags;
        return err::success;
    }

    Error remove(Handle service) override
    {
        if (service == null_handle) return err::invalid_handle;
        return ::DeleteService(to_sc(service)) ? err::success : last_error();
    }

    Error close(Handle h) override
    {
        if (h == null_handle) return err::invalid_handle;
        return ::CloseServiceHandle(to_sc(h)) ? err::success : last_error();
    }
};

} // namespace
} // namespace platform::win32

namespace platform::backend {
Services* native_services()
{
    static win32::Win32Services services;
    return &services;
}
} // namespace platform::backend
