#include "policy/usb_settings.h"

UsbSettings g_settings;

std::recursive_mutex& settings_lock()
{
    static std::recursive_mutex lock;
    return lock;
}
