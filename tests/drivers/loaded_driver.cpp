// The parts of LoadedDriver both legs share: the service key's values, waiting for the device.
#include "loaded_driver.h"

#include <fstream>

#include "../support/fresh_machine.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace driver_test {

std::u16string driver_image()
{
    return platform_test::built_program(ZELMUSB_DRIVER_IMAGE);
}

bool wait_device(bool gone, unsigned ms)
{
    for (unsigned waited = 0;; waited += 20) {
        platform::Handle h = platform::null_handle;
        const platform::Error e = platform::devices().open(u"\\\\.\\ZelmUsb", 0x1F01FF, 0, 0, h);
        if (!e) platform::devices().close(h);
        if (gone ? e == platform::err::file_not_found : e == platform::err::success) return true;
        if (waited >= ms) return false;
        platform::sync().sleep(20);
    }
}

// Writes the configuration file and names it in the service key, as the program's installation
// does.
platform::Error write_config(const std::filesystem::path& file, const std::u16string& windows_path,
                             const std::string& json)
{
    const std::u16string text = text::from_utf8(json);
    std::ofstream out(file, std::ios::binary);
    for (char16_t c : text) out.put(char(c & 0xFF)).put(char(c >> 8));
    out.close();
    platform::Handle key = platform::null_handle;
    if (platform::Error e = platform::registry().open_key(u"SYSTEM\\CurrentControlSet\\services\\ZelmUsb",
                                                          platform::key_access::set_value, key))
        return e;
    std::vector<uint8_t> data;
    for (char16_t c : windows_path) data.push_back(uint8_t(c)), data.push_back(uint8_t(c >> 8));
    data.push_back(0), data.push_back(0);
    const platform::Error e = platform::registry().set_value(key, u"ConfigFilePath", platform::reg_type::sz, data);
    platform::registry().close_key(key);
    return e;
}

} // namespace driver_test
