// The environment, clocks, debugger output and SHA-1 on Linux.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/model/families.h"
#include "platform/native.h"
#include "platform/posix/machine.h"
#include "platform/posix/common.h"
#include "platform/posix/root.h"
#include "platform/system.h"
#include "text/text.h"

namespace platform::posix {
namespace {

// One write call for the whole line: O_APPEND places it at the end as one piece, so lines of
// concurrent writers never interleave.
void write_line(int fd, const std::string& line)
{
    ssize_t n;
    while ((n = ::write(fd, line.data(), line.size())) < 0 && errno == EINTR) {
    }
    // A short write (a full disk, a pipe reader gone) loses the rest: a trace never fails its
    // caller, and finishing the line later could interleave with another writer.
}

class PosixSystem final : public System {
public:
    Error environment(const std::u16string& name, std::u16string& value) override
    {
        const std::string n = text::to_utf8(name);
        if (n.empty() || n.find('=') != std::string::npos) return err::envvar_not_found;
        if (const char* v = std::getenv(n.c_str())) {
            value = text::from_utf8(v);
            return err::success;
        }
        if (text::to_lower(name) == u"allusersprofile") {
            // The machine's shared data folder lives below the platform root.
            value = windows_form(root() + "/ProgramData");
            return err::success;
        }
        return err::envvar_not_found;
    }

    uint32_t tick_count() override { return uint32_t(tick_count64()); }

    uint64_t tick_count64() override
    {
        timespec ts {};
        // A machine description that says when it booted sets the uptime, so that a test machine
        // can be freshly booted.
        // Only a machine file can say so: without one, the running machine is not looked at (its
        // look lists the USB devices, far too much for a clock that pipe exchanges and polls read
        // several times each), and one status call is all the clock costs beyond itself.
        struct stat st {};
        if (::stat((root() + "/machine.json").c_str(), &st) == 0) {
            ::clock_gettime(CLOCK_REALTIME, &ts);
            const int64_t now = int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
            if (const auto up = model::uptime_of(*machine().view().machine, now)) return *up;
        }
        ::clock_gettime(CLOCK_BOOTTIME, &ts);
        return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
    }

    LocalTime local_time() override
    {
        timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        const time_t seconds = ts.tv_sec;
        tm t {};
        ::localtime_r(&seconds, &t);
        LocalTime lt;
        lt.year = uint16_t(t.tm_year + 1900);
        lt.month = uint16_t(t.tm_mon + 1);
        lt.day_of_week = uint16_t(t.tm_wday);
        lt.day = uint16_t(t.tm_mday);
        lt.hour = uint16_t(t.tm_hour);
        lt.minute = uint16_t(t.tm_min);
        // Windows has no leap second: 60 shows as 59.
        lt.second = uint16_t(t.tm_sec > 59 ? 59 : t.tm_sec);
        lt.milliseconds = uint16_t(ts.tv_nsec / 1000000);
        return lt;
    }

    void debug_output(const std::u16string& line) override
    {
        std::string bytes = text::to_utf8(line);
        if (bytes.empty() || bytes.back() != '\n') bytes += '\n';
        const char* file = std::getenv("ZELMUSB_TRACE_FILE");
        if (file && *file) {
            const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (fd >= 0) {
                write_line(fd, bytes);
                ::close(fd);
                return;
            }
            // The file cannot be opened: the line still goes somewhere someone may look.
        }
        write_line(STDERR_FILENO, bytes);
    }

    Error sha1(std::span<const uint8_t> data, Sha1Digest& digest) override
    {
        uint8_t d[20];
        if (!posix::sha1(data, d)) return err::gen_failure;
        std::copy(d, d + 20, digest.begin());
        return err::success;
    }

    Error check_state_folders(std::u16string& folder, std::u16string& owner) override
    {
        return check_root_folders(folder, owner);
    }
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
System* native_system()
{
    static posix::PosixSystem system;
    return &system;
}
} // namespace platform::backend
