// The Linux driver against clients that misbehave on its socket: frames too large, cut
// short or garbled, clients that never read their answers or never send. None of them may stop the
// daemon or hold up the other handles.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "driver_client.h"
#include "loaded_driver.h"
#include "platform/le_fields.h"
#include "platform/posix/control_device.h"

namespace {

namespace cd = platform::posix::control_device;

int connect_raw()
{
    sockaddr_un address{};
    if (!cd::socket_address(u"ZelmUsb", address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> frame(uint32_t code, uint32_t input_size, uint32_t output_size, size_t body)
{
    std::vector<uint8_t> f(cd::request_header_size + body, 0xAB);
    platform::le::put_u32(f.data(), code);
    platform::le::put_u32(f.data() + 4, input_size);
    platform::le::put_u32(f.data() + 8, output_size);
    return f;
}

// The daemon still answers a well-behaved handle, promptly.
void expect_served()
{
    const auto start = std::chrono::steady_clock::now();
    driver_client::DriverClient client;
    ASSERT_EQ(0u, client.open());
    driver_client::DriverState s;
    EXPECT_EQ(0u, client.state(s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(SimDriverSocket, MisbehavingClientsNeitherStopNorStallTheDriver)
{
    driver_test::LoadedDriver driver;
    ASSERT_EQ(0u, driver.error()) << driver.failed_step();

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool dropped; // the driver ends the connection
    };
    const Case cases[] = {
        {"an input larger than a frame may be", frame(ZD_IOCTL_TEST_STATE, cd::max_frame + 1, 0, 0), true},
        {"an output larger than a frame may be", frame(ZD_IOCTL_TEST_STATE, 0, cd::max_frame + 1, 0), true},
        {"half a header", {0x48, 0x24}, false},
        {"a header whose input never comes", frame(ZD_IOCTL_TEST_RAISE, 100, 8, 10), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connect_raw();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ssize_t(c.bytes.size()), ::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL));
        if (c.dropped) {
            uint8_t b;
            timeval tv{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            EXPECT_EQ(0, ::recv(fd, &b, 1, 0)) << "the connection is ended";
        }
        expect_served(); // while the half-sent frame still waits on its own connection
        ::close(fd);
    }

    // A client that asks and asks but never reads: its answers fill the socket; the others go on.
    const int greedy = connect_raw();
    ASSERT_GE(greedy, 0);
    const auto big_state = frame(ZD_IOCTL_TEST_STATE, 0, ZD_STATE_HEADER_SIZE + 256 * ZD_JOURNAL_ENTRY_SIZE, 0);
    timeval tv{0, 200000};
    ::setsockopt(greedy, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (int i = 0; i < 2000; ++i)
        if (::send(greedy, big_state.data(), big_state.size(), MSG_NOSIGNAL) <= 0) break;
    expect_served();
    // An idle handle holds nobody up either.
    const int idle = connect_raw();
    ASSERT_GE(idle, 0);
    expect_served();
    ::close(greedy);
    ::close(idle);

    // Unload removes the socket.
    std::string path;
    ASSERT_TRUE(cd::socket_path(u"ZelmUsb", path));
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(0u, driver.unload());
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
#endif
