#include "host/paths.h"

#include "host/files.h"
#include "host/trace.h"

namespace {
std::u16string traced(const std::u16string& key, const std::u16string& path)
{
    _COUT(key + u" : " + path);
    return path;
}

// <data>\zelmusb followed by "\<file>", the folder created.
std::u16string in_zelmusb_folder(const char16_t* file)
{
    const std::u16string folder = suite_data_folder(u"zelmusb");
    EnsureFolders(folder);
    return folder + u"\\" + file;
}

std::u16string zelmusb_subfolder(const char16_t* sub)
{
    std::u16string folder = joined(suite_data_folder(), sub);
    EnsureFolders(folder);
    return folder;
}
} // namespace

std::u16string get_path(const std::u16string& key)
{
    if (key == u"new_usb_device_file_path") return joined(suite_data_folder(), u"tmp\\usbdevice.json");
    if (key == u"current_usb") return traced(key, in_zelmusb_folder(u"current_usb.json"));
    if (key == u"current_usb_internal") return traced(key, in_zelmusb_folder(u"current_usb_internal.json"));
    if (key == u"config") return traced(key, in_zelmusb_folder(u"config.json"));
    if (key == u"accept") return traced(key, zelmusb_subfolder(u"zelmusb\\accept"));
    if (key == u"internal_accept") return traced(key, zelmusb_subfolder(u"zelmusb\\internal_accept"));
    if (key == u"sys") return traced(key, program_folder(u"zelmusb.sys"));
    return {};
}
