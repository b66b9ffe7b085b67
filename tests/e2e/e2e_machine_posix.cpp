// The Linux half of the test machine: a fresh emulated machine (ZELMUSB_PLATFORM_ROOT) per test,
// programs started with posix_spawn, the trace in the file the posix backend appends to.
#ifndef _WIN32
#include "e2e_machine.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "../support/fresh_machine.h"
#include "platform/posix/services_admin.h"
#include "text/text.h"

extern char** environ;

namespace e2e {

struct Machine::Leg {
    std::vector<pid_t> children; // started and not yet reaped
    unsigned runs = 0;           // tools run, to name their output files
};

namespace {
std::filesystem::path trace_file(const std::filesystem::path& folder)
{
    return folder / "trace.txt";
}
} // namespace

Machine::Machine(const std::string& name)
    : folder_(std::filesystem::temp_directory_path() / ("zelmusb-e2e-" + std::to_string(::getpid()) + "-" + name)),
      leg_(std::make_unique<Leg>())
{
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    // Whatever the umask of the run: /start refuses a machine whose folders others may change.
    std::filesystem::permissions(folder_, std::filesystem::perms(0755));
    ::setenv("ZELMUSB_PLATFORM_ROOT", (folder_ / "root").c_str(), 1);
    platform_test::keep_off_the_real_machine(folder_ / "root");
    ::setenv("ZELMUSB_TRACE_FILE", trace_file(folder_).c_str(), 1);
    ::setenv("ALLUSERSPROFILE", all_users_profile().c_str(), 1);
    point_suite_root(suite_root());
}

Machine::~Machine()
{
    for (pid_t p : leg_->children) {
        ::kill(p, SIGKILL);
        ::waitpid(p, nullptr, 0);
    }
    end_services();
    // Whatever the tools could not stop: every daemon this machine's service manager started.
    platform::posix::end_all_services();
    restore_suite_root();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

uint32_t Machine::start(Program program, const std::vector<std::u16string>& args)
{
    return start_path(program_path(program), args);
}

uint32_t Machine::start_path(const std::filesystem::path& program, const std::vector<std::u16string>& args)
{
    const std::string exe = program.string();
    std::vector<std::string> all{exe};
    for (const auto& a : args) all.push_back(text::to_utf8(a));
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 0;
    leg_->children.push_back(pid);
    return uint32_t(pid);
}

ToolRun Machine::run(Program program, const std::vector<std::u16string>& args, std::chrono::milliseconds limit)
{
    ToolRun result;
    const std::string exe = program_path(program);
    const std::filesystem::path out = folder_ / ("tool-" + std::to_string(++leg_->runs) + ".out");
    std::vector<std::string> all{exe};
    for (const auto& a : args) all.push_back(text::to_utf8(a));
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;
    leg_->children.push_back(pid);
    result.ended = ended_within(uint32_t(pid), limit, &result.exit_code);
    if (!result.ended) {
        ::kill(pid, SIGKILL);
        ended_within(uint32_t(pid), std::chrono::seconds(10));
    }
    result.output = read_file(out);
    return result;
}

void Machine::kill(uint32_t pid)
{
    if (std::find(leg_->children.begin(), leg_->children.end(), pid_t(pid)) == leg_->children.end()) return;
    ::kill(pid_t(pid), SIGKILL);
    ended_within(pid, std::chrono::seconds(10));
}

bool Machine::ended_within(uint32_t pid, std::chrono::milliseconds limit, int* exit_code)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_t(pid), &status, WNOHANG) == pid_t(pid)) {
            std::erase(leg_->children, pid_t(pid));
            if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Machine::trace() const
{
    return read_file(trace_file(folder_));
}

} // namespace e2e
#endif
