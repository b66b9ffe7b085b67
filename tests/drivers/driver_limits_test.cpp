// The Linux driver keeps its memory and descriptors bounded whatever its clients do:
// headers that announce the largest frames cost little until their bytes come, and at its
// open-file limit it neither spins in its accept loop nor locks new handles out.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "driver_client.h"
#include "platform/le_fields.h"
#include "platform/posix/control_device.h"

extern char** environ;

namespace {

namespace cd = platform::posix::control_device;
using namespace std::chrono_literals;

// The daemon started straight from its image (no service manager), with a lower open-file limit
// when asked, on the current platform root.
class SpawnedDriver {
public:
    explicit SpawnedDriver(rlim_t open_files = 0)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("ZELMUSB_READY_FD=" + std::to_string(ready[1]));
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string image = ZELMUSB_DRIVER_IMAGE;
        char* argv[] = {image.data(), nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            if (open_files) {
                const rlimit limit{open_files, open_files};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::fcntl(ready[1], F_SETFD, 0);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        ::close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char b = 0;
        ready_ = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &b, 1) == 1 && b == 1;
        ::close(ready[0]);
    }
    ~SpawnedDriver()
    {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

    // A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM").
    long status_kb(const std::string& field) const
    {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
        return -1;
    }
    // User and system CPU time so far, in seconds.
    double cpu_seconds() const
    {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> fields;
        size_t at = s.rfind(')') + 2;
        for (size_t end; (end = s.find(' ', at)) != std::string::npos; at = end + 1) fields.push_back(s.substr(at, end - at));
        // Fields from the state (3rd) on: utime is the 14th, stime the 15th.
        return double(std::stoul(fields[11]) + std::stoul(fields[12])) / double(::sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A connection that waits at most half a second for room in the listener's queue (-1 then).
int connect_quick()
{
    sockaddr_un address{};
    if (!cd::socket_address(u"ZelmUsb", address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{0, 500000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_header(int fd, uint32_t code, uint32_t input_size, uint32_t output_size, size_t body_bytes)
{
    std::vector<uint8_t> f(cd::request_header_size + body_bytes, 0);
    platform::le::put_u32(f.data(), code);
    platform::le::put_u32(f.data() + 4, input_size);
    platform::le::put_u32(f.data() + 8, output_size);
    [[maybe_unused]] ssize_t n = ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
}

void close_all(std::vector<int>& fds)
{
    for (int fd : fds) ::close(fd);
    fds.clear();
}

bool served_within(std::chrono::milliseconds bound)
{
    const auto begin = std::chrono::steady_clock::now();
    driver_client::DriverClient client;
    driver_client::DriverState state;
    return client.open() == 0 && client.state(state) == 0 && std::chrono::steady_clock::now() - begin < bound;
}

TEST(DriverLimits, HeadersAnnouncingTheLargestFramesCostLittle)
{
    platform_test::FreshMachine machine;
    SpawnedDriver driver;
    ASSERT_TRUE(driver.ready());
    const long before_kb = driver.status_kb("VmRSS");

    // 200 clients announce 16 MiB in and out and send a little of it; 200 more ask for 16 MiB of
    // output with no input, which the driver answers at once.
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_quick();
        if (fd < 0) continue;
        send_header(fd, ZD_IOCTL_TEST_RAISE, cd::max_frame, cd::max_frame, 4096);
        clients.push_back(fd);
    }
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_quick();
        if (fd < 0) continue;
        send_header(fd, ZD_IOCTL_TEST_STATE, 0, cd::max_frame, 0);
        clients.push_back(fd);
    }
    std::this_thread::sleep_for(1500ms);
    const long peak_kb = driver.status_kb("VmHWM");
    std::cout << "driver memory: " << before_kb / 1024 << " MiB before, peak " << peak_kb / 1024 << " MiB with "
              << clients.size() << " clients connected\n";
    EXPECT_LT(peak_kb - before_kb, 96 * 1024) << "peak " << peak_kb << " kB from " << before_kb << " kB";
    close_all(clients);
    EXPECT_TRUE(served_within(3s));
}

TEST(DriverLimits, AtItsOpenFileLimitTheDriverNeitherSpinsNorLocksNewHandlesOut)
{
    platform_test::FreshMachine machine;
    SpawnedDriver driver(40);
    ASSERT_TRUE(driver.ready());

    // Idle handles beyond the limit: the oldest idle ones are let go, and a new handle is served.
    std::vector<int> idle;
    double cpu = driver.cpu_seconds();
    for (int i = 0; i < 90; ++i)
        if (const int fd = connect_quick(); fd >= 0) idle.push_back(fd);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(served_within(2s)) << "a new handle while " << idle.size() << " idle ones were open";
    const double idle_cpu = driver.cpu_seconds() - cpu;
    close_all(idle);
    std::this_thread::sleep_for(300ms);

    // Every handle busy (a frame whose body has not come) and more waiting: nothing can be let
    // go, and the accept loop rests instead of spinning.
    std::vector<int> busy;
    for (int i = 0; i < 90; ++i) {
        const int fd = connect_quick();
        if (fd < 0) continue;
        send_header(fd, ZD_IOCTL_TEST_RAISE, 100, 8, 0);
        busy.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    cpu = driver.cpu_seconds();
    std::this_thread::sleep_for(2s);
    const double busy_cpu = driver.cpu_seconds() - cpu;
    std::cout << "driver CPU at its open-file limit: " << idle_cpu << " s while idle handles were let go, "
              << busy_cpu << " s in 2 s with every handle busy\n";
    EXPECT_LT(busy_cpu, 0.4);
    // Once those handles go, new ones are served again at once.
    close_all(busy);
    EXPECT_TRUE(served_within(3s));
}

} // namespace
#endif
