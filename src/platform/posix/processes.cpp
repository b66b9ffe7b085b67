// Processes on Linux, from /proc.
//
// A process "handle" remembers the identifier and the start time of the process it was opened
// for, so that an identifier reused by a later process is not mistaken for it. The executable's
// base name is the name it was started under (comm, which the kernel cuts to 15 characters, made
// whole again from the command line or the executable when they continue it); the user is the
// owner of /proc/<pid>.
//
// Launching follows ShellExecuteExW: a bare name is looked for in the working folder given, the
// running program's own folder, the current folder and PATH, and since Windows programs are
// named with ".exe" and their Linux stand-ins usually are not, a name ending in ".exe" that is
// not found is tried without it. The parameters are one command line, split into arguments by
// the Windows rules. The show command has no meaning for Linux processes, which have no windows.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/native.h"
#include "platform/posix/common.h"
#include "platform/posix/root.h"
#include "platform/processes.h"
#include "text/text.h"

extern char** environ;

namespace platform::posix {
namespace {

// Windows command-line splitting (the C runtime's rules): white space separates arguments outside
// double quotes; 2n backslashes before a quote give n backslashes and the quote delimits, 2n+1 give
// n backslashes and a literal quote; other backslashes are literal; "" inside quotes is a literal
// quote.
std::vector<std::u16string> split_command_line(std::u16string_view s)
{
    std::vector<std::u16string> args;
    std::u16string cur;
    bool in_quotes = false, have_arg = false;
    size_t i = 0;
    while (i < s.size()) {
        const char16_t c = s[i];
        if (c == u'\\') {
            size_t k = 0;
            while (i + k < s.size() && s[i + k] == u'\\') ++k;
            have_arg = true;
            if (i + k < s.size() && s[i + k] == u'"') {
                cur.append(k / 2, u'\\');
                if (k % 2) {
                    cur += u'"';
                    i += k + 1;
                } else {
                    i += k; // the quote is handled as a delimiter next
                }
            } else {
                cur.append(k, u'\\');
                i += k;
            }
            continue;
        }
        if (c == u'"') {
            have_arg = true;
            if (in_quotes && i + 1 < s.size() && s[i + 1] == u'"') {
                cur += u'"';
                i += 2;
                continue;
            }
            in_quotes = !in_quotes;
            ++i;
            continue;
        }
        if ((c == u' ' || c == u'\t') && !in_quotes) {
            if (have_arg) {
                args.push_back(std::move(cur));
                cur.clear();
                have_arg = false;
            }
            ++i;
            continue;
        }
        cur += c;
        have_arg = true;
        ++i;
    }
    if (have_arg) args.push_back(std::move(cur));
    return args;
}

// A POSIX locale name ("pl_PL.UTF-8", "en_GB", "C") as a Windows language identifier.
uint16_t language_id_of_locale(std::string_view locale)
{
    const size_t cut = locale.find_first_of(".@");
    if (cut != std::string_view::npos) locale = locale.substr(0, cut);
    const size_t underscore = locale.find('_');
    const std::string_view lang = locale.substr(0, underscore);
    const std::string_view country = underscore == std::string_view::npos ? std::string_view() : locale.substr(underscore + 1);

    struct Exact {
        const char* locale;
        uint16_t id;
    };
    static const Exact exact[] = {
        {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809},
        {"de_AT", 0x0C07}, {"de_CH", 0x0807}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
        {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"pt_BR", 0x0416}, {"pt_PT", 0x0816},
        {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"it_CH", 0x0810},
        {"nl_BE", 0x0813}, {"sv_FI", 0x081D}, {"nn_NO", 0x0814},
    };
    if (!country.empty()) {
        const std::string full = std::string(lang) + "_" + std::string(country);
        for (const auto& e : exact)
            if (full == e.locale) return e.id;
    }
    struct Primary {
        const char* lang;
        uint16_t id;
    };
    static const Primary primary[] = {
        {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07},
        {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E},
        {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14},
        {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sk", 0x1B}, {"sq", 0x1C},
        {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23},
        {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B},
        {"eu", 0x2D}, {"mk", 0x2F}, {"af", 0x36}, {"ka", 0x37}, {"hi", 0x39}, {"ga", 0x3C}, {"ms", 0x3E},
        {"kk", 0x3F},
    };
    for (const auto& p : primary)
        if (lang == p.lang) return uint16_t((1u << 10) | p.id); // SUBLANG_DEFAULT
    return 0x0409; // "C", "POSIX", unknown: English (United States), Windows' own default
}

constexpr uint16_t english_us = 0x0409;

std::string proc(uint32_t pid, const char* what)
{
    return "/proc/" + std::to_string(pid) + "/" + what;
}

std::string read_small(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string s;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        s.append(buf, size_t(n));
        if (s.size() > (1u << 20)) break;
    }
    ::close(fd);
    return s;
}

// Whether the process belongs to this emulated machine: the platform root it was started with
// (from its initial environment) is ours. Several machines share one Linux host, in tests side by
// side; a process of another machine is not on this one, as another computer's processes are not.
// A process whose environment cannot be read (another user's) is not on it either.
bool on_this_machine(uint32_t pid, const std::string& own_root)
{
    if (pid == uint32_t(::getpid())) return true;
    const std::string env = read_small(proc(pid, "environ"));
    if (env.empty()) return false;
    std::string vars[3];
    const char* names[3] = {"ZELMUSB_PLATFORM_ROOT=", "XDG_STATE_HOME=", "HOME="};
    bool set[3] = {false, false, false};
    for (size_t pos = 0; pos < env.size();) {
        size_t end = env.find('\0', pos);
        if (end == std::string::npos) end = env.size();
        const std::string_view entry(env.data() + pos, end - pos);
        for (int i = 0; i < 3; ++i) {
            const std::string_view name(names[i]);
            if (entry.substr(0, name.size()) == name) {
                vars[i] = std::string(entry.substr(name.size()));
                set[i] = true;
            }
        }
        pos = end + 1;
    }
    return root_from(set[0] ? vars[0].c_str() : nullptr, set[1] ? vars[1].c_str() : nullptr,
                     set[2] ? vars[2].c_str() : nullptr) == own_root;
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks since boot. 0 when the
// process is gone, or has ended and only waits to be reaped (a zombie), which Windows would no
// longer show either.
uint64_t start_time(uint32_t pid)
{
    const std::string stat = read_small(proc(pid, "stat"));
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    const char state = stat[close + 2];
    if (state == 'Z' || state == 'X') return 0;
    // After ")": state (field 3) ... starttime (field 22).
    size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        while (pos < stat.size() && stat[pos] == ' ') ++pos;
        const size_t end = stat.find(' ', pos);
        if (field == 22) return std::strtoull(stat.substr(pos, end - pos).c_str(), nullptr, 10);
        if (end == std::string::npos) return 0;
        pos = end;
    }
    return 0;
}

Error read_link(const std::string& path, std::string& target)
{
    std::string buf(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return errno == EACCES || errno == EPERM ? err::access_denied : err::partial_copy;
        if (size_t(n) < buf.size()) {
            buf.resize(size_t(n));
            break;
        }
        if (buf.size() > (1u << 16)) return err::filename_exced_range;
        buf.resize(buf.size() * 2);
    }
    // A replaced or deleted executable is still the one the process runs.
    const std::string deleted = " (deleted)";
    if (buf.size() > deleted.size() && buf.compare(buf.size() - deleted.size(), deleted.size(), deleted) == 0)
        buf.resize(buf.size() - deleted.size());
    target = std::move(buf);
    return err::success;
}

std::string base_of(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name the process was started under: comm, unless the kernel cut it and the command line or
// the executable tell the rest.
Error started_name(uint32_t pid, std::string& name)
{
    std::string comm = read_small(proc(pid, "comm"));
    if (comm.empty()) return err::partial_copy;
    if (comm.back() == '\n') comm.pop_back();
    constexpr size_t comm_cut = 15;
    if (comm.size() == comm_cut) {
        const std::string cmdline = read_small(proc(pid, "cmdline"));
        const std::string argv0 = base_of(cmdline.substr(0, cmdline.find('\0')));
        std::string exe;
        const Error exe_read = read_link(proc(pid, "exe"), exe);
        // A process on its way out has neither any more: its name can no longer be told whole,
        // as Windows no longer names the modules of a process that has ended.
        if (argv0.empty() && exe_read != err::success) return err::partial_copy;
        for (const std::string& candidate : {argv0, base_of(exe)}) {
            if (candidate.size() > comm.size() && candidate.compare(0, comm.size(), comm) == 0) {
                comm = candidate;
                break;
            }
        }
    }
    name = std::move(comm);
    return err::success;
}

Error user_of_uid(uid_t uid, std::u16string& name)
{
    std::vector<char> buf(16384);
    passwd pw {};
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) == 0 && result) {
        name = text::from_utf8(result->pw_name);
        return err::success;
    }
    return err::none_mapped;
}

struct OpenProcess {
    uint32_t pid = 0;
    uint64_t started = 0;
};

uint16_t language_from_environment()
{
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return language_id_of_locale(v);
    }
    return english_us;
}

uint16_t language_from_system_files()
{
    for (const char* file : {"/etc/locale.conf", "/etc/default/locale"}) {
        const std::string content = read_small(file);
        size_t pos = 0;
        while (pos < content.size()) {
            const size_t end = content.find('\n', pos);
            std::string line = content.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            pos = end == std::string::npos ? content.size() : end + 1;
            if (line.rfind("LANG=", 0) != 0) continue;
            std::string value = line.substr(5);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) value = value.substr(1, value.size() - 2);
            if (!value.empty()) return language_id_of_locale(value);
        }
    }
    return 0;
}

bool ends_with_exe(const std::string& s)
{
    return s.size() > 4 && text::to_lower(text::from_utf8(s.substr(s.size() - 4))) == u".exe";
}

// Where ShellExecuteExW would find `file`: 0 and the path; 2 when nothing is there; 1155 when a
// file is there but is no program (Windows would look for a program to open it with).
Error resolve_program(const std::string& file, const std::string& directory, std::string& program)
{
    std::vector<std::string> places;
    if (file.find('/') != std::string::npos) {
        places.push_back(file);
        if (file[0] != '/' && !directory.empty()) places.insert(places.begin(), directory + "/" + file);
    } else {
        if (!directory.empty()) places.push_back(directory + "/" + file);
        // The folder the running program was loaded from comes first, as in Windows' search
        // path: "sc.exe" beside the program stands in for the system's.
        char self[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            const std::string exe(self, size_t(n));
            const size_t slash = exe.rfind('/');
            if (slash != std::string::npos) places.push_back(exe.substr(0, slash + 1) + file);
        }
        places.push_back(file);
        const char* path = std::getenv("PATH");
        std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
        size_t pos = 0;
        while (pos <= p.size()) {
            const size_t end = p.find(':', pos);
            const std::string dir = p.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            places.push_back((dir.empty() ? "." : dir) + "/" + file);
            if (end == std::string::npos) break;
            pos = end + 1;
        }
    }
    bool found_other = false;
    for (const auto& place : places) {
        std::vector<std::string> names = {place};
        if (ends_with_exe(place)) names.push_back(place.substr(0, place.size() - 4));
        for (const auto& name : names) {
            struct stat st {};
            if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (::access(name.c_str(), X_OK) == 0) {
                program = name;
                return err::success;
            }
            found_other = true;
        }
    }
    return found_other ? err::no_association : err::file_not_found;
}

// What a child reports through the pipe when it cannot become the program.
struct ChildFailure {
    int step; // 1 the working folder, 2 the program
    int error;
};

[[noreturn]] void become_program(const char* program, char* const* argv, const char* directory, int report)
{
    if (directory && *directory && ::chdir(directory) != 0) {
        const ChildFailure f{1, errno};
        [[maybe_unused]] ssize_t n = ::write(report, &f, sizeof f);
        ::_exit(127);
    }
    ::execve(program, argv, environ);
    const ChildFailure f{2, errno};
    [[maybe_unused]] ssize_t n = ::write(report, &f, sizeof f);
    ::_exit(127);
}

Error failure_code(const ChildFailure& f)
{
    if (f.step == 1) return err::directory;
    if (f.error == ENOENT) return err::file_not_found;
    if (f.error == ENOEXEC) return err::no_association;
    return from_errno(f.error);
}

uint32_t exit_code_of(int status)
{
    if (WIFEXITED(status)) return uint32_t(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + uint32_t(WTERMSIG(status));
    return 0;
}

// The process's and the thread's own identifiers, asked of the system once (each question is a
// system call, and a decision's files and trace lines ask several times). They never change while
// the process and the thread run; the child of a fork() has new ones, so it forgets them.
std::atomic<uint32_t> own_process_id{0};
thread_local uint32_t own_thread_id = 0;
[[maybe_unused]] const bool forgetting_own_ids_in_children = [] {
    ::pthread_atfork(nullptr, nullptr, [] {
        own_process_id.store(0, std::memory_order_relaxed);
        own_thread_id = 0;
    });
    return true;
}();

class PosixProcesses final : public Processes {
public:
    Error enumerate(std::vector<uint32_t>& ids) override
    {
        DIR* dir = ::opendir("/proc");
        if (!dir) return from_errno(errno);
        std::vector<uint32_t> out;
        const std::string own_root = root();
        std::lock_guard<std::mutex> guard(machine_lock_);
        if (own_root != machine_root_) {
            machine_root_ = own_root;
            machine_.clear();
        }
        std::map<uint32_t, Membership> seen;
        while (dirent* d = ::readdir(dir)) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(d->d_name, &end, 10);
            if (end == d->d_name || *end != '\0' || v > UINT32_MAX || v == 0) continue;
            const uint32_t pid = uint32_t(v);
            // Which machine a process belongs to is read once per process: the inode number that
            // the listing gives its folder names that one process (a later process under the same
            // identifier gets a new folder inode), and its initial environment does not change.
            // Processes of other machines then cost nothing more than their entry in the listing.
            auto known = machine_.find(pid);
            const bool member = known != machine_.end() && known->second.inode == d->d_ino
                                    ? known->second.member
                                    : on_this_machine(pid, own_root);
            seen[pid] = Membership{uint64_t(d->d_ino), member};
            // A process of this machine that has ended and waits to be reaped is no longer listed,
            // as on Windows.
            if (member && start_time(pid) != 0) out.push_back(pid);
        }
        ::closedir(dir);
        machine_ = std::move(seen);
        ids = std::move(out);
        return err::success;
    }

    Error open(uint32_t pid, Handle& process) override
    {
        if (pid == 0) return err::invalid_parameter;
        const uint64_t started = start_time(pid);
        if (started == 0) return err::invalid_parameter; // gone, ended, or never was
        process = processes_.add(OpenProcess{pid, started});
        return err::success;
    }

    Error close(Handle process) override
    {
        return processes_.take(process) ? err::success : err::invalid_handle;
    }

    Error module_file_name(Handle process, std::u16string& path) override
    {
        uint32_t pid = 0;
        if (const Error r = alive(process, pid)) return r;
        std::string target;
        if (const Error r = read_link(proc(pid, "exe"), target)) return r;
        path = windows_form(target);
        return err::success;
    }

    Error full_image_name(Handle process, std::u16string& path) override
    {
        return module_file_name(process, path);
    }

    Error module_base_name(Handle process, std::u16string& name) override
    {
        uint32_t pid = 0;
        if (const Error r = alive(process, pid)) return r;
        std::string n;
        if (const Error r = started_name(pid, n)) return r;
        name = text::from_utf8(n);
        return err::success;
    }

    Error token_user_name(Handle process, std::u16string& name) override
    {
        uint32_t pid = 0;
        if (const Error r = alive(process, pid)) return r;
        struct stat st {};
        if (::stat(proc(pid, "").c_str(), &st) != 0) return err::partial_copy;
        return user_of_uid(st.st_uid, name);
    }

    Error snapshot_exe_name(uint32_t pid, std::u16string& name) override
    {
        std::string n;
        if (pid == 0 || started_name(pid, n) != err::success) return err::not_found;
        name = text::from_utf8(n);
        return err::success;
    }

    uint32_t current_id() override
    {
        uint32_t id = own_process_id.load(std::memory_order_relaxed);
        if (id == 0) {
            id = uint32_t(::getpid());
            own_process_id.store(id, std::memory_order_relaxed);
        }
        return id;
    }

    uint32_t current_thread_id() override
    {
        if (own_thread_id == 0) own_thread_id = uint32_t(::syscall(SYS_gettid));
        return own_thread_id;
    }

    Error current_module_path(std::u16string& path) override
    {
        std::string target;
        if (const Error r = read_link("/proc/self/exe", target)) return r;
        path = windows_form(target);
        return err::success;
    }

    std::u16string current_arguments() override
    {
        const std::string cmdline = read_small("/proc/self/cmdline");
        std::u16string out;
        size_t start = cmdline.find('\0');
        bool first = true;
        while (start != std::string::npos && start + 1 < cmdline.size()) {
            const size_t end = cmdline.find('\0', start + 1);
            const std::string arg = cmdline.substr(start + 1, (end == std::string::npos ? cmdline.size() : end) - start - 1);
            if (!first) out += u' ';
            first = false;
            const std::u16string a = text::from_utf8(arg);
            // A switch with a value is written the way Windows callers write it, /gud:"C:\My Files",
            // so the value keeps its blanks; any other argument with a blank is quoted whole.
            const size_t colon = a.find(u':');
            if (!a.empty() && a.find(u' ') == std::u16string::npos)
                out += a;
            else if (!a.empty() && a[0] == u'/' && colon != std::u16string::npos && a.find(u' ') > colon)
                out += a.substr(0, colon + 1) + u"\"" + a.substr(colon + 1) + u"\"";
            else
                out += u"\"" + a + u"\"";
            start = end;
        }
        return out;
    }

    bool current_privileged() override { return ::geteuid() == 0; }

    Error current_user_name(std::u16string& name) override
    {
        if (user_of_uid(::geteuid(), name) == err::success) return err::success;
        for (const char* var : {"USER", "LOGNAME"}) {
            const char* v = std::getenv(var);
            if (v && *v) {
                name = text::from_utf8(v);
                return err::success;
            }
        }
        return err::none_mapped;
    }

    uint16_t user_ui_language() override { return language_from_environment(); }

    uint16_t system_ui_language() override
    {
        const uint16_t id = language_from_system_files();
        return id ? id : language_from_environment();
    }

    Error launch(const LaunchRequest& request, LaunchResult& result) override
    {
        result = LaunchResult{};
        if (!request.verb.empty() && text::to_lower(request.verb) != u"open") return err::no_association;
        const std::string directory = native_path(request.directory);
        std::string program;
        if (const Error r = resolve_program(native_path(request.file), directory, program)) return r;

        // Everything the child needs is made before fork: after it only async-signal-safe calls.
        std::vector<std::string> args = {program};
        for (const auto& a : split_command_line(request.parameters)) args.push_back(text::to_utf8(a));
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const char* dir = directory.empty() ? nullptr : directory.c_str();

        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return from_errno(errno);
        int ids[2] = {-1, -1};
        if (!request.wait && ::pipe2(ids, O_CLOEXEC) != 0) {
            const Error r = from_errno(errno);
            ::close(report[0]);
            ::close(report[1]);
            return r;
        }

        const pid_t child = ::fork();
        if (child < 0) {
            const Error r = from_errno(errno);
            for (int fd : {report[0], report[1], ids[0], ids[1]})
                if (fd >= 0) ::close(fd);
            return r;
        }
        if (child == 0) {
            if (request.wait) become_program(program.c_str(), argv.data(), dir, report[1]);
            // Not waited for: the program runs as a grandchild that init adopts, so that it never
            // lingers as a zombie of ours.
            const pid_t grandchild = ::fork();
            if (grandchild == 0) become_program(program.c_str(), argv.data(), dir, report[1]);
            const int32_t id = grandchild;
            [[maybe_unused]] ssize_t n = ::write(ids[1], &id, sizeof id);
            ::_exit(0);
        }

        ::close(report[1]);
        pid_t program_pid = child;
        if (!request.wait) {
            ::close(ids[1]);
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            int32_t id = -1;
            ssize_t n;
            while ((n = ::read(ids[0], &id, sizeof id)) < 0 && errno == EINTR) {
            }
            ::close(ids[0]);
            if (n != sizeof id || id <= 0) {
                ::close(report[0]);
                return err::not_enough_memory; // the second fork failed
            }
            program_pid = id;
        }

        // The report pipe closes without a word when exec succeeds.
        ChildFailure failure{};
        ssize_t n;
        while ((n = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
        }
        ::close(report[0]);
        if (n == sizeof failure) {
            if (request.wait) {
                int status = 0;
                while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
            }
            return failure_code(failure);
        }

        result.process_id = uint32_t(program_pid);
        if (!request.wait) return err::success;

        uint64_t waited_ms = 0;
        for (;;) {
            int status = 0;
            const pid_t w = ::waitpid(child, &status, WNOHANG);
            if (w == child) {
                result.ended = true;
                result.exit_code = exit_code_of(status);
                return err::success;
            }
            if (w < 0 && errno != EINTR) return err::success; // reaped elsewhere: nothing to report
            if (waited_ms > request.wait_limit_ms) {
                // Given up: someone must still reap it when it ends.
                std::thread([child] {
                    int status = 0;
                    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
                    }
                }).detach();
                return err::success;
            }
            const timespec step{0, 10 * 1000 * 1000};
            ::nanosleep(&step, nullptr);
            waited_ms += 10;
        }
    }

    [[noreturn]] void terminate_current(uint32_t exit_code) override
    {
        ::_exit(int(exit_code & 0xFF));
    }

private:
    // The process behind a handle, still the one that was opened.
    Error alive(Handle process, uint32_t& pid)
    {
        const auto p = processes_.get(process);
        if (!p) return err::invalid_handle;
        if (start_time(p->pid) != p->started) return err::partial_copy; // it has ended
        pid = p->pid;
        return err::success;
    }

    HandleTable<OpenProcess> processes_;

    struct Membership {
        uint64_t inode = 0;
        bool member = false;
    };
    std::mutex machine_lock_;
    std::string machine_root_;
    std::map<uint32_t, Membership> machine_;
};

} // namespace
} // namespace platform::posix

namespace platform::backend {
Processes* native_processes()
{
    static posix::PosixProcesses processes;
    return &processes;
}
} // namespace platform::backend
