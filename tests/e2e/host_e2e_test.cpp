// Whole processes on the Linux backend: the program, the monitor stand-in and the pipe commands,
// each test on a fresh emulated machine.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class HostProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("zelmusb-e2e-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ::setenv("ZELMUSB_PLATFORM_ROOT", (dir_ / "root").c_str(), 1);
        ::setenv("ZELMUSB_TRACE_FILE", trace_file().c_str(), 1);
        ::unsetenv("ALLUSERSPROFILE");
    }
    void TearDown() override
    {
        for (pid_t p : children_) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    std::string trace_file() const { return (dir_ / "trace.txt").string(); }
    std::string trace() const
    {
        std::ifstream in(trace_file(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Starts a program; kept to be killed at the end unless waited for.
    pid_t start(const std::string& program, std::vector<std::string> args)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            std::string prog = program;
            argv.push_back(prog.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        children_.push_back(pid);
        return pid;
    }
    // Waits for the end of `pid` for at most `limit`; true when it ended.
    bool ended_within(pid_t pid, std::chrono::milliseconds limit)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(children_, pid);
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    bool trace_has(const std::string& text, std::chrono::milliseconds limit = 10s)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        do {
            if (trace().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
    size_t count(const std::string& text) const
    {
        const std::string t = trace();
        size_t n = 0;
        for (size_t at = t.find(text); at != std::string::npos; at = t.find(text, at + 1)) ++n;
        return n;
    }

    const std::string program = ZELMUSB_PROGRAM;
    fs::path dir_;
    std::vector<pid_t> children_;
    int exit_code_ = -1;
};

TEST_F(HostProcesses, StartStopAndASecondStart)
{
    const pid_t first = start(program, {"/start"});
    ASSERT_TRUE(trace_has("listener [\\\\.\\pipe\\zelmar_comm_default_"));
    ASSERT_TRUE(trace_has("< Leave"));

    // A second /start while one runs does nothing of its own and ends at once.
    const size_t started = count("*** USB STARTED.");
    const pid_t second = start(program, {"/start"});
    ASSERT_TRUE(ended_within(second, 5s));
    EXPECT_EQ(count("*** USB STARTED."), started);

    const auto asked = std::chrono::steady_clock::now();
    const pid_t stopper = start(program, {"/stop", "/start"});  // only the first switch acts
    ASSERT_TRUE(ended_within(stopper, 10s));
    EXPECT_EQ(exit_code_, 0);
    EXPECT_TRUE(trace_has("Stop result: 1\r\n"));
    // The running instance sees the request at its next 5-second poll.
    ASSERT_TRUE(ended_within(first, 8s));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 8s);
    EXPECT_EQ(exit_code_, 0);
    const std::string t = trace();
    const size_t stopped = t.find("*** USB STOPPED.");
    ASSERT_NE(stopped, std::string::npos);
    EXPECT_NE(t.find("Exit.", stopped), std::string::npos);
    EXPECT_EQ(count("*** USB STARTED."), 1u);
}

TEST_F(HostProcesses, StopWithoutARunningInstance)
{
    const pid_t stopper = start(program, {"/stop"});
    ASSERT_TRUE(ended_within(stopper, 10s));
    EXPECT_TRUE(trace_has("Stop result: \r\n", 1s));
}

TEST_F(HostProcesses, SettingsFromTheMonitorAtStart)
{
    const fs::path settings = dir_ / "settings.json";
    std::ofstream(settings) << R"({"usb":{"active":"1"}})";
    start(HALVARMON, {"--settings", settings.string(), "--log", (dir_ / "monitor.log").string()});
    std::this_thread::sleep_for(300ms);
    start(program, {"/start"});
    ASSERT_TRUE(trace_has("rules (net): 0"));
    const std::string t = trace();
    EXPECT_NE(t.find("active     : 1\r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("action     : 2\r\n"), std::string::npos);
    for (const char* line : {"allow_io   : 1\r\n", "allow_pr   : 1\r\n", "allow_net  : 1\r\n", "initial    : 1\r\n"})
        EXPECT_NE(t.find(line), std::string::npos) << line;
    std::ifstream log(dir_ / "monitor.log");
    std::string first;
    std::getline(log, first);
    EXPECT_EQ(first, "get_config");
}

TEST_F(HostProcesses, SettingsFileWithoutTheMonitor)
{
    const fs::path cfg = dir_ / "root/ProgramData/halvar/cfg/cfg.json";
    fs::create_directories(cfg.parent_path());
    std::ofstream(cfg) << R"({"usb":{"active":1}})";
    start(program, {"/start"});
    ASSERT_TRUE(trace_has("rules (net): 0"));
    const std::string t = trace();
    EXPECT_NE(t.find("active     : 1\r\n"), std::string::npos) << t;
    for (const char* line : {"action     : 0\r\n", "allow_io   : 0\r\n", "allow_pr   : 0\r\n", "allow_net  : 0\r\n",
                             "initial    : 0\r\n"})
        EXPECT_NE(t.find(line), std::string::npos) << line;
}

} // namespace
#endif
