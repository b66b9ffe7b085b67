#include "host/app.h"
#include "host/settings.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "policy/present.h"

void ensure_initial_list()
{
    const std::u16string path = get_path(u"current_usb");
    platform::Error error = 0;
    if (platform::files().attributes(path, error) != platform::attribute::invalid) return;
    save_current_usb_list(u"", true);
    load_initial_rules();
}
