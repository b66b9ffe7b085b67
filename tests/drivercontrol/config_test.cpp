// The driver's configuration file, its registry values and single options, against the real
// registry and files (a fresh emulated machine on Linux, the Wine prefix under Wine), with a
// scripted service manager and driver.
#include <filesystem>

#include <gtest/gtest.h>

#include "drivercontrol/manager.h"
#include "files_support.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "reg_query.h"
#include "scripted_manager.h"

namespace {

using namespace ZelmUsbVardoManager;
using platform_test::TempFolder;

constexpr char16_t default_config[] =
    u"{\"capture\":true,\"filesAndCacheMode\":1,\"filter\":true,\"hubs_always_accepted\":false,\"notify_handle\":true}";

class ConfigTest : public dc_test::ScriptedManagerTest {
protected:
    TempFolder dir;
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\services\\" + name;
    const std::u16string cfg_path = dir.windows(u"config.json");
    const std::u16string folder = dir.windows(u"admittances");
    const std::filesystem::path cfg_file = dir.path() / "config.json";

    void TearDown() override { platform::registry().delete_tree(key); }

    // The service key, as the service control manager makes it for a new service.
    void make_key()
    {
        platform::Handle h = 0;
        ASSERT_EQ(platform::registry().create_key(key, platform::key_access::all_access, h), 0u);
        platform::registry().close_key(h);
    }
    void set_value(const std::u16string& value, uint32_t type, std::vector<uint8_t> bytes)
    {
        platform::Handle h = 0;
        ASSERT_EQ(platform::registry().create_key(key, platform::key_access::all_access, h), 0u);
        ASSERT_EQ(platform::registry().set_value(h, value, type, bytes), 0u);
        platform::registry().close_key(h);
    }
    std::pair<uint32_t, std::vector<uint8_t>> stored(const std::u16string& value)
    {
        platform::Handle h = 0;
        if (platform::registry().open_key(key, platform::key_access::read, h)) return {0xFFFFFFFF, {}};
        uint32_t type = 0;
        std::vector<uint8_t> data;
        const auto e = platform::registry().query_value(h, value, type, data);
        platform::registry().close_key(h);
        if (e) return {0xFFFFFFFF, {}};
        return {type, data};
    }
    static std::vector<uint8_t> sz(std::u16string_view s)
    {
        auto b = text::to_utf16le(s);
        b.push_back(0);
        b.push_back(0);
        return b;
    }
    uint32_t install(bool active = true)
    {
        make_key();
        return manager.Install(10, u"C:\\zelmusb\\zelmusb.sys", cfg_path, folder, 3, nullptr, nullptr, nullptr,
                               status, active, nullptr, nullptr);
    }
    // The raw bytes of the configuration file.
    std::string cfg_bytes() { return platform_test::read_text_file(cfg_file); }
    static std::string utf16le(std::u16string_view s)
    {
        const auto b = text::to_utf16le(s);
        return std::string(b.begin(), b.end());
    }
};

TEST_F(ConfigTest, InstallWritesTheRegistryValuesAndTheDefaultFile)
{
    ASSERT_EQ(install(), 0u) << text::to_utf8(status);
    EXPECT_EQ(cfg_bytes(), utf16le(default_config)) << "UTF-16LE, no byte-order mark, compact, name order";
    EXPECT_EQ(stored(u"ConfigFilePath"), std::make_pair(platform::reg_type::sz, sz(cfg_path)));
    EXPECT_EQ(stored(u"AdmittancesFolderPath"), std::make_pair(platform::reg_type::sz, sz(folder)));
    EXPECT_EQ(stored(u"ServiceActive"), std::make_pair(platform::reg_type::dword, std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "admittances")) << "no admittances: the folder is untouched";

    // Read back with the system's own tool.
    const dc_test::RegRun run = dc_test::reg_query(dir, "HKLM\\" + text::to_utf8(key));
#if defined(_WIN32) || defined(ZELMUSB_REG_TOOL)
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_TRUE(dc_test::has_line(run, "    ConfigFilePath    REG_SZ    " + text::to_utf8(cfg_path))) << run.output;
    EXPECT_TRUE(dc_test::has_line(run, "    AdmittancesFolderPath    REG_SZ    " + text::to_utf8(folder))) << run.output;
    EXPECT_TRUE(dc_test::has_line(run, "    ServiceActive    REG_DWORD    0x1")) << run.output;
#endif

    // Hubs accepted, in the driver and in the file.
    ASSERT_EQ(manager.SetHubsAccept(true, CONFIG_DRIVER_AND_FILE, status), 0u) << text::to_utf8(status);
    EXPECT_EQ(driver.count(IOCTL_HUBS_ACCEPT_ON), 1u);
    EXPECT_EQ(cfg_bytes(), utf16le(u"{\"capture\":true,\"filesAndCacheMode\":1,\"filter\":true,"
                                   u"\"hubs_always_accepted\":true,\"notify_handle\":true}"));
    ASSERT_EQ(manager.SetHubsAccept(false, CONFIG_DRIVER_AND_FILE, status), 0u);
    EXPECT_EQ(driver.count(IOCTL_HUBS_ACCEPT_OFF), 1u);
    EXPECT_EQ(cfg_bytes(), utf16le(default_config));
}

TEST_F(ConfigTest, InactiveInstallWithAConfigAndAdmittances)
{
    VardoConfig cfg;
    cfg.capture = false;
    cfg.filesAndCacheMode = FILES_AND_CACHE_MODE_3;
    cfg.admittances.Add(Admittance(1, 2, 3)); // replaced by the list passed beside it
    AdmittanceList admitts;
    admitts.Add(Admittance(0xAB, 2, 0x100, u"S"));
    std::filesystem::create_directory(dir.path() / "admittances");
    dc_test::write_utf16(dir.path() / "admittances" / "Vid_0009_Pid_0009_Rev_0009.json", u"{}");
    make_key();
    ASSERT_EQ(manager.Install(10, u"x.sys", cfg_path, folder, 3, nullptr, &cfg, &admitts, status, false, nullptr,
                              nullptr),
              0u)
        << text::to_utf8(status);
    EXPECT_EQ(cfg_bytes(), utf16le(u"{\"capture\":false,\"filesAndCacheMode\":3,\"filter\":true,"
                                   u"\"hubs_always_accepted\":false,\"notify_handle\":true}"));
    EXPECT_EQ(stored(u"ServiceActive").second, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "admittances" / "Vid_0009_Pid_0009_Rev_0009.json"))
        << "old admittance files are cleared first";
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "admittances" / "Vid_0001_Pid_0002_Rev_0003.json"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "admittances" / "Vid_00ab_Pid_0002_Rev_0100.json"));
}

TEST_F(ConfigTest, SaveConfigWithAdmittancesAndNoFolderWritesTheFileThenFails)
{
    ASSERT_EQ(install(), 0u);
    std::filesystem::remove(cfg_file);
    VardoConfig cfg;
    cfg.admittances.Add(Admittance(1, 1, 1));
    EXPECT_EQ(manager.SaveConfig(cfg, status), 3u);
    EXPECT_EQ(status, u"Nie można wylistować plików; err=0x00000003");
    EXPECT_EQ(cfg_bytes(), utf16le(default_config));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "admittances")) << "the folder is not created";
}

TEST_F(ConfigTest, ExistingServiceWritesNothing)
{
    services.exists = true;
    make_key();
    set_value(u"ConfigFilePath", platform::reg_type::sz, sz(u"C:\\elsewhere\\config.json"));
    EXPECT_EQ(manager.Install(10, u"x.sys", cfg_path, folder, 3, nullptr, nullptr, nullptr, status, true, nullptr,
                              nullptr),
              1073u);
    EXPECT_EQ(status, u"Serwis o tej nazwie już istnieje");
    EXPECT_FALSE(std::filesystem::exists(cfg_file));
    EXPECT_EQ(stored(u"ConfigFilePath").second, sz(u"C:\\elsewhere\\config.json"));
    EXPECT_EQ(stored(u"ServiceActive").first, 0xFFFFFFFFu);
}

TEST_F(ConfigTest, ExistingServiceWithoutItsValuesIsRepairedAndStill1073)
{
    // A first install created the service and stopped before writing anything else.
    services.exists = true;
    make_key();
    EXPECT_EQ(manager.Install(10, u"x.sys", cfg_path, folder, 3, nullptr, nullptr, nullptr, status, true, nullptr,
                              nullptr),
              1073u);
    EXPECT_EQ(status, u"Serwis o tej nazwie już istnieje");
    EXPECT_EQ(stored(u"ConfigFilePath").second, sz(cfg_path));
    EXPECT_EQ(stored(u"ServiceActive").second, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(cfg_bytes(), utf16le(default_config));
}

TEST_F(ConfigTest, RegistryErrors)
{
    // No service key.
    EXPECT_EQ(manager.SaveRegistryValues(cfg_path, folder, true, status), 2u);
    EXPECT_EQ(status, u"Nieudane otwarcie klucza rejestru; err=0x00000002");
    std::u16string value = u"kept";
    EXPECT_EQ(manager.GetConfigFile(value, status), 2u);
    EXPECT_EQ(status, u"Nieudane otwarcie klucza rejestru; err=0x00000002");
    // A key without the value.
    make_key();
    EXPECT_EQ(manager.GetConfigFile(value, status), 2u);
    EXPECT_EQ(status, u"Nieuane pobranie danych o wartości z rejestru; err=0x00000002");
    // REG_EXPAND_SZ and REG_DWORD are refused.
    set_value(u"ConfigFilePath", platform::reg_type::expand_sz, sz(u"%SystemRoot%\\config.json"));
    EXPECT_EQ(manager.GetConfigFile(value, status), 592u);
    EXPECT_EQ(status, u"Wartośc rejestru jest niewłasciwego typu; err=0x00000250");
    set_value(u"AdmittancesFolderPath", platform::reg_type::dword, {1, 0, 0, 0});
    EXPECT_EQ(manager.GetAdmittancesFolder(value, status, false), 592u);
    EXPECT_EQ(value, u"kept");
    // A value stored without its terminator, or with an odd byte, still reads whole.
    auto bytes = text::to_utf16le(u"C:\\no terminator");
    set_value(u"ConfigFilePath", platform::reg_type::sz, bytes);
    ASSERT_EQ(manager.GetConfigFile(value, status), 0u);
    EXPECT_EQ(value, u"C:\\no terminator");
    bytes.push_back(0x41);
    set_value(u"ConfigFilePath", platform::reg_type::sz, bytes);
    ASSERT_EQ(manager.GetConfigFile(value, status), 0u);
    EXPECT_EQ(value, u"C:\\no terminator");
}

TEST_F(ConfigTest, AdmittanceFolderIsCreatedOnRequest)
{
    ASSERT_EQ(install(), 0u);
    std::u16string path;
    ASSERT_EQ(manager.GetAdmittancesFolder(path, status, false), 0u);
    EXPECT_EQ(path, folder);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "admittances"));
    ASSERT_EQ(manager.GetAdmittancesFolder(path, status, true), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "admittances"));
    ASSERT_EQ(manager.GetAdmittancesFolder(path, status, true), 0u) << "an existing folder is fine";

    set_value(u"AdmittancesFolderPath", platform::reg_type::sz, sz(dir.windows(u"no\\such\\parent")));
    path = u"kept";
    EXPECT_EQ(manager.GetAdmittancesFolder(path, status, true), 3u);
    EXPECT_EQ(status, u"Nieudane zapewnienie obecności katalogu; err=0x00000003");
    EXPECT_EQ(path, u"kept");
}

TEST_F(ConfigTest, SetMainOption)
{
    struct Case {
        const char* what;
        ConfigTypes mode;
        OptionID option;
        bool onoff;
        uint16_t racm;
        const char16_t* before; // the file before; nullptr: none
        uint32_t driver_error;  // of the option's code
        uint32_t code;
        const char16_t* after;  // nullptr: no file
        uint32_t sent;          // the code the driver saw, 0: nothing sent
    };
    const char16_t* custom = u"{\"capture\":0,\"extra\":\"kept\",\"filter\":1}";
    const Case cases[] = {
        {"file only, no file: rebuilt from defaults", CONFIG_FILE, OPTION_CAPTURE, false, 1, nullptr, 0, 0,
         u"{\"capture\":false,\"filesAndCacheMode\":1,\"filter\":true,\"hubs_always_accepted\":false,\"notify_handle\":true}", 0},
        {"mode 3 into a new file", CONFIG_FILE, OPTION_FILES_AND_CACHE_MODE, false, 3, nullptr, 0, 0,
         u"{\"capture\":true,\"filesAndCacheMode\":3,\"filter\":true,\"hubs_always_accepted\":false,\"notify_handle\":true}", 0},
        {"members kept, absent one added", CONFIG_FILE, OPTION_NOTIFY_HANDLE, false, 1, custom, 0, 0,
         u"{\"capture\":0,\"extra\":\"kept\",\"filter\":1,\"notify_handle\":false}", 0},
        {"number member replaced", CONFIG_FILE, OPTION_FILTER, false, 1, custom, 0, 0,
         u"{\"capture\":0,\"extra\":\"kept\",\"filter\":false}", 0},
        {"driver only", CONFIG_DRIVER, OPTION_CAPTURE, true, 1, custom, 0, 0, custom, 0x222999},
        {"driver mode code", CONFIG_DRIVER_AND_FILE, OPTION_FILES_AND_CACHE_MODE, false, 2, custom, 0, 0,
         u"{\"capture\":0,\"extra\":\"kept\",\"filesAndCacheMode\":2,\"filter\":1}", IOCTL_SET_FILES_AND_CACHE_MODE},
        {"driver refuses: file untouched", CONFIG_DRIVER_AND_FILE, OPTION_CAPTURE, true, 1, custom, 1, 1, custom,
         0x222999},
        {"option 0", CONFIG_DRIVER_AND_FILE, OptionID(0), true, 1, custom, 0, 160, custom, 0},
        {"option 6", CONFIG_DRIVER_AND_FILE, OptionID(6), true, 1, custom, 0, 160, custom, 0},
        {"option -1", CONFIG_FILE, OptionID(-1), true, 1, nullptr, 0, 160, nullptr, 0},
        {"mode 4 is no mode", CONFIG_DRIVER_AND_FILE, OPTION_FILES_AND_CACHE_MODE, true, 4, custom, 0, 160, custom, 0},
        {"config type 5 does nothing", ConfigTypes(5), OPTION_CAPTURE, true, 1, custom, 0, 0, custom, 0},
        {"bad file is not rewritten", CONFIG_FILE, OPTION_CAPTURE, true, 1, u"{\"capture\":2}", 0, 592,
         u"{\"capture\":2}", 0},
    };
    ASSERT_EQ(install(), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(cfg_file);
        if (c.before) dc_test::write_utf16(cfg_file, c.before);
        driver.errors.clear();
        if (c.driver_error) driver.errors[c.option == OPTION_FILES_AND_CACHE_MODE ? IOCTL_SET_FILES_AND_CACHE_MODE : 0x222999] = c.driver_error;
        const size_t calls_before = driver.calls().size();
        EXPECT_EQ(manager.SetMainOption(c.mode, 0x222999, c.option, c.onoff, FilesAndCacheMode(c.racm), status), c.code);
        EXPECT_EQ(dc_test::read_utf16(cfg_file), c.after ? c.after : u"<missing>");
        const auto calls = driver.calls();
        if (c.sent) {
            ASSERT_EQ(calls.size(), calls_before + 1);
            EXPECT_EQ(calls.back().code, c.sent);
            if (c.sent == IOCTL_SET_FILES_AND_CACHE_MODE)
                EXPECT_EQ(calls.back().input, (std::vector<uint8_t>{uint8_t(c.racm), 0, 0, 0}));
            else
                EXPECT_TRUE(calls.back().input.empty());
        } else {
            EXPECT_EQ(calls.size(), calls_before);
        }
        if (c.code == 1) {
            EXPECT_EQ(status, u"Operation fail; err=0x00000001");
        }
        if (c.code == 592) {
            EXPECT_EQ(status, u"Bad data in config file; err=0x00000250");
        }
    }
}

TEST_F(ConfigTest, DriverNotLoaded)
{
    ASSERT_EQ(install(), 0u);
    driver.open_error = 2;
    EXPECT_EQ(manager.SetMainOption(CONFIG_DRIVER_AND_FILE, IOCTL_HUBS_ACCEPT_ON, OPTION_HUBS_ALWAYS_ACCEPTED, true,
                                    FILES_AND_CACHE_MODE_1, status),
              2u);
    EXPECT_EQ(status, u"Driver not open; err=0x00000002");
    EXPECT_EQ(cfg_bytes(), utf16le(default_config));
}

TEST_F(ConfigTest, BadConfigurationFiles)
{
    struct Case {
        const char* what;
        std::string bytes;
        uint32_t code;
        const char16_t* text; // nullptr: any text
    };
    const std::string ten_mb = utf16le(u"{\"capture\":true,\"x\":\"") + std::string(10 << 20, 'a') + utf16le(u"\"}");
    const Case cases[] = {
        {"not JSON", utf16le(u"capture=1"), 0, nullptr},
        {"truncated", utf16le(u"{\"capture\":tr"), 0, nullptr},
        {"top level array", utf16le(u"[true]"), 592, u"Bad data in config file; err=0x00000250"},
        {"string boolean", utf16le(u"{\"filter\":\"yes\"}"), 592, u"Bad data in config file; err=0x00000250"},
        {"null boolean", utf16le(u"{\"notify_handle\":null}"), 592, u"Bad data in config file; err=0x00000250"},
        {"mode 1.5", utf16le(u"{\"filesAndCacheMode\":1.5}"), 592, u"Bad data in config file; err=0x00000250"},
        {"mode -1", utf16le(u"{\"filesAndCacheMode\":-1}"), 592, u"Bad data in config file; err=0x00000250"},
        {"mode 256", utf16le(u"{\"filesAndCacheMode\":256}"), 592, u"Bad data in config file; err=0x00000250"},
        {"mode 1e308", utf16le(u"{\"filesAndCacheMode\":1e308}"), 592, u"Bad data in config file; err=0x00000250"},
        {"mode a string", utf16le(u"{\"filesAndCacheMode\":\"1\"}"), 592, u"Bad data in config file; err=0x00000250"},
        {"10 MB", ten_mb, 592, u"Bad data in config file; err=0x00000250"},
    };
    ASSERT_EQ(install(), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dc_test::write_bytes(cfg_file, c.bytes);
        status.clear();
        const uint32_t code = manager.SetMainOption(CONFIG_FILE, 0, OPTION_CAPTURE, false, FILES_AND_CACHE_MODE_1, status);
        if (c.code)
            EXPECT_EQ(code, c.code);
        else
            EXPECT_NE(code, 0u);
        if (c.text) {
            EXPECT_EQ(status, c.text);
        }
        EXPECT_FALSE(status.empty());
        EXPECT_TRUE(cfg_bytes() == c.bytes) << "the file is left as it was";
    }
}

// A configuration file that exists but cannot be read is the load's failure: its code and text,
// not the "cannot be examined" of a path whose test itself failed.
TEST_F(ConfigTest, ExistingFileThatCannotBeOpenedGivesTheLoadError)
{
    ASSERT_EQ(install(), 0u);
    auto load_text = [&](const char16_t* code) {
        return u"Plik [" + cfg_path + u"]: Nie udało się otworzyć pliku -> err=" + code;
    };
    {
        SCOPED_TRACE("held by another handle without sharing");
        platform::Handle held = platform::null_handle;
        ASSERT_EQ(platform::files().open(cfg_path, platform::access::generic_read, platform::share::none,
                                         platform::disposition::open_existing, platform::attribute::normal, held),
                  0u);
        EXPECT_EQ(manager.SetMainOption(CONFIG_FILE, 0, OPTION_CAPTURE, false, FILES_AND_CACHE_MODE_1, status), 32u);
        EXPECT_EQ(status, load_text(u"0x00000020"));
        platform::files().close(held);
        EXPECT_EQ(cfg_bytes(), utf16le(default_config)) << "left as it was";
    }
    {
        SCOPED_TRACE("a folder at the file's path");
        std::filesystem::remove(cfg_file);
        std::filesystem::create_directory(cfg_file);
        EXPECT_EQ(manager.SetMainOption(CONFIG_FILE, 0, OPTION_CAPTURE, false, FILES_AND_CACHE_MODE_1, status), 5u);
        EXPECT_EQ(status, load_text(u"0x00000005"));
        EXPECT_TRUE(std::filesystem::is_directory(cfg_file));
        std::filesystem::remove(cfg_file);
    }
}

TEST(ConfigValidation, Documents)
{
    struct Case {
        const char16_t* json;
        uint32_t code;
    };
    const Case cases[] = {
        {u"{}", 0},
        {u"{\"capture\":1,\"filter\":0,\"notify_handle\":true,\"hubs_always_accepted\":false}", 0},
        {u"{\"filesAndCacheMode\":0}", 0},
        {u"{\"filesAndCacheMode\":3}", 0},
        {u"{\"filesAndCacheMode\":4}", 592},
        {u"{\"capture\":2}", 592},
        {u"{\"capture\":null}", 592},
        {u"{\"hubs_always_accepted\":[]}", 592},
        {u"{\"filter\":0.5}", 592},
        {u"[]", 592},
        {u"[{\"capture\":true}]", 592},
    };
    for (const auto& c : cases) {
        JsonHolder doc;
        std::u16string error;
        ASSERT_TRUE(JsonHolder::Parse(c.json, doc, error));
        std::u16string status = u"untouched";
        EXPECT_EQ(Manager::ValidateConfigJson(doc, status), c.code) << text::to_utf8(c.json);
        EXPECT_EQ(status, c.code ? u"Bad data in config file; err=0x00000250" : u"untouched") << text::to_utf8(c.json);
    }
}

} // namespace
