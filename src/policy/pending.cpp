// The present devices come from the driver facade, which joins the program with the USB inventory;
// until then there is never a facade, so the list writers have nothing to write.
#include "host/app.h"
#include "host/trace.h"
#include "policy/present.h"

void save_current_usb_list(const std::u16string& path, bool skip_drives)
{
    // Without the facade there is no list, and nothing is written.
}

void write_usb_list_to(const std::u16string& path)
{
    _COUT(u"USB device list: not available in this build.");
}
