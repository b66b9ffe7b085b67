#include "drivercontrol/manager.h"

#include <algorithm>

#include "drivercontrol/status_text.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {

bool is_pending(uint32_t state)
{
    using namespace platform::service;
    return state == start_pending || state == stop_pending || state == continue_pending ||
           state == pause_pending;
}

// How many sleeps of `interval` fit in `bound` (at least one), so virtual time is exact.
uint32_t passes(uint32_t bound_ms, uint32_t interval_ms)
{
    return std::max<uint32_t>(1, bound_ms / std::max<uint32_t>(1, interval_ms));
}

// Opens the service with `access` through a manager handle that is closed again at once; 0, or the
// failing step's code with its text in `status_text`.
uint32_t open_service_alone(SCManager& scm, uint32_t access, std::u16string& status_text)
{
    uint32_t code = scm.OpenManager();
    if (code == 0) {
        code = scm.OpenSvc(access);
        scm.CloseMan();
    }
    if (code != 0) status_text = scm.getStatus();
    return code;
}

} // namespace

Manager::Manager(const std::u16string& service, const std::u16string& display, const std::u16string& device)
    : device_name(device), service_name(service), display_name(display)
{
    scm.init(service_name, display_name);
}

Manager::~Manager()
{
    if (notifier) {
        notifier->Stop();
        delete notifier;
        notifier = nullptr;
    }
    if (tester) {
        // The tester's destructor stops it: one more bounded wait for a worker still inside a
        // request, not two. A worker that did not end is then detached; what it still uses is
        // owned by the worker itself, so freeing the tester here frees nothing under it.
        delete tester;
        tester = nullptr;
    }
    Detach();
}

void Manager::Czekaj(uint32_t milisekundy) { platform::sync().sleep(milisekundy); }

// ---------------------------------------------------------------------------------------------
// Control device

bool Manager::IsAttached() const { return hDriver != invalid_handle; }

bool Manager::Attach(std::u16string& status_text)
{
    if (IsAttached()) return true;
    platform::Handle h = platform::null_handle;
    const platform::Error e =
        platform::devices().open(device_name, DRIVER_DEVICE_ACCESS, 0 /* no sharing */, 0, h);
    if (e == 0 && h != platform::null_handle && h != invalid_handle) {
        hDriver = h;
        return true;
    }
    const uint32_t code = e != 0 ? e : platform::err::invalid_handle;
    status_text = err_text(u"Driver not open", code);
    SetLastLibraryError(code);
    return false;
}

bool Manager::Detach()
{
    std::u16string ignored;
    return Detach(ignored);
}

bool Manager::Detach(std::u16string& status_text)
{
    if (!IsAttached()) return true;
    if (const platform::Error e = platform::devices().close(hDriver)) {
        status_text = err_text(u"Driver handle not closed", e);
        SetLastLibraryError(e);
        return false;
    }
    hDriver = invalid_handle;
    return true;
}

uint32_t Manager::SendSimple(uint32_t code, std::u16string& status_text)
{
    if (!Attach(status_text)) return GetLastLibraryError();
    uint32_t returned = 0;
    if (const platform::Error e = platform::devices().control(hDriver, code, nullptr, 0, nullptr, 0, returned)) {
        status_text = operation_fail_text(e);
        return e;
    }
    return 0;
}

uint32_t Manager::ClearAcceptedNameList(std::u16string& status_text)
{
    return SendSimple(IOCTL_CLEAR_NAME_LIST, status_text);
}

uint32_t Manager::ClearAcceptedTypeList(std::u16string& status_text)
{
    return SendSimple(IOCTL_CLEAR_TYPE_LIST, status_text);
}

uint32_t Manager::SetHubsAccept(bool onoff, ConfigTypes mode, std::u16string& status_text)
{
    return SetMainOption(mode, onoff ? IOCTL_HUBS_ACCEPT_ON : IOCTL_HUBS_ACCEPT_OFF,
                         OPTION_HUBS_ALWAYS_ACCEPTED, onoff, FILES_AND_CACHE_MODE_1, status_text);
}

// ---------------------------------------------------------------------------------------------
// Service lifecycle

uint32_t Manager::Install(uint32_t waitForPending, const std::u16string& filepath, const std::u16string& cfgFile,
                          const std::u16string& admittancesFolder, uint32_t startType, const char16_t* grupa,
                          const VardoConfig* cfg, const AdmittanceList* admitts, std::u16string& status_text,
                          bool active, void* context, StateCallback callBack)
{
    VardoConfig local;
    if (cfg) {
        local = *cfg;
        if (admitts) local.admittances = *admitts;
    } else {
        SetDefaultVardoConfig(local, admitts);
    }

    uint32_t code = 0;
    try {
        if ((code = scm.OpenManager()) != 0) {
            status_text = scm.getStatus();
            return code;
        }
        if ((code = scm.CreateSvc(startType, filepath, grupa)) != 0) {
            status_text = scm.getStatus();
            scm.CloseMan();
            if (code == platform::err::service_exists) {
                // An install cut short after the service was created leaves no "ConfigFilePath";
                // without the values the driver and every later start stay unconfigured.
                std::u16string path, ignored;
                if (GetConfigRegSzValue(u"ConfigFilePath", path, ignored) == platform::err::file_not_found)
                    WriteInstallFiles(cfgFile, admittancesFolder, active, local, ignored);
            }
            return code;
        }
        if (waitForPending != 0) {
            const uint32_t limit = passes(install_wait_ms, waitForPending);
            uint32_t pass = 0;
            while ((code = scm.OpenSvc(platform::service::query_status)) != 0) {
                if (callBack) callBack(code, context);
                if (pass++ == limit) {
                    status_text = scm.getStatus();
                    scm.CloseMan();
                    return code;
                }
                Czekaj(waitForPending);
            }
            scm.CloseSvc();
        }
        scm.CloseMan();
        code = WriteInstallFiles(cfgFile, admittancesFolder, active, local, status_text);
        return code;
    } catch (const std::u16string& thrown) {
        status_text = thrown;
        scm.CloseSvc();
        scm.CloseMan();
        return code;
    }
}

uint32_t Manager::WriteInstallFiles(const std::u16string& cfgFile, const std::u16string& admittancesFolder,
                                    bool active, const VardoConfig& cfg, std::u16string& status_text)
{
    if (const uint32_t e = SaveRegistryValues(cfgFile, admittancesFolder, active, status_text)) {
        scm.CloseSvc();
        scm.CloseMan();
        return e;
    }
    return SaveConfig(cfg, status_text);
}

uint32_t Manager::Uninstall(uint32_t waitForPending, std::u16string& status_text, void* context,
                            StateCallback callBack)
{
    uint32_t code = 0;
    try {
        if ((code = scm.OpenManager()) != 0) {
            status_text = scm.getStatus();
            return code;
        }
        if ((code = scm.OpenSvc(platform::service::del)) != 0) {
            status_text = scm.getStatus();
            scm.CloseMan();
            return code;
        }
        code = scm.DeleteSvc();
        scm.CloseSvc();
        if (code != 0) {
            status_text = scm.getStatus();
            scm.CloseMan();
            return code;
        }
        if (waitForPending != 0) {
            const uint32_t limit = passes(uninstall_wait_ms, waitForPending);
            uint32_t pass = 0;
            while (scm.OpenSvc(platform::service::query_status) != platform::err::service_does_not_exist) {
                if (callBack) callBack(0, context);
                scm.CloseSvc();
                if (pass++ == limit) {
                    code = platform::err::service_marked_for_delete;
                    status_text = SCManager::StatusText(SCManager::Operation::DeleteSvc, code);
                    scm.CloseMan();
                    return code;
                }
                Czekaj(waitForPending);
            }
        }
        scm.CloseMan();
        return 0;
    } catch (const std::u16string& thrown) {
        status_text = thrown;
        scm.CloseSvc();
        scm.CloseMan();
        return code;
    }
}

uint32_t Manager::PollPending(uint32_t waitForPending, uint32_t bound_ms, std::u16string& status_text,
                              void* context, StateCallback callBack)
{
    const uint32_t limit = passes(bound_ms, waitForPending);
    platform::ServiceStatus state;
    uint32_t code = scm.QueryStatus(state);
    uint32_t pass = 0;
    bool timed_out = false;
    while (code == 0 && is_pending(state.current_state)) {
        if (pass >= limit) {
            timed_out = true;
            break;
        }
        if (callBack) callBack(state.current_state, context);
        Czekaj(waitForPending);
        ++pass;
        code = scm.QueryStatus(state);
    }
    if (code != 0) {
        status_text = scm.getStatus();
        return code;
    }
    if (callBack) callBack(state.current_state, context);
    if (timed_out) return platform::err::service_request_timeout;
    return 0;
}

uint32_t Manager::RunAndPoll(SCManager::Operation op, uint32_t bound_ms, uint32_t waitForPending,
                            std::u16string& status_text, void* context, StateCallback callBack)
{
    const bool start = op == SCManager::Operation::StartSvc;
    uint32_t code = 0;
    try {
        const uint32_t access = (start ? platform::service::start : platform::service::stop) |
                                platform::service::query_status;
        if ((code = open_service_alone(scm, access, status_text)) != 0) return code;
        platform::ServiceStatus state;
        code = start ? scm.StartSvc() : scm.ControlSvc(platform::service::control_stop, state);
        if (code != 0) {
            status_text = scm.getStatus();
            scm.CloseSvc();
            return code;
        }
        if (waitForPending != 0) {
            code = PollPending(waitForPending, bound_ms, status_text, context, callBack);
            if (code == platform::err::service_request_timeout) status_text = SCManager::StatusText(op, code);
        }
        scm.CloseSvc();
        return code;
    } catch (const std::u16string& thrown) {
        status_text = thrown;
        scm.CloseSvc();
        scm.CloseMan();
        return code;
    }
}

uint32_t Manager::Start(uint32_t waitForPending, std::u16string& status_text, void* context, StateCallback callBack)
{
    return RunAndPoll(SCManager::Operation::StartSvc, start_wait_ms, waitForPending, status_text, context, callBack);
}

uint32_t Manager::Stop(uint32_t waitForPending, std::u16string& status_text, void* context, StateCallback callBack)
{
    if (!Detach(status_text)) return GetLastLibraryError();
    return RunAndPoll(SCManager::Operation::ControlSvc, stop_wait_ms, waitForPending, status_text, context, callBack);
}

} // namespace ZelmUsbVardoManager
