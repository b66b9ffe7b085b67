#include "platform/posix/service_record.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/common.h"
#include "platform/posix/objects.h"
#include "platform/posix/root.h"
#include "text/text.h"

namespace platform::posix::services {
namespace {

// A record is a few hundred bytes; anything far larger is not one of ours.
constexpr size_t record_limit = 256 * 1024;

// Values are written on one line each: '%', CR and LF (which a path could hold) as %XX.
std::string escape(std::string_view s)
{
    std::string out;
    for (char c : s) {
        if (c == '%' || c == '\n' || c == '\r') {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape(std::string_view s, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        unsigned v = 0;
        for (size_t k = 1; k <= 2; ++k) {
            const char c = s[i + k];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= unsigned(c - '0');
            else if (c >= 'A' && c <= 'F') v |= unsigned(c - 'A' + 10);
            else return false;
        }
        out += static_cast<char>(v);
        i += 2;
    }
    return true;
}

bool number(const std::string& s, uint64_t& v)
{
    if (s.empty() || s.size() > 20) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    return true;
}

} // namespace

std::string encode(const Record& r)
{
    const auto& d = r.definition;
    std::string out = "zelmusb-service 1\n";
    auto text_field = [&](const char* key, const std::u16string& v) {
        out += key;
        out += '=';
        out += escape(text::to_utf8(v));
        out += '\n';
    };
    auto number_field = [&](const char* key, uint64_t v) {
        out += key;
        out += '=';
        out += std::to_string(v);
        out += '\n';
    };
    text_field("name", d.name);
    text_field("display", d.display_name);
    number_field("type", d.service_type);
    number_field("start", d.start_type);
    number_field("error", d.error_control);
    text_field("image", d.image_path);
    text_field("group", d.load_order_group);
    number_field("state", r.state);
    number_field("pid", uint64_t(r.pid));
    number_field("pid_start", r.pid_start);
    number_field("starter", uint64_t(r.starter));
    number_field("stop_requested", r.stop_requested_ms);
    number_field("exit_code", r.exit_code);
    number_field("marked", r.marked_for_delete ? 1 : 0);
    return out;
}

bool decode(const std::string& text, Record& r)
{
    r = Record{};
    size_t pos = 0;
    bool header = false, named = false;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos) return false; // a record always ends with a whole line
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!header) {
            if (line != "zelmusb-service 1") return false;
            header = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = line.substr(0, eq);
        std::string raw;
        if (!unescape(std::string_view(line).substr(eq + 1), raw)) return false;
        auto& d = r.definition;
        uint64_t v = 0;
        const bool is_number = number(raw, v);
        if (key == "name") d.name = text::from_utf8(raw), named = true;
        else if (key == "display") d.display_name = text::from_utf8(raw);
        else if (key == "image") d.image_path = text::from_utf8(raw);
        else if (key == "group") d.load_order_group = text::from_utf8(raw);
        else if (!is_number || v > UINT32_MAX) return false;
        else if (key == "type") d.service_type = uint32_t(v);
        else if (key == "start") d.start_type = uint32_t(v);
        else if (key == "error") d.error_control = uint32_t(v);
        else if (key == "state") r.state = uint32_t(v);
        else if (key == "pid") r.pid = pid_t(v);
        else if (key == "pid_start") r.pid_start = v;
        else if (key == "starter") r.starter = pid_t(v);
        else if (key == "stop_requested") r.stop_requested_ms = v;
        else if (key == "exit_code") r.exit_code = uint32_t(v);
        else if (key == "marked") r.marked_for_delete = v != 0;
        // Keys of a later version are skipped.
    }
    return header && named && r.state >= service::stopped && r.state <= service::paused;
}

std::string folder()
{
    return root_folder("services");
}

std::string record_path(std::u16string_view name)
{
    return folder() + "/" + objects::file_name("service", text::to_lower(name));
}

Error read(int fd, Record& r)
{
    // Only this user or root writes records; one that another user put into the folder names
    // processes that are not ours to signal.
    struct stat st {};
    if (::fstat(fd, &st) != 0) return from_errno(errno);
    if (!objects::trusted_owner(st.st_uid)) return err::access_denied;
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return from_errno(errno);
        }
        if (n == 0) break;
        text.append(buffer, size_t(n));
        offset += n;
        if (text.size() > record_limit) return err::registry_corrupt;
    }
    // A damaged record is reported as the service manager's damaged database.
    return decode(text, r) ? err::success : err::database_does_not_exist;
}

Error write(int fd, const Record& r)
{
    const std::string text = encode(r);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return from_errno(errno);
        }
        done += size_t(n);
    }
    if (::ftruncate(fd, off_t(text.size())) != 0) return from_errno(errno);
    return err::success;
}

bool linked(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

uint64_t process_start_time(pid_t pid)
{
    if (pid <= 0) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE* f = std::fopen(path, "re");
    if (!f) return 0;
    char buffer[1024];
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = '\0';
    // The name in parentheses may hold anything: the fields start after the last ')'.
    const std::string s(buffer, n);
    const size_t paren = s.rfind(')');
    if (paren == std::string::npos || paren + 2 >= s.size()) return 0;
    const char state = s[paren + 2];
    if (state == 'Z' || state == 'X' || state == 'x') return 0;
    // Field 3 is the state; the start time is field 22.
    size_t pos = paren + 2;
    for (int field = 3; field < 22; ++field) {
        pos = s.find(' ', pos);
        if (pos == std::string::npos) return 0;
        ++pos;
    }
    const uint64_t start = std::strtoull(s.c_str() + pos, nullptr, 10);
    return start ? start : 1;
}

bool process_alive(pid_t pid, uint64_t start_time)
{
    // Without its start time a record cannot tell its process from one that got the id later.
    return start_time != 0 && process_start_time(pid) == start_time;
}

bool signal_process(pid_t pid, uint64_t start_time, int signal)
{
    if (pid <= 0 || start_time == 0) return false;
    // A pidfd pins the process it was opened for: once its start time is seen to match, the
    // signal reaches that process even if the id were reused in between.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        if (errno != ENOSYS) return false; // gone (ESRCH), or not ours to see
        return process_alive(pid, start_time) && ::kill(pid, signal) == 0;
    }
    const bool sent = process_alive(pid, start_time) && ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
    ::close(pidfd);
    return sent;
}

uint64_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

bool refresh(Record& r)
{
    const uint32_t before = r.state;
    if (r.state == service::stopped) return false;
    if (!process_alive(r.pid, r.pid_start)) {
        if (r.state != service::stop_pending) r.exit_code = process_aborted;
        r.state = service::stopped;
        r.pid = 0;
        r.pid_start = 0;
        r.starter = 0;
        r.stop_requested_ms = 0;
        return true;
    }
    if (r.state == service::start_pending && !objects::process_exists(r.starter)) {
        // The process that waited for the driver to report ready is gone; the driver lives.
        r.state = service::running;
        r.starter = 0;
    }
    if (r.state == service::stop_pending && monotonic_ms() - r.stop_requested_ms >= stop_bound_ms)
        signal_process(r.pid, r.pid_start, SIGKILL);
    return r.state != before;
}

std::u16string registry_key(std::u16string_view name)
{
    return u"SYSTEM\\CurrentControlSet\\services\\" + std::u16string(name);
}

} // namespace platform::posix::services
