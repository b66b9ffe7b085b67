#include "desktop.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/root.h"

namespace desktop {

namespace {

uint64_t now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000u + uint64_t(t.tv_nsec) / 1000000u;
}

std::optional<Session> with_group(Session s)
{
    const passwd* pw = getpwuid(s.uid);
    if (!pw) return std::nullopt; // a user the machine does not know is nobody to ask
    s.gid = pw->pw_gid;
    return s;
}

bool is_checksum(const std::string& c)
{
    return c.size() == 40 && c.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

std::string answer_file(const std::string& checksum)
{
    return platform::posix::root_folder("suite/answers") + "/" + checksum;
}

} // namespace

bool record_block(const std::string& checksum)
{
    if (!is_checksum(checksum)) return false;
    const std::string file = answer_file(checksum);
    // A new file each time: its time is the answer's.
    unlink(file.c_str());
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool take_block(const std::string& checksum, uint32_t max_age_s)
{
    if (!is_checksum(checksum)) return false;
    const std::string file = answer_file(checksum);
    struct stat st{};
    if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return false;
    unlink(file.c_str());
    const time_t now = time(nullptr);
    return now >= st.st_mtime && uint64_t(now - st.st_mtime) <= max_age_s;
}

std::optional<Session> active_session(const std::string& given)
{
    if (given == "none") return std::nullopt;
    if (!given.empty()) {
        const size_t colon = given.find(':');
        if (colon == std::string::npos || colon == 0 ||
            given.find_first_not_of("0123456789") != colon)
            return std::nullopt;
        Session s;
        s.uid = uint32_t(std::strtoul(given.substr(0, colon).c_str(), nullptr, 10));
        if (s.uid == 0) return std::nullopt; // never root's rights in a session
        s.bus = given.substr(colon + 1);
        return with_group(s);
    }
    char* name = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &name, &uid) < 0 || !name) return std::nullopt;
    char* kind = nullptr;
    const bool usable = sd_session_is_active(name) > 0 && sd_session_is_remote(name) == 0 &&
                        sd_session_get_class(name, &kind) >= 0 && kind && std::strcmp(kind, "user") == 0;
    std::free(kind);
    std::free(name);
    if (!usable || uid == 0) return std::nullopt;
    Session s;
    s.uid = uint32_t(uid);
    const std::string socket = "/run/user/" + std::to_string(uid) + "/bus";
    struct stat st{};
    if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != uid) return std::nullopt;
    s.bus = "unix:path=" + socket;
    return with_group(s);
}

std::string run_as_user(const Session& session, const std::string& program, const std::vector<std::string>& args,
                        uint32_t limit_ms)
{
    // Everything the child needs is made before it exists: after fork it only calls the kernel.
    std::vector<std::string> env_texts = {"DBUS_SESSION_BUS_ADDRESS=" + session.bus,
                                          "XDG_RUNTIME_DIR=/run/user/" + std::to_string(session.uid),
                                          "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    std::vector<char*> argv, envp;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env_texts) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
        // The user's rights only, for good: groups first, then the group, then the user.
        if (setgroups(0, nullptr) != 0 || setresgid(session.gid, session.gid, session.gid) != 0 ||
            setresuid(session.uid, session.uid, session.uid) != 0 || getuid() != session.uid ||
            geteuid() != session.uid)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    std::string printed;
    const uint64_t deadline = now_ms() + limit_ms;
    bool done = false;
    while (!done) {
        const uint64_t now = now_ms();
        if (now >= deadline) break;
        pollfd p{out[0], POLLIN, 0};
        const int r = poll(&p, 1, int(std::min<uint64_t>(deadline - now, INT_MAX)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buffer[512];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            done = true;
            break;
        }
        printed.append(buffer, size_t(n));
        if (printed.size() > 4096) break; // one short line is all it says
    }
    close(out[0]);
    if (!done) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const size_t end = printed.find('\n');
    if (end == std::string::npos) return done ? printed : std::string();
    return printed.substr(0, end);
}

std::string own_folder()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string own(path, size_t(n));
    return own.substr(0, own.find_last_of('/') + 1);
}

std::string replace_file(const std::string& path, const std::string& bytes)
{
    char resolved[PATH_MAX];
    const std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    struct stat old{};
    const bool existed = stat(target.c_str(), &old) == 0;
    const std::string temporary = target + ".new." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? (old.st_mode & 07777) : 0644);
    if (fd < 0) return "cannot create " + temporary + ": " + std::strerror(errno);
    if (existed) {
        // open's mode passes through the umask; the settings keep exactly the mode (and owner) they had.
        fchmod(fd, old.st_mode & 07777);
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
        }
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += size_t(n);
    }
    const int saved = errno;
    if (written != bytes.size() || fsync(fd) != 0) {
        close(fd);
        unlink(temporary.c_str());
        return "cannot write " + temporary + ": " + std::strerror(saved);
    }
    close(fd);
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        const int e = errno;
        unlink(temporary.c_str());
        return "cannot replace " + target + ": " + std::strerror(e);
    }
    const std::string folder = target.substr(0, target.find_last_of('/') + 1);
    const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return {};
}

} // namespace desktop
