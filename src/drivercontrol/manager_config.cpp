// Manager: the driver's configuration file, its registry values and single options.
#include <cstring>

#include "drivercontrol/json_util.h"
#include "drivercontrol/manager.h"
#include "drivercontrol/status_text.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "text/text.h"

namespace ZelmUsbVardoManager {

namespace {

using platform::err::bad_arguments;
using platform::err::bad_data;
using platform::err::cant_access_file;
// A configuration file is five members; anything this large is not one, and is not read whole.
constexpr uint64_t max_config_file = 1u << 20;

const char16_t* option_key(OptionID option)
{
    switch (option) {
    case OPTION_CAPTURE: return u"capture";
    case OPTION_FILTER: return u"filter";
    case OPTION_NOTIFY_HANDLE: return u"notify_handle";
    case OPTION_FILES_AND_CACHE_MODE: return u"filesAndCacheMode";
    case OPTION_HUBS_ALWAYS_ACCEPTED: return u"hubs_always_accepted";
    }
    return nullptr;
}

JsonHolder default_document()
{
    JsonHolder doc = JsonHolder::CreateObject();
    json_util::AddMember(doc, u"capture", JsonHolder(true));
    json_util::AddMember(doc, u"hubs_always_accepted", JsonHolder(false));
    json_util::AddMember(doc, u"filter", JsonHolder(true));
    json_util::AddMember(doc, u"notify_handle", JsonHolder(true));
    json_util::AddMember(doc, u"filesAndCacheMode", JsonHolder(1.0));
    return doc;
}

// The size of an existing file, to refuse one far too large before reading it.
platform::Error file_size(const std::u16string& path, uint64_t& size)
{
    platform::Files& files = platform::files();
    platform::Handle h = platform::null_handle;
    if (const platform::Error e =
            files.open(path, platform::access::generic_read,
                       platform::share::read | platform::share::write | platform::share::del,
                       platform::disposition::open_existing, platform::attribute::normal, h))
        return e;
    const platform::Error e = files.size(h, size);
    files.close(h);
    return e;
}

} // namespace

VardoConfig& VardoConfig::operator=(const VardoConfig& other)
{
    capture = other.capture;
    filter = other.filter;
    notify_handle = other.notify_handle;
    hubs_always_accepted = other.hubs_always_accepted;
    filesAndCacheMode = other.filesAndCacheMode;
    admittances = other.admittances;
    return *this;
}

std::u16string Manager::ServiceKeyPath() const { return u"SYSTEM\\CurrentControlSet\\services\\" + service_name; }

void Manager::SetDefaultVardoConfig(VardoConfig& cfg, const AdmittanceList* admitts)
{
    const VardoConfig defaults;
    cfg.capture = defaults.capture;
    cfg.filter = defaults.filter;
    cfg.notify_handle = defaults.notify_handle;
    cfg.hubs_always_accepted = defaults.hubs_always_accepted;
    cfg.filesAndCacheMode = defaults.filesAndCacheMode;
    if (admitts)
        cfg.admittances = *admitts;
    else
        cfg.admittances.Clear();
}

uint32_t Manager::SaveConfig(const VardoConfig& cfg, std::u16string& status_text)
{
    std::u16string path;
    if (const uint32_t e = GetConfigFile(path, status_text)) return e;
    JsonHolder doc;
    try {
        doc = JsonHolder::CreateObject();
        json_util::AddMember(doc, u"capture", JsonHolder(cfg.capture));
        json_util::AddMember(doc, u"filter", JsonHolder(cfg.filter));
        json_util::AddMember(doc, u"notify_handle", JsonHolder(cfg.notify_handle));
        json_util::AddMember(doc, u"hubs_always_accepted", JsonHolder(cfg.hubs_always_accepted));
        json_util::AddMember(doc, u"filesAndCacheMode", JsonHolder(double(uint16_t(cfg.filesAndCacheMode))));
    } catch (const JsonHolderException& e) {
        status_text = exception_text(e);
        return e.code;
    }
    if (const uint32_t e = doc.SaveToFile(path, status_text)) return e;
    if (cfg.admittances.Empty()) return 0;

    std::u16string folder;
    if (const uint32_t e = GetAdmittancesFolder(folder, status_text, false)) return e;
    if (const uint32_t e = AdmittanceList::ClearDirectory(folder, status_text)) return e;
    return cfg.admittances.SaveToDirectory(folder, status_text);
}

uint32_t Manager::SetMainOption(ConfigTypes mode, uint32_t io_code, OptionID option, bool onoff,
                                FilesAndCacheMode racm, std::u16string& status_text)
{
    const char16_t* key = option_key(option);
    // Refused before anything is sent or written: an unknown option, or a mode the driver and the
    // file's readers would both reject later.
    if (!key) return bad_arguments;
    if (option == OPTION_FILES_AND_CACHE_MODE && uint16_t(racm) > 3) return bad_arguments;

    if (mode == CONFIG_DRIVER || mode == CONFIG_DRIVER_AND_FILE) {
        if (!Attach(status_text)) return GetLastLibraryError();
        uint32_t returned = 0;
        platform::Error e = 0;
        if (option == OPTION_FILES_AND_CACHE_MODE) {
            const uint32_t value = uint16_t(racm);
            uint8_t input[4];
            std::memcpy(input, &value, sizeof input);
            e = platform::devices().control(hDriver, IOCTL_SET_FILES_AND_CACHE_MODE, input, sizeof input,
                                            nullptr, 0, returned);
        } else {
            e = platform::devices().control(hDriver, io_code, nullptr, 0, nullptr, 0, returned);
        }
        if (e != 0) {
            status_text = operation_fail_text(e);
            return e;
        }
    }
    if (mode != CONFIG_FILE && mode != CONFIG_DRIVER_AND_FILE) return 0;

    std::u16string path;
    if (const uint32_t e = GetConfigFile(path, status_text)) return e;
    JsonHolder doc;
    bool is_directory = false;
    const int stat_error = platform::files().stat(path, is_directory);
    if (stat_error == 0) {
        // A file far too large is refused before it is read. One that exists but cannot be opened
        // (a folder, a file another program holds without sharing) is left to the load, which
        // returns its own error and text.
        uint64_t size = 0;
        if (!is_directory && file_size(path, size) == 0 && size > max_config_file) {
            status_text = err_text(u"Bad data in config file", bad_data);
            return bad_data;
        }
        if (const uint32_t e = JsonHolder::LoadFromFile(path, doc, status_text)) return e;
        if (const uint32_t e = ValidateConfigJson(doc, status_text)) return e;
    } else if (stat_error == 2) { // ENOENT
        try {
            doc = default_document();
        } catch (const JsonHolderException& e) {
            status_text = exception_text(e);
            return e.code;
        }
    } else {
        status_text = operation_fail_text(cant_access_file);
        return cant_access_file;
    }

    try {
        if (option == OPTION_FILES_AND_CACHE_MODE)
            json_util::SetMember(doc, key, JsonHolder(double(uint16_t(racm))));
        else
            json_util::SetMember(doc, key, JsonHolder(onoff));
    } catch (const JsonHolderException& e) {
        status_text = exception_text(e);
        return e.code;
    }
    return doc.SaveToFile(path, status_text);
}

uint32_t Manager::ValidateConfigJson(const JsonHolder& jh, std::u16string& status_text)
{
    try {
        uint32_t result = 0;
        if (jh.GetTyp() != JsonHolderType::Object) result = bad_data;
        for (const char16_t* name : {u"capture", u"filter", u"notify_handle", u"hubs_always_accepted"}) {
            if (result != 0) break;
            result = ValidateBoolOptional(jh, name);
        }
        if (result == 0 && jh.HasField(u"filesAndCacheMode")) {
            const JsonHolder& mode = jh[u"filesAndCacheMode"];
            if (mode.GetTyp() != JsonHolderType::Number || !json_util::ExactInteger(mode.NumberVal(), 3))
                result = bad_data;
        }
        if (result != 0) status_text = err_text(u"Bad data in config file", result);
        return result;
    } catch (const JsonHolderException& e) {
        status_text = exception_text(e);
        return e.code;
    }
}

uint32_t Manager::ValidateBoolOptional(const JsonHolder& jh, const std::u16string& optName)
{
    if (!jh.HasField(optName)) return 0;
    return json_util::IsBoolLike(jh[optName]) ? 0 : bad_data;
}

uint32_t Manager::SaveRegistryValues(const std::u16string& cfgFile, const std::u16string& admittancesFolder,
                                     bool active, std::u16string& status_text)
{
    platform::Registry& registry = platform::registry();
    platform::Handle key = platform::null_handle;
    if (const platform::Error e = registry.open_key(ServiceKeyPath(), platform::key_access::set_value, key)) {
        status_text = err_text(u"Nieudane otwarcie klucza rejestru", e);
        return e;
    }
    auto sz = [](const std::u16string& s) {
        std::vector<uint8_t> bytes = text::to_utf16le(s);
        bytes.push_back(0);
        bytes.push_back(0);
        return bytes;
    };
    const uint32_t flag = active ? 1 : 0;
    uint8_t dword[4];
    std::memcpy(dword, &flag, sizeof dword);
    platform::Error e = registry.set_value(key, u"ConfigFilePath", platform::reg_type::sz, sz(cfgFile));
    if (e == 0) e = registry.set_value(key, u"AdmittancesFolderPath", platform::reg_type::sz, sz(admittancesFolder));
    if (e == 0) e = registry.set_value(key, u"ServiceActive", platform::reg_type::dword, dword);
    registry.close_key(key);
    if (e != 0) {
        status_text = err_text(u"Nieuane zapisanie danych do rejestru", e);
        return e;
    }
    return 0;
}

uint32_t Manager::GetConfigRegSzValue(const std::u16string& valName, std::u16string& result,
                                      std::u16string& status_text)
{
    platform::Registry& registry = platform::registry();
    platform::Handle key = platform::null_handle;
    const std::u16string path = u"System\\CurrentControlSet\\services\\" + service_name;
    if (const platform::Error e = registry.open_key(path, platform::key_access::read, key)) {
        status_text = err_text(u"Nieudane otwarcie klucza rejestru", e);
        return e;
    }
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const platform::Error e = registry.query_value(key, valName, type, data);
    registry.close_key(key);
    if (e != 0) {
        status_text = err_text(u"Nieuane pobranie danych o wartości z rejestru", e);
        return e;
    }
    if (type != platform::reg_type::sz) {
        status_text = err_text(u"Wartośc rejestru jest niewłasciwego typu", bad_data);
        return bad_data;
    }
    // A value stored without its terminator still ends at its last whole code unit.
    const std::u16string stored = text::from_utf16le(std::span<const uint8_t>(data.data(), data.size() & ~size_t(1)));
    result = stored.substr(0, stored.find(u'\0'));
    return 0;
}

uint32_t Manager::GetConfigFile(std::u16string& result, std::u16string& status_text)
{
    return GetConfigRegSzValue(u"ConfigFilePath", result, status_text);
}

uint32_t Manager::GetAdmittancesFolder(std::u16string& FullPathName, std::u16string& status_text, bool create)
{
    std::u16string path;
    if (const uint32_t e = GetConfigRegSzValue(u"AdmittancesFolderPath", path, status_text)) return e;
    if (create) {
        const platform::Error e = platform::files().create_directory(path);
        if (e != 0 && e != platform::err::already_exists) {
            status_text = err_text(u"Nieudane zapewnienie obecności katalogu", e);
            return e;
        }
    }
    FullPathName = path;
    return 0;
}

} // namespace ZelmUsbVardoManager
