// Another user of the machine against the driver's control device: the tests start this program
// as nobody. It writes one line of what it achieved to the file named last on its command line.
//
//   intruder control <code> <input hex> <output size> <tries> <out>
//       opens \\.\ZelmUsb the way the program does and sends the request `tries` times:
//       "open=<first open error> served=<requests answered with success>"
//   intruder raw <code> <input hex> <output size> <out>
//       connects to the device's socket itself, past the client's checks:
//       "connect=<0 or errno> answered=<0|1>"
//   intruder squat <socket path> <out>
//       listens on a socket at the path (made connectable by all), writes "listening" to <out>,
//       then "contacted" to <out>.contacted when anyone connects; runs until killed.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "driver_client.h"
#include "platform/posix/control_device.h"

namespace {

namespace cd = platform::posix::control_device;

std::vector<uint8_t> from_hex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void report(const std::string& file, const std::string& line)
{
    std::ofstream(file) << line;
}

int control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_size, int tries, const std::string& out)
{
    unsigned first_open = 0, served = 0;
    for (int i = 0; i < tries; ++i) {
        driver_client::DriverClient client;
        if (const platform::Error e = client.open()) {
            if (!first_open) first_open = e;
            continue;
        }
        std::vector<uint8_t> output(output_size);
        if (client.control(code, input, output) == 0) ++served;
    }
    report(out, "open=" + std::to_string(first_open) + " served=" + std::to_string(served));
    return 0;
}

int raw(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_size, const std::string& out)
{
    sockaddr_un address{};
    cd::socket_address(u"ZelmUsb", address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        report(out, "connect=" + std::to_string(errno) + " answered=0");
        return 0;
    }
    bool answered = false;
    if (cd::send_request(fd, cd::Request{code, uint32_t(input.size()), output_size}, input.data(), 5000) == 0) {
        cd::Answer answer;
        answered = cd::receive_answer(fd, answer, 5000) == 0;
    }
    ::close(fd);
    report(out, std::string("connect=0 answered=") + (answered ? "1" : "0"));
    return 0;
}

int squat(const std::string& path, const std::string& out)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        report(out, "bind=" + std::to_string(errno));
        return 1;
    }
    ::chmod(path.c_str(), 0777);
    report(out, "listening");
    for (;;) {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) {
            report(out + ".contacted", "contacted");
            ::close(c);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 6 && a[0] == "control")
        return control(uint32_t(std::stoul(a[1], nullptr, 16)), from_hex(a[2]), uint32_t(std::stoul(a[3])),
                       std::atoi(a[4].c_str()), a[5]);
    if (a.size() == 5 && a[0] == "raw")
        return raw(uint32_t(std::stoul(a[1], nullptr, 16)), from_hex(a[2]), uint32_t(std::stoul(a[3])), a[4]);
    if (a.size() == 3 && a[0] == "squat") return squat(a[1], a[2]);
    std::fprintf(stderr, "usage: intruder control|raw|squat ...\n");
    return 2;
}
