// The service control manager, for exactly one service: the kernel filter driver.
//
// Keeps the manager handle and one service handle. Each operation returns 0 or the Windows error
// code of the failed call; after a failure `getStatus()` holds a Polish text for that code (the
// operation's own table, or "<operation's fallback>; kod błędu=<code>" for a code outside it).
// Successes leave the text as it was. No waiting here: Manager polls.
//
// Handle checks made before any call: 6 with "Błędny uchwyt SCManager-a" (CreateSvc, OpenSvc
// without the manager) or "Błędny uchwyt serwisu" (StartSvc, ControlSvc, QueryStatus, DeleteSvc
// without a service). CreateSvc and OpenSvc close an open service handle first. CloseSvc and
// CloseMan of a closed handle give 0; a failed close keeps the handle and sets no text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/services.h"

namespace ZelmUsbVardoManager {

class SCManager {
public:
    SCManager();
    virtual ~SCManager();
    SCManager(const SCManager&) = delete;
    SCManager& operator=(const SCManager&) = delete;

    void init(const std::u16string& service_name, const std::u16string& display_name);

    // OpenSCManagerW with SC_MANAGER_ALL_ACCESS; a second call keeps the first handle.
    uint32_t OpenManager();
    // CreateServiceW: SERVICE_ALL_ACCESS, kernel driver, `startType`, SERVICE_ERROR_NORMAL, the
    // image path as given, the load order group (null: none). 1073 when it exists.
    uint32_t CreateSvc(uint32_t startType, const std::u16string& sysfilename, const char16_t* grupa);
    uint32_t OpenSvc(uint32_t dwDesiredAccess);
    uint32_t StartSvc();
    uint32_t ControlSvc(uint32_t dwControl, platform::ServiceStatus& lpServiceStatus);
    uint32_t QueryStatus(platform::ServiceStatus& ssp);
    // DeleteService; the handle stays open.
    uint32_t DeleteSvc();
    uint32_t CloseSvc();
    uint32_t CloseMan();
    const std::u16string& getStatus() const { return status; }

    bool ManagerOpen() const { return hSCManager != platform::null_handle; }
    bool ServiceOpen() const { return hService != platform::null_handle; }

    // The text an operation leaves for `code` (exposed for the table tests).
    enum class Operation { OpenManager, CreateSvc, OpenSvc, StartSvc, ControlSvc, QueryStatus, DeleteSvc };
    static std::u16string StatusText(Operation op, uint32_t code);

private:
    uint32_t Fail(Operation op, uint32_t code);

    platform::Handle hSCManager = platform::null_handle;
    platform::Handle hService = platform::null_handle;
    std::u16string service_name;
    std::u16string display_name;
    std::u16string status;
};

} // namespace ZelmUsbVardoManager
