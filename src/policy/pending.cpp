// The device-list writer and the rules test join the program with the device policy and the USB
// inventory; until then these modes say so in the trace and do nothing.
#include "host/app.h"
#include "host/trace.h"

void write_usb_list_to(const std::u16string& path)
{
    _COUT(u"USB device list: not available in this build.");
}

void test_rules_file(const std::u16string& path)
{
    _COUT(u"Rules test: not available in this build.");
}
