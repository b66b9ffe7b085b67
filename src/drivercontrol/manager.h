// Manager: the facade of the USB-control library, the only thing the host calls.
//
// It installs, starts, stops and uninstalls the kernel filter driver as a service, opens and
// closes the driver's control device, sends the driver its simple commands, writes the driver's
// configuration file, admittance folder and registry values, runs the user-test channel and lists
// the USB devices present.
//
// Every operation that returns a code returns 0 or a 32-bit Windows error code and, on failure,
// puts a message into the caller's `status_text` (left untouched on success). Attach and Detach
// answer with a boolean and leave the code in GetLastLibraryError().
//
// Waits: `waitForPending` is a poll interval in milliseconds (0: no waiting); every wait sleeps
// through the platform and is bounded in passes, so the time it can take is exact:
// - Install waits for the new service to open: at most 10 s, then the last open's code and text.
// - Start and Stop poll a pending service: at most 30 s (Start) and 5 s (Stop), then 1053 with
//   its text of StartSvc ("Operacja startowania serwisu nie zakończyła się w wymaganym czasie")
//   or of ControlSvc ("Serwis nie przyjął polecenia w wymaganym czasie").
// - Uninstall waits for the service to go: at most 10 s, then 1072 "Serwis jest w trakcie usuwania".
// The host's whole stop (user test off, lists cleared, Stop, Uninstall) fits its 30 s watchdog.
//
// Codes the facade makes itself: 1 "User Test already started", 87 "Callback function is NULL",
// 160 an option outside 1..5 (or a files-and-cache mode outside 0..3, which would leave a file
// that no later read accepts), 592 a configuration document or registry value of the wrong shape,
// 1053 and 1072 the bounds above, 1920 a configuration file whose test for presence failed.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "drivercontrol/admittance.h"
#include "drivercontrol/device_tester.h"
#include "drivercontrol/driver_interface.h"
#include "drivercontrol/last_error.h"
#include "drivercontrol/scmanager.h"
#include "drivercontrol/vardo_config.h"
#include "json/holder/json_holder.h"
#include "platform/errors.h"

namespace ZelmUsbVardoManager {

// Called while the facade waits for the service; what `code` means depends on the operation
// (Install: the failed open's error; Start, Stop: the service state; Uninstall: 0 each pass).
using StateCallback = void (*)(uint32_t code, void* context);

// One hub port as the inventory reads it (usbinventory).
class UsbNodeConnectionInformationEx;

class Manager {
public:
    // INVALID_HANDLE_VALUE: the control device is not attached.
    static constexpr platform::Handle invalid_handle = ~platform::Handle(0);

    // Bounds of the waits, in milliseconds. A wait polls every `waitForPending` ms, so it makes
    // bound / interval polls (at least one) and sleeps for no more than the bound.
    static constexpr uint32_t install_wait_ms = 10000;
    static constexpr uint32_t start_wait_ms = 30000;
    static constexpr uint32_t stop_wait_ms = 5000;
    static constexpr uint32_t uninstall_wait_ms = 10000;

    Manager(const std::u16string& service_name, const std::u16string& display_name,
            const std::u16string& device_name);
    // Stops and deletes the notifier and the tester (a worker that does not end within the
    // tester's bound is detached; what it still uses it owns itself, so nothing is freed under it),
    // then detaches; the service handles close with the service manager object.
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // --- lifecycle ------------------------------------------------------------------------------
    // Creates the kernel-driver service, then writes the registry values and the configuration
    // file. 1073 when the service exists; if its "ConfigFilePath" is then missing (an install cut
    // short), the registry values and the file are written and 1073 is still returned.
    uint32_t Install(uint32_t waitForPending, const std::u16string& filepath,
                     const std::u16string& cfgFile, const std::u16string& admittancesFolder,
                     uint32_t startType, const char16_t* grupa, const VardoConfig* cfg,
                     const AdmittanceList* admitts, std::u16string& status_text, bool active,
                     void* context, StateCallback callBack);
    uint32_t Uninstall(uint32_t waitForPending, std::u16string& status_text, void* context,
                       StateCallback callBack);
    // 1056 for a running service, without a callback; one callback per pending poll, then one
    // with the final state. A service that ends stopped still gives 0.
    uint32_t Start(uint32_t waitForPending, std::u16string& status_text, void* context,
                   StateCallback callBack);
    // Detaches first; returns the code of whichever step failed.
    uint32_t Stop(uint32_t waitForPending, std::u16string& status_text, void* context,
                  StateCallback callBack);

    bool IsAttached() const;
    bool Attach(std::u16string& status_text);
    bool Detach();
    bool Detach(std::u16string& status_text);
    uint32_t ClearAcceptedNameList(std::u16string& status_text);
    uint32_t ClearAcceptedTypeList(std::u16string& status_text);
    uint32_t SetHubsAccept(bool onoff, ConfigTypes mode, std::u16string& status_text);

    // Sleeps through the platform.
    static void Czekaj(uint32_t milisekundy);

    // --- configuration --------------------------------------------------------------------------
    static void SetDefaultVardoConfig(VardoConfig& cfg, const AdmittanceList* admitts);
    uint32_t SaveConfig(const VardoConfig& cfg, std::u16string& status_text);
    // The driver first (mode 0 or 2), then the file (mode 1 or 2); a failed driver call leaves
    // the file untouched. A missing file is rebuilt from the defaults. 160 for an option outside
    // 1..5, before anything is sent or written.
    uint32_t SetMainOption(ConfigTypes mode, uint32_t io_code, OptionID option, bool onoff,
                           FilesAndCacheMode racm, std::u16string& status_text);
    static uint32_t ValidateConfigJson(const JsonHolder& jh, std::u16string& status_text);
    static uint32_t ValidateBoolOptional(const JsonHolder& jh, const std::u16string& optName);
    uint32_t SaveRegistryValues(const std::u16string& cfgFile, const std::u16string& admittancesFolder,
                                bool active, std::u16string& status_text);
    // A REG_SZ value of the service key (REG_EXPAND_SZ and other types: 592).
    uint32_t GetConfigRegSzValue(const std::u16string& valName, std::u16string& result,
                                 std::u16string& status_text);
    uint32_t GetConfigFile(std::u16string& result, std::u16string& status_text);
    uint32_t GetAdmittancesFolder(std::u16string& FullPathName, std::u16string& status_text, bool create);
    // The service's key below HKEY_LOCAL_MACHINE.
    std::u16string ServiceKeyPath() const;

    // --- user test ------------------------------------------------------------------------------
    // 1 when already on, 87 for a null callback. When the driver answers the registration with
    // 31 (a registration left by a run that crashed), the stale one is unregistered and the
    // registration made once more; a code that stays nonzero is a failure. `outcome`, when given,
    // is told what the driver made of each verdict (device_tester.h).
    uint32_t UserTest_on(UserTestCallback fun, uint64_t WaitTimeIn100nanoSecs, void* context,
                         bool defaultAccepted, std::u16string& status_text, UserTestOutcome outcome = nullptr);
    // Stops the channel; without one, still sends the off command to the driver. When the worker
    // does not end in time (258) the tester is kept, and a later call tries again.
    uint32_t UserTest_off(std::u16string& status_text);
    bool UserTestOn() const { return tester != nullptr; }

    // --- USB devices present (defined in usbinventory) -------------------------------------------
    static uint32_t GetCurrentUSBDevicesJSONListText(int32_t hostControllers, std::u16string& text,
                                                     std::u16string& status_text);
    static uint32_t GetCurrentUSBDevicesJSONList(int32_t hostControllers, JsonHolder& list,
                                                 std::u16string& status_text);
    static uint32_t GetUSBDeviceJSON(const std::map<std::u16string, uint32_t>& driverKeys, uint32_t port,
                                     UsbNodeConnectionInformationEx& connection, JsonHolder& list,
                                     const std::map<std::u16string, std::u16string>& driveLetters,
                                     std::u16string& status_text);

protected:
    // Sends a control code without buffers on the attached device (attaching on demand):
    // 0, or the code with "Operation fail; err=0x%08lX" (the Attach text when attaching fails).
    uint32_t SendSimple(uint32_t code, std::u16string& status_text);
    // Writes the registry values and the configuration file of an install.
    uint32_t WriteInstallFiles(const std::u16string& cfgFile, const std::u16string& admittancesFolder,
                               bool active, const VardoConfig& cfg, std::u16string& status_text);
    // Polls a pending service (Start, Stop) every `waitForPending` ms for at most `bound_ms`,
    // reporting each pending state to `callBack`: 0 once it is no longer pending, 1053 when it
    // still is at the bound, or the code of a failed QueryStatus with its text.
    uint32_t PollPending(uint32_t waitForPending, uint32_t bound_ms, std::u16string& status_text,
                         void* context, StateCallback callBack);
    // Start and Stop: opens the service for `op` (StartSvc or ControlSvc with the stop control),
    // runs it, and polls while it is pending when `waitForPending` is not 0, for at most `bound_ms`.
    uint32_t RunAndPoll(SCManager::Operation op, uint32_t bound_ms, uint32_t waitForPending,
                        std::u16string& status_text, void* context, StateCallback callBack);

    DeviceTester* tester = nullptr;
    NotifySender* notifier = nullptr;
    std::u16string device_name;
    std::u16string service_name;
    std::u16string display_name;
    platform::Handle hDriver = invalid_handle;
    SCManager scm;
};

} // namespace ZelmUsbVardoManager
