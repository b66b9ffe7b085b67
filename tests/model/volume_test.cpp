// Volumes: drive types, storage device numbers, locking, dismounting, ejection marked in the file.
#include "model_fixture.h"

namespace model_test {
namespace {

using model::usb_ioctl::storage_get_device_number;

class VolumeTest : public ModelTest {
protected:
    model::ModelFiles files{engine, platform::files()};

    // The ejection steps of the sweep: lock with up to `tries` attempts, dismount, allow removal,
    // eject. Returns the first failure, or 0; `locks` counts the lock requests.
    Error eject(char16_t letter, int tries, int& locks)
    {
        Handle h = 0;
        const std::u16string path = std::u16string(u"\\\\.\\") + letter + u":";
        if (const Error e = devices.open(path, access::generic_read | access::generic_write, 3, 0, h)) return e;
        Error e = 1;
        Bytes out;
        for (locks = 0; locks < tries && e; ++locks) e = ask(h, ioctl::lock_volume, {}, 0, out);
        if (!e) e = ask(h, ioctl::dismount_volume, {}, 0, out);
        if (!e) e = ask(h, ioctl::storage_media_removal, {0}, 0, out);
        if (!e) e = ask(h, ioctl::storage_eject_media, {}, 0, out);
        EXPECT_EQ(devices.close(h), err::success);
        return e;
    }
};

TEST_F(VolumeTest, DriveTypesAndDeviceNumbersOfTheExample)
{
    example();
    struct Case {
        const char16_t* root;
        uint32_t type;
    };
    for (const Case c : {Case{u"E:\\", drive::removable}, {u"e:\\", drive::removable}, {u"C:\\", drive::fixed},
                         {u"C:", drive::fixed}, {u"F:\\", drive::no_root_dir}, {u"\\\\.\\E:", drive::no_root_dir},
                         {u"", drive::no_root_dir}})
        EXPECT_EQ(files.drive_type(c.root), c.type) << text::to_utf8(c.root);

    const Handle e = open(u"\\\\.\\E:");
    Bytes out;
    ASSERT_EQ(ask(e, storage_get_device_number, {}, 12, out), err::success);
    EXPECT_EQ(get32(out, 0), 7u);
    EXPECT_EQ(get32(out, 4), 1u);
    EXPECT_EQ(get32(out, 8), 1u);
    EXPECT_EQ(ask(e, storage_get_device_number, {}, 11, out), err::insufficient_buffer);
    EXPECT_EQ(ask(e, 0x00220408, Bytes(76), 76, out), err::invalid_function);
    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\F:", access::generic_read, 7, 0, h), err::file_not_found);
}

TEST_F(VolumeTest, EjectMarksTheVolumeInTheFileAndItIsGone)
{
    example();
    int locks = 0;
    ASSERT_EQ(eject(u'E', 20, locks), err::success);
    EXPECT_EQ(locks, 1);

    // The file says so, and is still a machine every reader takes.
    const std::string text = platform_test::read_text_file(file);
    EXPECT_NE(text.find("\"ejected\": true"), std::string::npos);
    model::Machine reread;
    std::string why;
    ASSERT_TRUE(model::load_machine(text, reread, why)) << why;
    EXPECT_EQ(reread.volume(u'E'), nullptr);
    ASSERT_NE(reread.volume(u'C'), nullptr) << "other volumes stay";

    Handle h = 0;
    EXPECT_EQ(devices.open(u"\\\\.\\E:", access::generic_read, 7, 0, h), err::file_not_found);
    EXPECT_EQ(files.drive_type(u"E:\\"), drive::no_root_dir);
    EXPECT_EQ(files.drive_type(u"C:\\"), drive::fixed);

    // An "ejected": false already there is turned, not repeated.
    machine(R"({"nodes": [{"id": "X\\1", "disk": {"number": 2, "volumes": [{"ejected": false, "letter": "G"}]}}]})");
    ASSERT_EQ(eject(u'G', 1, locks), err::success);
    EXPECT_EQ(platform_test::read_text_file(file),
              R"({"nodes": [{"id": "X\\1", "disk": {"number": 2, "volumes": [{"ejected": true, "letter": "G"}]}}]})");
}

TEST_F(VolumeTest, LockFailuresAreCountedAndAlwaysNeverLocks)
{
    struct Case {
        const char* lock_failures;
        int tries;
        Error result;
        int locks;
    };
    const Case cases[] = {
        {"0", 20, err::success, 1},
        {"3", 20, err::success, 4},
        {"\"always\"", 20, err::access_denied, 20},
        {"25", 20, err::access_denied, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lock_failures);
        machine(std::string(R"({"nodes": [{"id": "USB\\V\\1", "disk": {"number": 1, "volumes": [{"letter": "E", "lock_failures": )") +
                c.lock_failures + "}]}}]}");
        int locks = 0;
        EXPECT_EQ(eject(u'E', c.tries, locks), c.result);
        EXPECT_EQ(locks, c.locks);
        EXPECT_EQ(files.drive_type(u"E:\\"), c.result ? drive::removable : drive::no_root_dir);
    }
}

TEST_F(VolumeTest, FixedAndCdromVolumes)
{
    machine(R"({"nodes": [
        {"id": "SCSI\\D\\0", "disk": {"number": 0, "volumes": [{"letter": "C", "type": "fixed"}, {"letter": "D", "partition": 2, "type": "fixed"}]}},
        {"id": "USBSTOR\\CDROM\\1", "disk": {"number": 0, "type": "cdrom", "volumes": [{"letter": "R"}]}}]})");
    EXPECT_EQ(files.drive_type(u"R:\\"), drive::cdrom);
    EXPECT_EQ(files.drive_type(u"D:\\"), drive::fixed);
    Bytes out;
    const Handle d = open(u"\\\\.\\D:");
    ASSERT_EQ(ask(d, storage_get_device_number, {}, 12, out), err::success);
    EXPECT_EQ(get32(out, 8), 2u);
    const Handle r = open(u"\\\\.\\R:");
    ASSERT_EQ(ask(r, storage_get_device_number, {}, 12, out), err::success);
    EXPECT_EQ(get32(out, 0), 2u) << "FILE_DEVICE_CD_ROM";
    EXPECT_EQ(ask(r, ioctl::storage_media_removal, {}, 0, out), err::invalid_parameter) << "the one input byte is missing";

    int locks = 0;
    EXPECT_EQ(eject(u'C', 1, locks), err::invalid_function) << "a fixed disk has no media to eject";
    EXPECT_EQ(files.drive_type(u"C:\\"), drive::fixed);
    EXPECT_EQ(eject(u'R', 1, locks), err::success);
    EXPECT_EQ(files.drive_type(u"R:\\"), drive::no_root_dir);
}

} // namespace
} // namespace model_test
