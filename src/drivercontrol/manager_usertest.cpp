// Manager: switching the user-test channel on and off.
#include "drivercontrol/manager.h"
#include "drivercontrol/status_text.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

uint32_t Manager::UserTest_on(UserTestCallback fun, uint64_t WaitTimeIn100nanoSecs, void* context,
                              bool defaultAccepted, std::u16string& status_text, UserTestOutcome outcome)
{
    if (tester) {
        status_text = u"User Test already started";
        return 1;
    }
    if (!fun) {
        status_text = u"Callback function is NULL";
        return platform::err::invalid_parameter;
    }
    auto created = std::make_unique<DeviceTester>(device_name, fun, WaitTimeIn100nanoSecs, defaultAccepted, context,
                                                    outcome);
    const uint32_t code = created->Start();
    if (code != 0) {
        status_text = operation_fail_text(code);
        return code;
    }
    tester = created.release();
    return 0;
}

uint32_t Manager::UserTest_off(std::u16string& status_text)
{
    if (tester) {
        const uint32_t code = tester->Stop();
        if (code != 0) {
            // Kept: its worker may still run, and a later call tries again.
            status_text = operation_fail_text(code);
            return code;
        }
        delete tester;
        tester = nullptr;
        return 0;
    }
    uint32_t code = 0;
    if (!Attach(status_text)) {
        code = GetLastLibraryError();
    } else {
        uint32_t returned = 0;
        code = platform::devices().control(hDriver, IOCTL_USER_TEST_OFF, nullptr, 0, nullptr, 0, returned);
    }
    if (code != 0) status_text = operation_fail_text(code);
    return code;
}

} // namespace ZelmUsbVardoManager
