// The emulated machine's shared state belongs to its owner: another user (nobody) can hold none of
// its lock files, a lock that a process of our own never lets go costs a bounded, traced wait,
// and a service record, stale or forged, never gets a signal sent to a process it did not start.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child/spawn.h"
#include "../support/fresh_machine.h"
#include "platform/model/engine.h"
#include "platform/native.h"
#include "platform/platform.h"
#include "platform/posix/service_record.h"
#include "platform/posix/services_admin.h"
#include "platform/registry.h"
#include "platform/services.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Error;

constexpr uid_t nobody = 65534;

fs::path root()
{
    return fs::path(std::getenv("ZELMUSB_PLATFORM_ROOT"));
}

// Writes a value into a test key; the key's lock file is made on the way.
Error write_key()
{
    auto& reg = platform::registry();
    platform::Handle key = platform::null_handle;
    if (const Error e = reg.create_key(u"SOFTWARE\\ZelmLockTest", platform::key_access::all_access, key)) return e;
    const uint8_t one[4] = {1, 0, 0, 0};
    const Error e = reg.set_value(key, u"Value", platform::reg_type::dword, one);
    reg.close_key(key);
    return e;
}

fs::path key_lock()
{
    for (const auto& entry : fs::recursive_directory_iterator(root() / "registry")) {
        std::string folder = entry.path().parent_path().filename().string();
        for (char& ch : folder) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        if (entry.path().filename() == ".lock" && folder == "zelmlocktest") return entry.path();
    }
    return {};
}

// Marks a volume of a one-disk machine ejected; machine.json's lock file is made on the way.
Error edit_machine()
{
    std::ofstream(root() / "machine.json")
        << R"({"nodes": [{"id": "SCSI\\DISK", "disk": {"number": 0, "volumes": [{"letter": "E"}]}}]})";
    return platform::backend::native_machine()->eject(u'E');
}

fs::path machine_lock()
{
    return root() / "machine.json.lock";
}

struct LockCase {
    const char* what;
    Error (*use)();
    fs::path (*lock)();
    const char* traced;
};

const LockCase lock_cases[] = {
    {"a registry key's lock", write_key, key_lock, "registry: "},
    {"machine.json's lock", edit_machine, machine_lock, "machine.json: "},
};

class SharedState : public ::testing::Test {
protected:
    void SetUp() override
    {
        trace_env_.emplace("ZELMUSB_TRACE_FILE", trace_file_.c_str());
        old_umask_ = ::umask(0); // what the machine makes must not take its modes from the umask
        ::chmod(root().c_str(), 0755);
    }
    void TearDown() override { ::umask(old_umask_); }

    static bool can_be_nobody()
    {
        return ::geteuid() == 0 && fs::exists("/usr/bin/setpriv") && fs::exists("/usr/bin/flock");
    }

    std::string trace() const { return platform_test::read_text_file(trace_file_); }

    platform_test::FreshMachine machine_;
    platform_test::TempFolder trace_folder_;
    std::string trace_file_ = (trace_folder_.path() / "trace.txt").string();
    std::optional<platform_test::ScopedEnv> trace_env_;
    mode_t old_umask_ = 022;
};

mode_t mode_of(const fs::path& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

uid_t owner_of(const fs::path& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

TEST_F(SharedState, AnotherUserCanHoldNoLockFile)
{
    if (!can_be_nobody()) GTEST_SKIP() << "needs root, /usr/bin/setpriv and /usr/bin/flock to act as nobody";
    struct Spoil {
        const char* what;
        void (*apply)(const fs::path& lock);
    };
    const Spoil spoils[] = {
        {"as made", [](const fs::path&) {}},
        {"left readable by all by an older version", [](const fs::path& p) { ::chmod(p.c_str(), 0644); }},
        {"planted by nobody", [](const fs::path& p) { ::chown(p.c_str(), nobody, nobody), ::chmod(p.c_str(), 0666); }},
    };
    for (const LockCase& c : lock_cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, c.use());
        const fs::path lock = c.lock();
        ASSERT_FALSE(lock.empty());
        for (const Spoil& s : spoils) {
            SCOPED_TRACE(s.what);
            s.apply(lock);
            // nobody tries to hold it shared for a minute, as an intruder would to stall us
            testchild::Child holder;
            ASSERT_TRUE(holder.start_program("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                                   "/usr/bin/flock", "-s", lock.string(), "sleep", "60"}));
            std::this_thread::sleep_for(200ms);
            const auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(0u, c.use());
            EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
            EXPECT_EQ(0600u, mode_of(c.lock()));
            EXPECT_EQ(0u, owner_of(c.lock()));
            holder.kill();
        }
    }
}

TEST_F(SharedState, ALockNeverLetGoCostsABoundedTracedWait)
{
    for (const LockCase& c : lock_cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, c.use());
        // Held by another open file of our own, as a stuck process of this user would hold it.
        const int held = ::open(c.lock().c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(0, ::flock(held, LOCK_EX));
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::err::timeout, c.use());
        const auto waited = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(waited, 4s);
        EXPECT_LT(waited, 10s);
        EXPECT_NE(trace().find(std::string(c.traced) + c.lock().string() + " still locked by another process after 5000 ms"),
                  std::string::npos)
            << trace();
        ::close(held);
        EXPECT_EQ(0u, c.use()) << "free again";
    }
}

// Made under umask 000, the machine's folders and state files are still written by their owner
// alone.
TEST_F(SharedState, ModesDoNotComeFromTheUmask)
{
    ASSERT_EQ(0u, write_key());
    ASSERT_EQ(0u, edit_machine());
    const fs::path key = key_lock().parent_path();
    struct Case {
        const char* what;
        fs::path path;
        mode_t mode;
    };
    const Case cases[] = {
        {"the registry folder", root() / "registry", 0755},
        {"a key's folder", key, 0755},
        {"a key's values", key / ".key", 0644},
        {"a key's lock", key / ".lock", 0600},
        {"machine.json, rewritten", root() / "machine.json", 0644},
        {"machine.json's lock", machine_lock(), 0600},
    };
    for (const Case& c : cases) EXPECT_EQ(c.mode, mode_of(c.path)) << c.what << ": " << c.path;
}

// A process that is no service at all, and whether it is still there.
class Innocent {
public:
    Innocent()
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            for (;;) ::pause();
        }
    }
    ~Innocent()
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    bool alive() const
    {
        int status = 0;
        return ::waitpid(pid_, &status, WNOHANG) == 0;
    }

private:
    pid_t pid_ = -1;
};

TEST_F(SharedState, AServiceRecordSignalsOnlyTheProcessItStarted)
{
    namespace svc = platform::posix::services;
    namespace service = platform::service;
    struct Case {
        const char* what;
        uint32_t state;
        int start_offset; // from the innocent's real start time; 0 = the right one
        bool zero_start;  // a record without a start time
        bool nobodys;     // a record file of another user
        bool killed;      // the process is signalled
    };
    const Case cases[] = {
        {"no start time, its stop long overdue", service::stop_pending, 0, true, false, false},
        {"no start time, stopped by sc", service::running, 0, true, false, false},
        {"another process's start time, its stop long overdue", service::stop_pending, 1, false, false, false},
        {"the right start time in a record of another user", service::stop_pending, 0, false, true, false},
        {"the right start time in a record of ours: its own process, stopped", service::stop_pending, 0, false, false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.nobodys && ::geteuid() != 0) continue; // only root can hand a file to another user
        Innocent innocent;
        std::this_thread::sleep_for(20ms);
        svc::Record r;
        r.definition.name = u"Forged";
        r.definition.display_name = u"Forged";
        r.definition.service_type = service::own_process;
        r.definition.start_type = 3;
        r.definition.image_path = u"/bin/true";
        r.state = c.state;
        r.pid = innocent.pid();
        r.pid_start = c.zero_start ? 0 : svc::process_start_time(innocent.pid()) + c.start_offset;
        r.stop_requested_ms = 1; // long ago
        r.exit_code = 0;
        const std::string path = svc::record_path(u"Forged");
        std::ofstream(path) << svc::encode(r);
        if (c.nobodys) ::chown(path.c_str(), nobody, nobody);

        // What sc query and sc stop do.
        auto& scm = platform::services();
        platform::Handle manager = platform::null_handle, service_handle = platform::null_handle;
        ASSERT_EQ(0u, scm.open_manager(service::manager_all_access, manager));
        const Error opened = scm.open(manager, u"Forged", service::all_access, service_handle);
        EXPECT_EQ(c.nobodys ? platform::err::access_denied : 0u, opened);
        if (!opened) {
            platform::ServiceStatus status;
            scm.query_status(service_handle, status);
            scm.control(service_handle, service::control_stop, status);
            scm.close(service_handle);
        }
        scm.close(manager);
        platform::posix::end_all_services();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(!c.killed, innocent.alive());
        ::unlink(path.c_str());
    }
}

} // namespace
#endif
