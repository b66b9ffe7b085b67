// The present devices come from the USB inventory, which is not part of this build yet: the list
// writers and the start-up sweep say so and write nothing.
#include "host/app.h"
#include "host/driver_run.h"
#include "host/trace.h"
#include "policy/present.h"

void save_current_usb_list(const std::u16string& path, bool skip_drives)
{
    // Without the facade there is no list, and nothing is written; with it, the inventory is missing.
}

void write_usb_list_to(const std::u16string& path)
{
    const bool created = create_facade();
    _COUT(u"USB device list: not available in this build.");
    if (created) destroy_facade();
}

void eject_unlisted_devices()
{
    if (!facade_exists()) return;
    _COUT(u"Unknown devices sweep: not available in this build.");
}
