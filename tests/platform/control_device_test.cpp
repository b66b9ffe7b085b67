// Control devices on the Linux backend: "\\.\Name" opened through the platform reaches a server
// on the device's socket, with the request and answer framing the drivers use.
#ifndef _WIN32
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "platform/le_fields.h"
#include "platform/posix/control_device.h"

namespace {

using namespace platform;
namespace cd = platform::posix::control_device;

// A device server on one thread: serves every connection in turn with `answer`, and records what
// it saw.
class TestDevice {
public:
    using Answerer = std::function<bool(int fd, const cd::Request&, const std::vector<uint8_t>&)>;

    TestDevice(const std::u16string& name, Answerer answer) : answer_(std::move(answer))
    {
        std::string path, why;
        EXPECT_EQ(cd::listen_device(name, 4, listener_, path, why), 0u) << why;
        thread_ = std::thread([this] { serve(); });
    }
    ~TestDevice()
    {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    std::atomic<pid_t> peer{0};
    std::atomic<int> requests{0};
    std::atomic<bool> saw_end{false};
    std::atomic<Error> end_code{0};

private:
    void serve()
    {
        while (!stop_) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            peer = cd::peer_pid(fd);
            for (;;) {
                cd::Request r;
                std::vector<uint8_t> input;
                const Error e = cd::receive_request(fd, r, input, 5000);
                if (e) {
                    end_code = e;
                    saw_end = true;
                    break;
                }
                ++requests;
                if (!answer_(fd, r, input)) break;
            }
            ::close(fd);
        }
    }

    Answerer answer_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ControlDeviceTest : public testing::Test {
protected:
    platform_test::FreshMachine machine;
    const std::u16string name = u"ZelmTest";
    const std::u16string path = u"\\\\.\\zelmtest"; // device names ignore case
};

// Answers: error = code's low byte, the input reversed (cut to the output size).
bool echo_reversed(int fd, const cd::Request& r, const std::vector<uint8_t>& input)
{
    std::vector<uint8_t> out(input.rbegin(), input.rend());
    if (out.size() > r.output_size) out.resize(r.output_size);
    return cd::send_answer(fd, cd::Answer{r.code & 0xFF, uint32_t(out.size())}, out.data()) == 0;
}

TEST_F(ControlDeviceTest, RequestAndAnswerCrossTheSocket)
{
    TestDevice device(name, echo_reversed);
    Handle h = null_handle;
    ASSERT_EQ(devices().open(path, 0x1F01FF, 0, 0, h), 0u);

    struct Case {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> input;
        uint32_t output_size;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"input and output", 0x222000, {1, 2, 3}, 8, {3, 2, 1}},
        {"output cut to the caller's size", 0x222004, {1, 2, 3, 4}, 2, {4, 3}},
        {"no input, no output", 0x22201C, {}, 0, {}},
        {"the driver's error comes back with its output", 0x222105, {9}, 4, {9}},
        {"a large input", 0x222000, std::vector<uint8_t>(1 << 20, 7), 16, std::vector<uint8_t>(16, 7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> output(c.output_size, 0xEE);
        uint32_t returned = 99;
        const Error e = devices().control(h, c.code, c.input.data(), uint32_t(c.input.size()), output.data(),
                                          c.output_size, returned);
        EXPECT_EQ(e, c.code & 0xFF);
        ASSERT_EQ(returned, c.expected.size());
        EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + returned), c.expected);
    }
    // The input and the output may be one buffer.
    uint8_t both[4] = {1, 2, 3, 4};
    uint32_t returned = 0;
    EXPECT_EQ(devices().control(h, 0x222000, both, 4, both, 4, returned), 0u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::vector<uint8_t>(both, both + 4), (std::vector<uint8_t>{4, 3, 2, 1}));

    EXPECT_EQ(device.peer.load(), ::getpid());
    EXPECT_EQ(devices().close(h), 0u);
    for (int i = 0; i < 500 && !device.saw_end; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(device.saw_end);
    EXPECT_EQ(device.end_code.load(), err::handle_eof); // a clean end of stream: the handle's cleanup
    EXPECT_EQ(devices().control(h, 0x222000, nullptr, 0, nullptr, 0, returned), err::invalid_handle);
}

TEST_F(ControlDeviceTest, NothingServesTheDevice)
{
    Handle h = null_handle;
    EXPECT_EQ(devices().open(path, 0x1F01FF, 0, 0, h), err::file_not_found);
    {
        // A socket left behind by a driver that ended.
        TestDevice gone(name, echo_reversed);
    }
    EXPECT_EQ(devices().open(path, 0x1F01FF, 0, 0, h), err::file_not_found);
    // Paths no driver serves go to the machine model, which knows none here.
    EXPECT_EQ(devices().open(u"\\\\.\\E:", 0, 3, 0, h), err::file_not_found);
}

TEST_F(ControlDeviceTest, ABrokenDriverGivesAnErrorNeverAHang)
{
    struct Case {
        const char* what;
        TestDevice::Answerer answer;
        Error expected;
    };
    const Case cases[] = {
        {"closes the connection instead of answering", [](int, const cd::Request&, const std::vector<uint8_t>&) { return false; },
         err::gen_failure},
        {"answers more than the caller's buffer holds",
         [](int fd, const cd::Request&, const std::vector<uint8_t>&) {
             const uint8_t big[64] = {};
             cd::send_answer(fd, cd::Answer{0, 64}, big);
             return true;
         },
         err::invalid_parameter},
        {"sends half an answer header and goes",
         [](int fd, const cd::Request&, const std::vector<uint8_t>&) {
             const uint8_t half[3] = {};
             cd::write_all(fd, half, 3);
             return false;
         },
         err::gen_failure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDevice device(name, c.answer);
        Handle h = null_handle;
        ASSERT_EQ(devices().open(path, 0x1F01FF, 0, 0, h), 0u);
        uint8_t out[8];
        uint32_t returned = 99;
        EXPECT_EQ(devices().control(h, 0x222000, nullptr, 0, out, sizeof out, returned), c.expected);
        EXPECT_EQ(returned, 0u);
        // The connection is out of step: it stays failed.
        EXPECT_NE(devices().control(h, 0x222000, nullptr, 0, out, sizeof out, returned), 0u);
        devices().close(h);
    }
}

TEST(ControlDeviceFraming, ReadsAreBoundedAndFramesLimited)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    uint8_t byte;
    // A peer that never answers: a time-out, not a hang.
    EXPECT_EQ(cd::read_exact(pair[0], &byte, 1, 50), err::timeout);
    // A request header announcing more than a frame may carry is refused before anything is read.
    uint8_t head[cd::request_header_size];
    platform::le::put_u32(head, 0x222000);
    platform::le::put_u32(head + 4, cd::max_frame + 1);
    platform::le::put_u32(head + 8, 0);
    ASSERT_EQ(cd::write_all(pair[1], head, sizeof head), 0u);
    cd::Request r;
    std::vector<uint8_t> input;
    EXPECT_EQ(cd::receive_request(pair[0], r, input, 1000), err::invalid_parameter);
    EXPECT_TRUE(input.empty());
    // The client refuses to send one.
    EXPECT_EQ(cd::send_request(pair[1], cd::Request{1, 0, cd::max_frame + 1}, nullptr), err::invalid_parameter);
    ::close(pair[1]);
    EXPECT_EQ(cd::read_exact(pair[0], &byte, 1, 1000), err::handle_eof);
    ::close(pair[0]);
}

} // namespace
#endif
